#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include "reboot.h"
#include "services.h"

// At most limit bytes of a file; "" when it cannot be read.
static std::string head_of(const std::string &path, size_t limit)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return "";
    std::string out;
    char buf[8192];
    ssize_t n;
    while (out.size() < limit && (n = read(fd, buf, sizeof buf)) > 0)
        out.append(buf, (size_t)n);
    close(fd);
    return out.substr(0, limit);
}

static std::string first_line(const std::string &s)
{
    return s.substr(0, s.find('\n'));
}

static int exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// An image and its build, once per release.
static void add_image(std::vector<std::pair<std::string, std::string>> *images,
                      const std::string &release, const std::string &path)
{
    for (const auto &image : *images) {
        if (image.first == release)
            return;
    }
    std::string version = image_version(head_of(path, 65536));
    images->push_back({release, build_of_version(version, release)});
}

// The images a boot may run: /boot/vmlinuz-RELEASE, and where a
// distribution keeps them with their modules, .../modules/RELEASE/vmlinuz.
static std::vector<std::pair<std::string, std::string>> installed_images(const std::string &root)
{
    std::vector<std::pair<std::string, std::string>> images;
    if (DIR *d = opendir((root + "/boot").c_str())) {
        while (struct dirent *e = readdir(d)) {
            std::string name = e->d_name;
            // vmlinuz-linux and the like name no release
            if (name.compare(0, 8, "vmlinuz-") == 0 && name.size() > 8 && isdigit((unsigned char)name[8]))
                add_image(&images, name.substr(8), root + "/boot/" + name);
        }
        closedir(d);
    }
    for (const char *modules : {"/usr/lib/modules", "/lib/modules"}) {
        DIR *d = opendir((root + modules).c_str());
        while (d != nullptr) {
            struct dirent *e = readdir(d);
            if (e == nullptr)
                break;
            std::string image = root + modules + "/" + e->d_name + "/vmlinuz";
            if (e->d_name[0] != '.' && exists(image))
                add_image(&images, e->d_name, image);
        }
        if (d != nullptr)
            closedir(d);
    }
    return images;
}

// Whether Debian's package database says package is installed, as
// dpkg-query answers (once, bounded), on a machine that has one.
static int package_installed(const std::string &root, const std::string &package)
{
    std::vector<std::string> argv = {"dpkg-query", "-W", "-f=${Status}", "--", package};
    if (root != "/")
        argv.insert(argv.begin() + 1, "--root=" + root);
    std::string status;
    return run_bounded(argv, 5, &status, 4096) == 0 && status == "install ok installed";
}

void read_reboot(const std::string &root, reboot_need *r)
{
    std::string running = first_line(head_of(root + "/proc/sys/kernel/osrelease", 4096));
    std::string build = build_of_version(first_line(head_of(root + "/proc/version", 4096)), running);
    linux_reboot(running, build, installed_images(root), r);
    if (r->kernel && r->installed.find('/') == std::string::npos) {
        for (const char *suffix : {"", "-unsigned"}) {
            std::string package = "linux-image-" + r->installed + suffix;
            if (package_installed(root, package)) {
                reboot_package(r, package);
                break;
            }
        }
    }
    r->required = exists(root + "/run/reboot-required");
    std::string pkgs = head_of(root + "/run/reboot-required.pkgs", 65536);
    for (const std::string &package : split_at(pkgs, '\n'))
        reboot_package(r, package);
}
