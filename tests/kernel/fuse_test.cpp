// A FUSE file system whose daemon has stopped answering (bindfs mirroring a
// directory, then SIGSTOP): vrix gives up on it after its bound, once for all
// the processes that map files from it, and still ends with a verdict. Any
// user can mount such a file system; a dead NFS server acts the same.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "kernel_fixture.h"

namespace {

const int HELPERS = 8;
// vrix waits 5 seconds for a lookup; a run that waited once per process
// would take HELPERS times that. The limit is a hang guard with a generous
// margin for a busy machine, not a speed target.
const int RUN_LIMIT_SECONDS = 5 + 20;
const int KILL_AFTER_SECONDS = 60;
// the daemon's kernel caches expire quickly, so lookups soon need it again
const char *const SHORT_CACHE = "attr_timeout=0.2,entry_timeout=0.2,negative_timeout=0.2";

std::string program_path(const char *name)
{
    for (const char *dir : {"/usr/bin", "/usr/sbin", "/bin", "/sbin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "";
}

char process_state(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t end = text.rfind(')');
    return end == std::string::npos || end + 2 >= text.size() ? '?' : text[end + 2];
}

double seconds_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start.tv_sec) + (double)(now.tv_nsec - start.tv_nsec) / 1e9;
}

class StalledFuse : public Kernel {
  protected:
    void SetUp() override
    {
        Kernel::SetUp();
        std::string missing;
        if (program_path("bindfs").empty())
            missing += " bindfs (apt-get install bindfs)";
        if (program_path("fusermount3").empty())
            missing += " fusermount3 (apt-get install fuse3)";
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            missing += " /dev/fuse";
        if (!missing.empty() && getenv("CI") != nullptr)
            FAIL() << "missing:" << missing;
        if (!missing.empty())
            GTEST_SKIP() << "missing:" << missing;
    }

    // Whatever happens, the daemon answers again before anything here
    // touches the mount, and the mount goes before the daemon.
    void TearDown() override
    {
        if (daemon > 0)
            kill(daemon, SIGCONT);
        Kernel::TearDown();  // helpers killed, the mount detached
        if (daemon > 0) {
            kill(daemon, SIGTERM);
            waitpid(daemon, nullptr, 0);
        }
    }

    // bindfs in the foreground mirroring source at mount point; false when it
    // did not get there within 10 seconds.
    bool mount_bindfs(const std::string &source, const std::string &point)
    {
        struct stat under;
        stat(point.c_str(), &under);
        std::string bindfs = program_path("bindfs");
        daemon = fork();
        if (daemon == 0) {
            execl(bindfs.c_str(), "bindfs", "-f", "-o", SHORT_CACHE, source.c_str(), point.c_str(),
                  (char *)nullptr);
            _exit(127);
        }
        mounts.push_back(point);
        for (int i = 0; i < 100; i++) {
            struct stat now;
            if (stat(point.c_str(), &now) == 0 && now.st_dev != under.st_dev)
                return true;
            if (waitpid(daemon, nullptr, WNOHANG) == daemon) {
                daemon = -1;
                return false;
            }
            usleep(100 * 1000);
        }
        return false;
    }

    // SIGSTOP, and wait until it has taken hold.
    void stop_daemon()
    {
        ASSERT_EQ(kill(daemon, SIGSTOP), 0);
        for (int i = 0; i < 100 && process_state(daemon) != 'T'; i++)
            usleep(10 * 1000);
        ASSERT_EQ(process_state(daemon), 'T');
    }

    pid_t daemon = -1;
};

TEST_F(StalledFuse, RunEndsWithErrorsAndOneLineForTheWholeFileSystem)
{
    std::string source = dir + "/source", point = dir + "/mnt";
    ASSERT_EQ(mkdir(source.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
    copy_file(VRIX_TESTLIB, source + "/a.so");
    copy_file(VRIX_TESTLIB, source + "/b.so");
    copy_file(VRIX_TESTLIB, source + "/c.so (deleted)");
    ASSERT_TRUE(mount_bindfs(source, point)) << "bindfs did not mount " << point;

    // three libraries: the other paths on the stuck file system are not
    // waited for either; a live file whose name ends as the kernel marks a
    // deleted one is looked up by the Linux layer itself, within the same
    // bound
    const char *const names[] = {"/a.so", "/b.so", "/c.so (deleted)"};
    std::vector<pid_t> pids;
    for (int i = 0; i < HELPERS; i++)
        pids.push_back(helper({"--map", point + names[i % 3]}));
    ASSERT_EQ(std::count(pids.begin(), pids.end(), -1), 0);
    usleep(1000 * 1000);  // past the kernel's caches of names and attributes
    stop_daemon();

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    // LeakSanitizer (in the sanitizer build) stops every thread at exit, and
    // the one blocked in the file system never stops: no leak check here
    run_result r = run_program(program_path("timeout"),
                               {"timeout", "-s", "KILL", std::to_string(KILL_AFTER_SECONDS),
                                VRIX_BIN, "-h"},
                               "", {"ASAN_OPTIONS=detect_leaks=0"});
    double took = seconds_since(start);

    ASSERT_NE(r.status, 128 + SIGKILL) << "vrix hung: killed after " << KILL_AFTER_SECONDS << " s";
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    auto rows = parse_rows(r.out);
    for (pid_t pid : pids) {
        ASSERT_TRUE(rows.count(pid)) << pid << " not reported\n" << r.out;
        EXPECT_EQ(rows[pid].stat, "err") << pid;
    }
    // the first helper in the scan names the path; the kernel lists
    // processes by pid, which may have wrapped between the helpers
    bool one_line = false;
    for (const char *name : names)
        one_line |= r.err == "vrix: no answer for '" + point + name + "' within 5 seconds\n";
    EXPECT_TRUE(one_line) << r.err;
    EXPECT_LT(took, RUN_LIMIT_SECONDS);
}

}  // namespace
