#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include "reboot.h"

TEST(ServicesReboot, ReleasesCompareAsVersions)
{
    const struct {
        const char *a, *b;
        int order;
    } cases[] = {
        {"6.1.0-21-amd64", "6.1.0-18-amd64", 1},
        {"6.1.0-9-amd64", "6.1.0-10-amd64", -1},
        {"6.10.0-1", "6.9.12-3", 1},
        {"5.15.0-105-generic", "5.15.0-105-generic", 0},
        {"6.1.0-018", "6.1.0-18", 0},
        {"6.1.0", "6.1.0-1", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(release_compare(c.a, c.b), c.order) << c.a << " " << c.b;
        EXPECT_EQ(release_compare(c.b, c.a), -c.order) << c.a << " " << c.b;
    }
}

// The version string found where the boot protocol's header points, and
// nothing from an image of another kind or one cut short.
TEST(ServicesReboot, AnImagesBuildFromItsHeader)
{
    std::string head(0x600, '\0');
    head.replace(0x202, 4, "HdrS");
    head[0x20e] = 0x00;
    head[0x20f] = 0x02;  // 0x200 + 0x200
    std::string version = "6.1.0-21-amd64 (debian-kernel@lists.debian.org) #1 SMP Debian 6.1.90-1";
    head.replace(0x400, version.size(), version);
    EXPECT_EQ(image_version(head), version);
    EXPECT_EQ(build_of_version(image_version(head), "6.1.0-21-amd64"), "#1 SMP Debian 6.1.90-1");
    EXPECT_EQ(build_of_version("Linux version 6.1.0-21-amd64 (x) (gcc (Debian 12.2.0-14) 12.2.0) "
                               "#1 SMP Debian 6.1.90-1\n",
                               "6.1.0-21-amd64"),
              "#1 SMP Debian 6.1.90-1");
    EXPECT_EQ(build_of_version(version, "6.1.0-18-amd64"), "");
    EXPECT_EQ(image_version(head.substr(0, 0x410)), "");
    EXPECT_EQ(image_version(std::string(0x600, 'x')), "");
}

// The running release and build against the installed images: a newer
// one of its kind, its own gone, or rebuilt; another kind installed beside
// it is no upgrade; no image at all says nothing.
TEST(ServicesReboot, LinuxRunningKernelAgainstTheInstalledImages)
{
    typedef std::vector<std::pair<std::string, std::string>> images;
    const std::string old_build = "#1 SMP Debian 6.1.76-1", new_build = "#1 SMP Debian 6.1.90-1";
    const struct {
        const char *what, *running;
        images installed;
        bool needed;
        const char *line;
    } cases[] = {
        {"newer", "6.1.0-18-amd64", {{"6.1.0-18-amd64", old_build}, {"6.1.0-21-amd64", new_build}},
         true, "reboot: running 6.1.0-18-amd64, installed 6.1.0-21-amd64"},
        {"gone", "6.1.0-21-amd64", {{"6.1.0-18-amd64", old_build}}, true,
         "reboot: running 6.1.0-21-amd64, installed 6.1.0-18-amd64"},
        {"rebuilt", "6.1.0-18-amd64", {{"6.1.0-18-amd64", new_build}}, true,
         "reboot: running 6.1.0-18-amd64 #1 SMP Debian 6.1.76-1,"
         " installed 6.1.0-18-amd64 #1 SMP Debian 6.1.90-1"},
        {"build unknown", "6.1.0-18-amd64", {{"6.1.0-18-amd64", ""}}, false, nullptr},
        {"newest", "6.1.0-21-amd64", {{"6.1.0-18-amd64", old_build}, {"6.1.0-21-amd64", old_build}},
         false, nullptr},
        {"other kind", "6.1.0-21-amd64", {{"6.1.0-21-amd64", old_build}, {"6.1.0-22-rt-amd64", ""}},
         false, nullptr},
        {"rt upgraded", "6.1.0-21-rt-amd64",
         {{"6.1.0-21-rt-amd64", old_build}, {"6.1.0-22-rt-amd64", ""}, {"6.1.0-23-amd64", ""}}, true,
         "reboot: running 6.1.0-21-rt-amd64, installed 6.1.0-22-rt-amd64"},
        {"no kind", "6.8.9-300.fc40.x86_64", {{"6.8.9-300.fc40.x86_64", ""}, {"6.8.11-300.fc40.x86_64", ""}},
         true, "reboot: running 6.8.9-300.fc40.x86_64, installed 6.8.11-300.fc40.x86_64"},
        {"no image", "6.1.0-18-amd64", {}, false, nullptr},
    };
    for (const auto &c : cases) {
        reboot_need r;
        linux_reboot(c.running, old_build, c.installed, &r);
        EXPECT_EQ(reboot_needed(r), c.needed) << c.what;
        if (c.line != nullptr) {
            EXPECT_EQ(reboot_line(r), c.line) << c.what;
        }
    }
}

// freebsd-version -k against uname -r, as FreeBSD's part compares them.
TEST(ServicesReboot, FreeBSDInstalledKernelAgainstTheRunningOne)
{
    const struct {
        const char *running, *installed;
        bool needed;
        const char *line;
    } cases[] = {
        {"14.0-RELEASE-p5", "14.0-RELEASE-p6\n", true,
         "reboot: running 14.0-RELEASE-p5, installed 14.0-RELEASE-p6"},
        {"14.0-RELEASE-p6", "14.0-RELEASE-p6\n", false, nullptr},
        {"14.0-RELEASE-p6", "", false, nullptr},  // freebsd-version gave nothing
    };
    for (const auto &c : cases) {
        reboot_need r;
        freebsd_reboot(c.running, c.installed, &r);
        EXPECT_EQ(reboot_needed(r), c.needed) << c.running << " " << c.installed;
        if (c.line != nullptr) {
            EXPECT_EQ(reboot_line(r), c.line);
        }
    }
}

static void reads_a_newer_kernel(const std::string &root, reboot_need *r)
{
    r->running = root;
    r->installed = "6.1.0-21-amd64";
    r->kernel = true;
    r->required = true;
    r->packages = {"linux-image-6.1.0-21-amd64", "a name: with\ncolons"};
}

static void never_answers(const std::string &, reboot_need *)
{
    for (;;)
        pause();
}

// The kernels are read by a process of their own, whose answer comes back
// whole; one that never answers (an automounted /boot whose disk is gone)
// costs the bound, and the line is left out.
TEST(ServicesReboot, TheInstalledKernelsAreReadWithinABound)
{
    reboot_need r;
    ASSERT_EQ(read_reboot_within("6.1.0-18-amd64", &r, 5000, reads_a_newer_kernel), 0);
    EXPECT_EQ(r.running, "6.1.0-18-amd64");
    EXPECT_EQ(r.installed, "6.1.0-21-amd64");
    EXPECT_TRUE(r.kernel && r.required);
    ASSERT_EQ(r.packages.size(), 2u);
    EXPECT_EQ(r.packages[1], "a name: with\ncolons");

    reboot_need none;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_EQ(read_reboot_within("/", &none, 300, never_answers), -1);
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long took = (end.tv_sec - start.tv_sec) * 1000LL + (end.tv_nsec - start.tv_nsec) / 1000000;
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 3000);
    EXPECT_FALSE(reboot_needed(none));
}
