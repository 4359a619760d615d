// vrix started as scripts and service managers may start it: with standard
// descriptors closed or full, and with no room for one more process. Each
// run scans a PID namespace of its own, whose process 1 maps a library that
// the run replaces or deletes first.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_cli.h"
#include "kernel_fixture.h"
#include "subprocess.h"

namespace {

const std::string OUTD = HEADER + "     1      0 outd " + VRIX_MAPPER + "\n";
const std::string MISS = HEADER + "     1      0 miss " + VRIX_MAPPER + "\n";

class StandardFds : public Kernel {
  protected:
    // Runs script in a PID namespace whose process 1 maps lib.so, with $V
    // vrix, $L the library, $D the test's directory and $C extra; replace
    // puts a new copy in its place.
    run_result run(const std::string &script, const std::string &extra = "",
                   const std::vector<std::string> &env = {})
    {
        std::string prelude = "V=\"$0\" T=\"$1\" L=\"$2\" D=\"$3\" C=\"$4\"; "
                              "replace() { cp \"$T\" \"$L.new\" && mv \"$L.new\" \"$L\"; }; ";
        return run_program("/usr/bin/unshare",
                           {"unshare", "--pid", "--fork", "--mount-proc", VRIX_MAPPER, lib("lib.so"),
                            "--run", "/bin/sh", "-c", prelude + script, VRIX_BIN, VRIX_TESTLIB,
                            dir + "/lib.so", dir, extra},
                           "", env);
    }
};

TEST_F(StandardFds, ClosedOrFullDescriptors)
{
    const std::string wl = std::string(VRIX_MAPPER) + "\t1\n";
    struct {
        const char *name, *script;
        std::string out, err;
        int status;  // the script's
    } cases[] = {
        // nothing vrix opens lands on a closed descriptor
        {"stdin closed", "replace && exec \"$V\" <&-", OUTD, "", 2},
        {"stderr closed", "replace && exec \"$V\" 2>&-", OUTD, "", 2},
        {"stdin closed, -c", "rm \"$L\" && \"$V\" -c \"$D/wl\" <&-; echo \"status $?\"; cat \"$D/wl\"",
         MISS + "status 2\n" + wl, "", 0},
        // a table that cannot be written is no result
        {"stdout closed", "replace && \"$V\" >&-; echo \"status $?\"", "status 1\n",
         "vrix: stdout: Bad file descriptor\n", 0},
        {"stdout full", "replace && \"$V\" > /dev/full; echo \"status $?\"", "status 1\n",
         "vrix: stdout: No space left on device\n", 0},
    };
    for (const auto &c : cases) {
        unlink((dir + "/wl").c_str());
        run_result r = run(c.script);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
        EXPECT_EQ(r.status, c.status) << c.name;
    }
}

// A cgroup's pids.max (a unit's TasksMax) of 1: no worker can be forked, and
// the scan runs in vrix itself. The sanitizers' leak check would need a
// thread of its own.
std::string pids_cgroup(const std::string &name)
{
    if (access("/sys/fs/cgroup/cgroup.controllers", F_OK) == 0) {
        // cgroup v2: the controller must be on for the root's children
        write_file("/sys/fs/cgroup/cgroup.subtree_control", "+pids");
        std::string path = "/sys/fs/cgroup/" + name;
        if (mkdir(path.c_str(), 0755) == 0 && access((path + "/pids.max").c_str(), F_OK) == 0)
            return path;
        rmdir(path.c_str());
        return "";
    }
    std::string path = "/sys/fs/cgroup/pids/" + name;
    return mkdir(path.c_str(), 0755) == 0 ? path : "";
}

TEST_F(StandardFds, NoWorkerStillGivesTheVerdict)
{
    if (geteuid() != 0)
        SKIP_OR_FAIL("needs root for a cgroup");
    std::string cgroup = pids_cgroup("vrix-test-" + std::to_string(getpid()));
    if (cgroup.empty())
        SKIP_OR_FAIL("no cgroup with the pids controller");
    run_result r = run("replace && echo $$ > \"$C/cgroup.procs\" && echo 1 > \"$C/pids.max\" && "
                       "exec \"$V\"",
                       cgroup, {"ASAN_OPTIONS=detect_leaks=0"});
    rmdir(cgroup.c_str());
    EXPECT_EQ(r.out, OUTD);
    EXPECT_EQ(r.err, "vrix: cannot fork a worker (Resource temporarily unavailable): "
                     "judging by what the kernel has cached alone\n");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
