#ifndef VRIX_REBOOT_H
#define VRIX_REBOOT_H

#include <string>
#include <vector>

// Whether the machine itself needs a reboot: the kernel that runs against
// the one installed, and what the distribution says.
struct reboot_need {
    std::string running;    // the running kernel's release
    std::string installed;  // the release a boot would run, "" when unknown
    std::string running_build, installed_build;  // set when the same release was rebuilt
    std::vector<std::string> packages;
    bool required = false;  // the distribution's /run/reboot-required
    bool kernel = false;    // the kernel differs
};

// Releases as version numbers: digit runs by value, the rest by byte.
int release_compare(const std::string &a, const std::string &b);

// The build of a Linux kernel, "#1 SMP ... (date)", from /proc/version or
// from the version string of an image; "" when there is none.
std::string build_of_version(const std::string &version, const std::string &release);
// The version string of an x86 boot image, from its header; "" when the
// image is of another kind or cut short.
std::string image_version(const std::string &head);

// Linux: the running release and build against the installed images
// (release, build or "" when unknown), and /run/reboot-required's lines.
void linux_reboot(const std::string &running, const std::string &running_build,
                  const std::vector<std::pair<std::string, std::string>> &images,
                  reboot_need *r);
// FreeBSD: uname -r against freebsd-version -k.
void freebsd_reboot(const std::string &running, const std::string &installed, reboot_need *r);
// Adds a package once.
void reboot_package(reboot_need *r, const std::string &name);

// Whether a reboot is needed, and the line and JSON object that say so.
int reboot_needed(const reboot_need &r);
std::string reboot_line(const reboot_need &r);
std::string reboot_json(const reboot_need &r);

// The platform's part: reads the machine under root ("/" normally).
void read_reboot(const std::string &root, reboot_need *r);

// Reading the kernel images may wait on /boot (an automount, a disk that
// no longer answers): reader (read_reboot) runs in a process of its own
// that holds nothing else, for at most bound_ms. 0 with *r filled, or -1
// when no answer came: the process, if it still waits, is left behind.
enum { REBOOT_BOUND_MS = 5000 };
typedef void (*reboot_reader)(const std::string &root, reboot_need *r);
int read_reboot_within(const std::string &root, reboot_need *r, int bound_ms,
                       reboot_reader reader);

#endif
