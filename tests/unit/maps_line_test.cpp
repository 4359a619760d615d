// Lines of /proc/PID/maps as the Linux layer records them.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/sysmacros.h>

#include "process_map.h"

namespace {

struct line_case {
    const char *line;
    int result;
    int type;
    int protection;
    int shadow;
    unsigned major, minor;
    unsigned long long inode;
    const char *path;
};

const int R = KVME_PROT_READ, W = KVME_PROT_WRITE, X = KVME_PROT_EXEC;

// Kernel memory (memfd, System V, shared anonymous memory) is named like a
// file; it is told apart later, by a device that no filesystem is mounted
// from.
const line_case CASES[] = {
    {"7f0000000000-7f0000001000 r-xp 00001000 fd:01 1234                       /usr/lib/libc.so.6",
     1, KVME_TYPE_VNODE, R | X, 1, 0xfd, 1, 1234, "/usr/lib/libc.so.6"},
    {"7f0000000000-7f0000001000 rwxs 00000000 103:1a 99 /srv/a b", 1, KVME_TYPE_VNODE, R | W | X,
     0, 0x103, 0x1a, 99, "/srv/a b"},
    {"7f0000000000-7f0000001000 r-xp 00000000 08:02 7 /srv/lib.so (deleted)", 1, KVME_TYPE_VNODE,
     R | X, 1, 8, 2, 7, "/srv/lib.so (deleted)"},
    {"7f0000000000-7f0000001000 r-xp 00000000 08:02 7 /srv/new\\012line.so", 1, KVME_TYPE_VNODE,
     R | X, 1, 8, 2, 7, "/srv/new\nline.so"},
    {"7f0000000000-7f0000001000 r-xp 00000000 00:2a 7 /tmp/on-tmpfs.so", 1, KVME_TYPE_VNODE, R | X,
     1, 0, 0x2a, 7, "/tmp/on-tmpfs.so"},
    {"7f0000000000-7f0000001000 rw-p 00000000 00:00 0 ", 1, KVME_TYPE_DEFAULT, R | W, 1, 0, 0, 0,
     ""},
    {"7f0000000000-7f0000001000 rw-p 00000000 00:00 0", 1, KVME_TYPE_DEFAULT, R | W, 1, 0, 0, 0, ""},
    {"7ffd00000000-7ffd00001000 r-xp 00000000 00:00 0                  [vdso]", 1,
     KVME_TYPE_DEFAULT, R | X, 1, 0, 0, 0, "[vdso]"},
    {"7f0000000000-7f0000001000 r-xp 00000000 00:0e 12 anon_inode:[perf_event]", 1,
     KVME_TYPE_DEFAULT, R | X, 1, 0, 0xe, 12, "anon_inode:[perf_event]"},
    {"7f0000000000-7f0000001000 r-xp 00000000 00:01 5 /memfd:jit (deleted)", 1, KVME_TYPE_VNODE,
     R | X, 1, 0, 1, 5, "/memfd:jit (deleted)"},
    {"7f0000000000-7f0000001000 r-xp 00000000 00:10 5 /memfd:huge (deleted)", 1, KVME_TYPE_VNODE,
     R | X, 1, 0, 0x10, 5, "/memfd:huge (deleted)"},
    {"7f0000000000-7f0000001000 rw-s 00000000 00:01 32768 /SYSV00000000 (deleted)", 1,
     KVME_TYPE_VNODE, R | W, 0, 0, 1, 32768, "/SYSV00000000 (deleted)"},
    {"7f0000000000-7f0000001000 rw-s 00000000 00:01 3 /dev/zero (deleted)", 1, KVME_TYPE_VNODE,
     R | W, 0, 0, 1, 3, "/dev/zero (deleted)"},
    {"7f0000000000-7f0000001000 r-xp 00000000 08:01 5 /memfd:on-disk", 1, KVME_TYPE_VNODE, R | X,
     1, 8, 1, 5, "/memfd:on-disk"},
    {"garbage", 0, 0, 0, 0, 0, 0, 0, ""},
};

TEST(MapsLine, FieldsAndKinds)
{
    for (const line_case &c : CASES) {
        struct kinfo_vmentry kve;
        memset(&kve, 0, sizeof kve);
        ASSERT_EQ(parse_maps_line(c.line, strlen(c.line), "", &kve), c.result) << c.line;
        if (c.result != 1)
            continue;
        EXPECT_EQ(kve.kve_type, c.type) << c.line;
        EXPECT_EQ(kve.kve_protection, c.protection) << c.line;
        EXPECT_EQ(kve.kve_shadow_count, c.shadow) << c.line;
        EXPECT_EQ(kve.kve_vn_fsid, (uint64_t)makedev(c.major, c.minor)) << c.line;
        EXPECT_EQ(kve.kve_vn_fileid, c.inode) << c.line;
        EXPECT_STREQ(kve.kve_path, c.path) << c.line;
    }
}

TEST(MapsLine, NameTooLongForTheRecordIsRefused)
{
    std::string line = "7f0000000000-7f0000001000 r-xp 00000000 08:01 5 /" + std::string(PATH_MAX, 'a');
    struct kinfo_vmentry kve;
    EXPECT_EQ(parse_maps_line(line.c_str(), line.size(), "", &kve), -1);
    EXPECT_EQ(kve.kve_type, KVME_TYPE_VNODE);

    std::string fits = "7f0000000000-7f0000001000 r-xp 00000000 08:01 5 /" + std::string(1000, 'a');
    EXPECT_EQ(parse_maps_line(fits.c_str(), fits.size(), "", &kve), 1);
    EXPECT_EQ(parse_maps_line(fits.c_str(), fits.size(), "/proc/1/root/../../..", &kve), 1);
    EXPECT_EQ(parse_maps_line(fits.c_str(), fits.size(), std::string(200, '/').c_str(), &kve), -1);
}

TEST(MapsLine, FileNamesOfAnotherMountNamespaceGetThePrefix)
{
    const char *prefix = "/proc/42/root/..";
    struct kinfo_vmentry kve;
    std::string file = "7f0000000000-7f0000001000 r-xp 00000000 08:01 5 /usr/lib/libc.so.6";
    ASSERT_EQ(parse_maps_line(file.c_str(), file.size(), prefix, &kve), 1);
    EXPECT_STREQ(kve.kve_path, "/proc/42/root/../usr/lib/libc.so.6");
    EXPECT_EQ(kve.kve_type, KVME_TYPE_VNODE);

    std::string memfd = "7f0000000000-7f0000001000 r-xp 00000000 00:01 5 /memfd:x (deleted)";
    ASSERT_EQ(parse_maps_line(memfd.c_str(), memfd.size(), prefix, &kve), 1);
    EXPECT_STREQ(kve.kve_path, "/proc/42/root/../memfd:x (deleted)");

    std::string vdso = "7f0000000000-7f0000001000 r-xp 00000000 00:00 0 [vdso]";
    ASSERT_EQ(parse_maps_line(vdso.c_str(), vdso.size(), prefix, &kve), 1);
    EXPECT_STREQ(kve.kve_path, "[vdso]");
}

}  // namespace
