// The two ways the Linux layer reads a map, PROCMAP_QUERY and the text of
// /proc/PID/maps (for kernels before 6.11), must give the same records.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "kernel_fixture.h"
#include "linux_procstat.h"

namespace {

typedef std::tuple<int, int, int, uint64_t, uint64_t, std::string> record;

std::vector<record> read_map(pid_t pid, int text)
{
    struct procstat *ps = procstat_open_sysctl();
    ps->use_text_maps = text;
    struct kinfo_proc kp;
    memset(&kp, 0, sizeof kp);
    kp.ki_pid = pid;
    unsigned int count = 0;
    struct kinfo_vmentry *map = procstat_getvmmap(ps, &kp, &count);
    std::vector<record> records;
    for (unsigned int i = 0; map != nullptr && i < count; i++)
        records.emplace_back(map[i].kve_type, map[i].kve_protection, map[i].kve_shadow_count,
                             map[i].kve_vn_fsid, map[i].kve_vn_fileid, map[i].kve_path);
    procstat_freevmmap(ps, map);
    procstat_close(ps);
    return records;
}

TEST_F(Kernel, QueryAndTextMapsAgree)
{
    std::string gone = lib("gone.so"), marked = lib("live.so (deleted)"), shared = lib("shared.so");
    std::string literal = lib("lit\\012eral.so"), replaced = lib("re\\012placed.so");
    pid_t pids[] = {
        helper({gone, "--map", lib("new\nline.so"), "--map", literal, "--map", marked, "--map",
                replaced}),
        helper({"--memfd", "--shared", shared}),
        getpid(),
    };
    unlink(gone.c_str());
    replace_file(VRIX_TESTLIB, replaced);
    for (pid_t pid : pids) {
        std::vector<record> query = read_map(pid, 0), text = read_map(pid, 1);
        EXPECT_FALSE(query.empty());
        EXPECT_EQ(query, text) << "pid " << pid;
    }
}

}  // namespace
