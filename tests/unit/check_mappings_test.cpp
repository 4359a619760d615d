// The verdict on one process from its memory map, against real files.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_platform.h"
#include "mapping_verdict.h"
#include "lookup.h"
#include "subprocess.h"
#include "verdict.h"

namespace {

const int RX = KVME_PROT_READ | KVME_PROT_EXEC;

struct files {
    std::string dir, present, gone;
    struct stat sb;
};

files make_files()
{
    files f;
    f.dir = make_temp_dir();
    f.present = f.dir + "/lib.so";
    f.gone = f.dir + "/gone.so";
    write_file(f.present, "x");
    stat(f.present.c_str(), &f.sb);
    return f;
}

struct map_case {
    const char *name;
    std::vector<struct kinfo_vmentry> (*map)(const files &);
    int verdict;
    uint64_t missing;
};

kinfo_vmentry vnode(int prot, int shadow, const std::string &path, uint64_t dev, uint64_t ino)
{
    return fake_mapping(KVME_TYPE_VNODE, prot, shadow, path.c_str(), dev, ino);
}
kinfo_vmentry same(const files &f, int prot = RX)
{
    return vnode(prot, 1, f.present, f.sb.st_dev, f.sb.st_ino);
}
kinfo_vmentry gone(const files &f, int prot = RX, int shadow = 1, int type = KVME_TYPE_VNODE)
{
    kinfo_vmentry kve = vnode(prot, shadow, f.gone, 1, 1);
    kve.kve_type = type;
    return kve;
}
kinfo_vmentry replaced(const files &f)
{
    return vnode(RX, 1, f.present, f.sb.st_dev, f.sb.st_ino + 1);
}
kinfo_vmentry unstatable(const files &)
{
    return vnode(RX, 1, "/dev/null/lib.so", 1, 1);
}

const map_case CASES[] = {
    {"empty map", [](const files &) { return std::vector<kinfo_vmentry>{}; }, VERDICT_NONE, 0},
    {"file unchanged", [](const files &f) { return std::vector<kinfo_vmentry>{same(f)}; },
     VERDICT_NONE, 0},
    {"file deleted", [](const files &f) { return std::vector<kinfo_vmentry>{gone(f)}; },
     VERDICT_MISSING, 1},
    {"read-write-exec counts",
     [](const files &f) { return std::vector<kinfo_vmentry>{gone(f, RX | KVME_PROT_WRITE)}; },
     VERDICT_MISSING, 1},
    {"further protection bits still count",
     [](const files &f) { return std::vector<kinfo_vmentry>{gone(f, RX | 0x80)}; },
     VERDICT_MISSING, 1},
    {"read-only skipped",
     [](const files &f) { return std::vector<kinfo_vmentry>{gone(f, KVME_PROT_READ)}; },
     VERDICT_NONE, 0},
    {"exec-only skipped",
     [](const files &f) { return std::vector<kinfo_vmentry>{gone(f, KVME_PROT_EXEC)}; },
     VERDICT_NONE, 0},
    {"shadow count 0 skipped", [](const files &f) { return std::vector<kinfo_vmentry>{gone(f, RX, 0)}; },
     VERDICT_NONE, 0},
    {"not a file mapping skipped",
     [](const files &f) {
         return std::vector<kinfo_vmentry>{gone(f, RX, 1, KVME_TYPE_DEFAULT),
                                           gone(f, RX, 1, KVME_TYPE_SWAP)};
     },
     VERDICT_NONE, 0},
    {"empty path is missing",
     [](const files &) { return std::vector<kinfo_vmentry>{vnode(RX, 1, "", 1, 1)}; },
     VERDICT_MISSING, 1},
    {"other inode is outdated", [](const files &f) { return std::vector<kinfo_vmentry>{replaced(f)}; },
     VERDICT_OUTDATED, 0},
    {"same inode on another device is outdated",
     [](const files &f) {
         return std::vector<kinfo_vmentry>{vnode(RX, 1, f.present, f.sb.st_dev + 1, f.sb.st_ino)};
     },
     VERDICT_OUTDATED, 0},
    {"status error", [](const files &f) { return std::vector<kinfo_vmentry>{unstatable(f)}; },
     VERDICT_ERROR, 0},
    {"two mappings of one deleted file count 2",
     [](const files &f) { return std::vector<kinfo_vmentry>{gone(f), same(f), gone(f)}; },
     VERDICT_MISSING, 2},
    {"missing beats outdated and error",
     [](const files &f) {
         return std::vector<kinfo_vmentry>{replaced(f), unstatable(f), gone(f), replaced(f)};
     },
     VERDICT_MISSING, 1},
    {"outdated beats error",
     [](const files &f) { return std::vector<kinfo_vmentry>{unstatable(f), replaced(f)}; },
     VERDICT_OUTDATED, 0},
};

TEST(CheckMappings, VerdictAndMissingCountPerMap)
{
    files f = make_files();
    struct procstat *ps = procstat_open_sysctl();
    for (const map_case &c : CASES) {
        fake_reset();
        stat_cache_clear();
        fake_add_process(10, 0, "p", "/bin/p").map = c.map(f);
        uint64_t missing = 77;
        EXPECT_EQ(check_mappings(ps, &fake.processes[0].kp, &missing), c.verdict) << c.name;
        EXPECT_EQ(missing, c.missing) << c.name;
        EXPECT_EQ(check_mappings(ps, &fake.processes[0].kp, nullptr), c.verdict) << c.name;
    }
    procstat_close(ps);
    remove_tree(f.dir);
}

TEST(CheckMappings, UnreadableMapIsAnErrorAndLeavesTheCountAlone)
{
    struct procstat *ps = procstat_open_sysctl();
    fake_reset();
    fake_add_process(10, 0, "p", "/bin/p").map_errno = EACCES;
    uint64_t missing = 0;
    EXPECT_EQ(check_mappings(ps, &fake.processes[0].kp, &missing), VERDICT_ERROR);
    EXPECT_EQ(missing, 0u);
    procstat_close(ps);
}

TEST(CheckMappings, ProcessGoneMidScanIsPassedOver)
{
    struct procstat *ps = procstat_open_sysctl();
    fake_reset();
    fake_add_process(10, 0, "p", "/bin/p").map_errno = ESRCH;
    uint64_t missing = 0;
    EXPECT_EQ(check_mappings(ps, &fake.processes[0].kp, &missing), VERDICT_NONE);
    EXPECT_EQ(missing, 0u);
    procstat_close(ps);
}

}  // namespace
