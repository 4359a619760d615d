#include <ctype.h>
#include <string.h>

#include "reboot.h"
#include "services.h"

int release_compare(const std::string &a, const std::string &b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isdigit((unsigned char)a[i]) && isdigit((unsigned char)b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && a[ei] == '0' && ei + 1 < a.size() && isdigit((unsigned char)a[ei + 1]))
                ei++;
            while (ej < b.size() && b[ej] == '0' && ej + 1 < b.size() && isdigit((unsigned char)b[ej + 1]))
                ej++;
            i = ei, j = ej;
            while (ei < a.size() && isdigit((unsigned char)a[ei]))
                ei++;
            while (ej < b.size() && isdigit((unsigned char)b[ej]))
                ej++;
            if (ei - i != ej - j)
                return ei - i < ej - j ? -1 : 1;
            int c = a.compare(i, ei - i, b, j, ej - j);
            if (c != 0)
                return c < 0 ? -1 : 1;
            i = ei, j = ej;
        } else {
            if (a[i] != b[j])
                return (unsigned char)a[i] < (unsigned char)b[j] ? -1 : 1;
            i++, j++;
        }
    }
    return i < a.size() ? 1 : j < b.size() ? -1 : 0;
}

// "Linux version R (builder) (compiler) #1 SMP ..." and an image's
// "R (builder) #1 SMP ...": the build is what follows the release's " #".
std::string build_of_version(const std::string &version, const std::string &release)
{
    size_t at = version.find(release + " ");
    if (release.empty() || at == std::string::npos)
        return "";
    size_t hash = version.find(" #", at + release.size());
    if (hash == std::string::npos)
        return "";
    std::string build = version.substr(hash + 1);
    while (!build.empty() && (build.back() == '\n' || build.back() == ' '))
        build.pop_back();
    return build;
}

// The boot protocol's header: "HdrS" at 0x202, and at 0x20e the offset
// of the version string, less 0x200.
std::string image_version(const std::string &head)
{
    if (head.size() < 0x210 || head.compare(0x202, 4, "HdrS") != 0)
        return "";
    size_t at = (unsigned char)head[0x20e] | (size_t)(unsigned char)head[0x20f] << 8;
    at += 0x200;
    if (at >= head.size())
        return "";
    size_t end = head.find('\0', at);
    if (end == std::string::npos)
        return "";
    return head.substr(at, end - at);
}

void reboot_package(reboot_need *r, const std::string &name)
{
    if (name.empty())
        return;
    for (const std::string &p : r->packages) {
        if (p == name)
            return;
    }
    r->packages.push_back(name);
}

// The kind of kernel a release names, from its first part that is not a
// number on: "rt-amd64" of 6.1.0-21-rt-amd64, "generic" of
// 5.15.0-105-generic; "" when every part is one (6.8.9-300.fc40.x86_64).
static std::string flavour_of(const std::string &release)
{
    for (size_t at = release.find('-'); at != std::string::npos; at = release.find('-', at + 1)) {
        if (at + 1 < release.size() && !isdigit((unsigned char)release[at + 1]))
            return release.substr(at + 1);
    }
    return "";
}

// A boot runs the newest image of the running kind (an rt kernel beside a
// plain one is no upgrade of it). The running release's image may be gone,
// or rebuilt under the same release; without any image (a container's
// view, a kernel booted from elsewhere) nothing is said of the kernel.
void linux_reboot(const std::string &running, const std::string &running_build,
                  const std::vector<std::pair<std::string, std::string>> &images,
                  reboot_need *r)
{
    r->running = running;
    if (images.empty() || running.empty())
        return;
    const std::pair<std::string, std::string> *newest = nullptr, *own = nullptr;
    std::string flavour = flavour_of(running);
    for (int any = 0; any < 2 && newest == nullptr; any++) {
        for (const auto &image : images) {
            if ((any || flavour_of(image.first) == flavour) &&
                (newest == nullptr || release_compare(image.first, newest->first) > 0))
                newest = &image;
            if (image.first == running)
                own = &image;
        }
    }
    r->installed = newest->first;
    if (newest->first != running) {
        r->kernel = own == nullptr || release_compare(newest->first, running) > 0;
    } else if (!running_build.empty() && !own->second.empty() && own->second != running_build) {
        r->kernel = true;
        r->running_build = running_build;
        r->installed_build = own->second;
    }
}

void freebsd_reboot(const std::string &running, const std::string &installed, reboot_need *r)
{
    r->running = running;
    r->installed = installed.substr(0, installed.find('\n'));
    r->kernel = !r->installed.empty() && !running.empty() && r->installed != running;
}

int reboot_needed(const reboot_need &r)
{
    return r.kernel || r.required;
}

// "reboot: running 6.1.0-18-amd64, installed 6.1.0-21-amd64
// (linux-image-6.1.0-21-amd64)"; the builds when the release is the same.
std::string reboot_line(const reboot_need &r)
{
    std::string line = "reboot: running " + printable(r.running);
    if (!r.running_build.empty())
        line += " " + printable(r.running_build);
    if (r.kernel) {
        line += ", installed " + printable(r.installed);
        if (!r.installed_build.empty())
            line += " " + printable(r.installed_build);
    }
    if (r.required)
        line += ", /run/reboot-required";
    std::string packages;
    for (const std::string &p : r.packages)
        packages += (packages.empty() ? "" : ", ") + printable(p);
    return packages.empty() ? line : line + " (" + packages + ")";
}

std::string reboot_json(const reboot_need &r)
{
    std::string o = "{\"kind\":\"reboot\",\"running\":" + json_string(r.running);
    if (!r.running_build.empty())
        o += ",\"running_build\":" + json_string(r.running_build);
    o += ",\"installed\":" + (r.installed.empty() ? std::string("null") : json_string(r.installed));
    if (!r.installed_build.empty())
        o += ",\"installed_build\":" + json_string(r.installed_build);
    o += ",\"kernel\":" + std::string(r.kernel ? "true" : "false") +
         ",\"required\":" + (r.required ? "true" : "false") + ",\"packages\":[";
    for (size_t i = 0; i < r.packages.size(); i++)
        o += (i > 0 ? "," : "") + json_string(r.packages[i]);
    return o + "]}";
}
