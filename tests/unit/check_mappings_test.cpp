// The verdict on one process from its memory map, against real files.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "fake_platform.h"
#include "mapping_verdict.h"
#include "stat_cache.h"
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

// A file system that never answers under /stuck/, as a stopped FUSE daemon;
// other paths are asked of the real stat(), slowly under /slow/.
std::atomic<int> stuck_calls{0};
std::mutex stuck_lock;
std::condition_variable stuck_release;
int releases = 0;  // each test lets its stuck lookups go at its end

int stalling_stat(const char *path, struct stat *sb)
{
    if (strncmp(path, "/slow/", 6) == 0) {
        usleep(300 * 1000);
        return stat(path + 5, sb);
    }
    if (strncmp(path, "/stuck/", 7) != 0)
        return stat(path, sb);
    stuck_calls++;
    std::unique_lock<std::mutex> hold(stuck_lock);
    int seen = releases;
    stuck_release.wait(hold, [seen] { return releases != seen; });
    return errno = EIO, -1;
}

// Lookups go to stalling_stat with a short bound; the stuck lookups are let
// go at the end, so that their threads finish.
class StuckFileSystem : public ::testing::Test {
  protected:
    void SetUp() override
    {
        f = make_files();
        ps = procstat_open_sysctl();
        fake_reset();
        stat_cache_clear();
        stuck_calls = 0;
        lookup_call = stalling_stat;
        lookup_bound_ms = 200;
    }
    void TearDown() override
    {
        {
            std::lock_guard<std::mutex> hold(stuck_lock);
            releases++;
        }
        stuck_release.notify_all();
        lookup_call = stat;
        lookup_bound_ms = LOOKUP_BOUND_SECONDS * 1000;
        stat_cache_clear();
        procstat_close(ps);
        remove_tree(f.dir);
    }
    // The verdicts of every process in the table, in order, with stderr.
    std::vector<std::pair<int, uint64_t>> judge_all(std::string *err)
    {
        fflush(stderr);
        FILE *capture = tmpfile();
        int saved = dup(2);
        dup2(fileno(capture), 2);
        std::vector<std::pair<int, uint64_t>> verdicts;
        for (fake_process &p : fake.processes) {
            uint64_t missing = 0;
            int verdict = check_mappings(ps, &p.kp, &missing);
            verdicts.emplace_back(verdict, missing);
        }
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        rewind(capture);
        char buf[4096];
        err->assign(buf, fread(buf, 1, sizeof buf, capture));
        fclose(capture);
        return verdicts;
    }
    kinfo_vmentry stuck(const char *path, uint64_t dev) { return vnode(RX, 1, path, dev, 1); }

    files f;
    struct procstat *ps = nullptr;
};

TEST_F(StuckFileSystem, OneWaitOneLineAndErrorsForEveryMappingOnThatDevice)
{
    typedef std::pair<int, uint64_t> v;
    fake_add_process(10, 0, "a", "/bin/a").map = {same(f), stuck("/stuck/lib\033.so", 7)};
    // another path on the stuck device is not asked, other file systems are
    // (by a fresh helper), and missing still beats error
    fake_add_process(11, 0, "b", "/bin/b").map = {stuck("/stuck/other.so", 7), gone(f)};
    fake_add_process(12, 0, "c", "/bin/c").map = {stuck("/stuck/lib\033.so", 7)};
    fake_add_process(13, 0, "d", "/bin/d").map = {same(f)};
    fake_add_process(14, 0, "e", "/bin/e").map = {replaced(f)};
    std::string err;
    auto verdicts = judge_all(&err);
    EXPECT_EQ(verdicts, (std::vector<v>{{VERDICT_ERROR, 0}, {VERDICT_MISSING, 1},
                                        {VERDICT_ERROR, 0}, {VERDICT_NONE, 0},
                                        {VERDICT_OUTDATED, 0}}));
    EXPECT_EQ(err, "vrix: no answer for '/stuck/lib\\033.so' within 5 seconds\n");
    EXPECT_EQ(stuck_calls, 1);
}

TEST_F(StuckFileSystem, RestOfAProcessIsStillLookedUp)
{
    // the stuck path sits between two paths that are answered: the one after
    // it goes to a fresh helper, and mappings on the stuck device are errors
    fake_add_process(10, 0, "a", "/bin/a").map = {
        same(f), stuck("/stuck/x.so", 7), stuck("/stuck/y.so", 7), replaced(f),
        vnode(RX, 1, f.dir + "/other.so", 1, 1)};
    std::string err;
    auto verdicts = judge_all(&err);
    EXPECT_EQ(verdicts[0], std::make_pair((int)VERDICT_MISSING, (uint64_t)1)) << err;
    EXPECT_EQ(err, "vrix: no answer for '/stuck/x.so' within 5 seconds\n");
    EXPECT_EQ(stuck_calls, 1);
}

TEST_F(StuckFileSystem, TheBoundIsPerLookupNotPerProcess)
{
    lookup_bound_ms = 1000;
    // four slow answers take longer together than the bound allows one
    std::string p = "/slow" + f.present;
    std::string q = "/slow" + f.dir + "/./lib.so";
    std::string r = "/slow" + f.dir + "//lib.so";
    std::string s = "/slow" + f.dir + "/../" + f.dir.substr(5) + "/lib.so";
    fake_add_process(10, 0, "a", "/bin/a").map = {vnode(RX, 1, p, f.sb.st_dev, f.sb.st_ino),
                                                  vnode(RX, 1, q, f.sb.st_dev, f.sb.st_ino),
                                                  vnode(RX, 1, r, f.sb.st_dev, f.sb.st_ino),
                                                  vnode(RX, 1, s, f.sb.st_dev, f.sb.st_ino)};
    std::string err;
    auto verdicts = judge_all(&err);
    EXPECT_EQ(verdicts[0], std::make_pair((int)VERDICT_NONE, (uint64_t)0)) << err;
    EXPECT_EQ(err, "");
}

}  // namespace
