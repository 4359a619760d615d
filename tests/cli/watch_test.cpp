// The watched scan on the fake platform: a worker judges the processes, the
// parent prints, and a wait that outlasts the bound costs what it waited on
// and nothing more. File systems that never answer or answer slowly are the
// fake's (fake_lookup); the mount that stalls is a real one, in a mount
// namespace of the run's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "fake_cli.h"

namespace {

const std::string BOUND = "VRIX_FAKE_BOUND_MS=300";

std::string script_file(const std::string &dir, const std::string &script)
{
    std::string path = dir + "/script";
    write_file(path, script);
    return path;
}

// vrix on the fake platform, with a tmpfs mounted at each of mounts in a
// mount namespace of its own, then each of binds ("FROM=TO") bind-mounted.
run_result run_mounted(const std::string &script, const std::vector<std::string> &mounts,
                       const std::vector<std::string> &env, const std::vector<std::string> &args,
                       const std::vector<std::string> &binds = {})
{
    std::string dir = make_temp_dir();
    std::string command;
    for (size_t i = 0; i < mounts.size(); i++)
        command += "mount -t tmpfs none \"$" + std::to_string(i + 1) + "\" && ";
    for (const std::string &bind : binds) {
        size_t eq = bind.find('=');
        command += "mount --bind '" + bind.substr(0, eq) + "' '" + bind.substr(eq + 1) + "' && ";
    }
    command += "exec " + std::string(VRIX_FAKE_BIN);
    for (const std::string &a : args)
        command += " '" + a + "'";
    std::vector<std::string> argv{"unshare", "-m", "--propagation", "private",
                                  "sh", "-c", command, "vrix"};
    argv.insert(argv.end(), mounts.begin(), mounts.end());
    std::vector<std::string> all_env = env;
    all_env.push_back("VRIX_FAKE_SCRIPT=" + script_file(dir, script));
    run_result r = run_program("/usr/bin/unshare", argv, "", all_env);
    remove_tree(dir);
    return r;
}

class Watch : public FakeFiles {
  protected:
    void SetUp() override
    {
        FakeFiles::SetUp();
        stuck = dir + "/stuck";
        mkdir(stuck.c_str(), 0755);
    }
    std::string stuck_map(const std::string &name, int ino)
    {
        return "map\tvnode\tr-x\t1\t" + stuck + "/" + name + "\t1\t" + std::to_string(ino) + "\n";
    }
    std::string stuck;
};

TEST_F(Watch, StalledMountCostsOneWaitAndOnlyItsOwnFiles)
{
    // the mount that did not answer is not asked again, for any of its
    // files; the file system it is mounted on, and others, still are
    std::string script = "proc\t10\t0\ta\t/bin/a\n" + current + stuck_map("x.so", 1) +
                         "proc\t11\t0\tb\t/bin/b\n" + stuck_map("y.so", 2) + gone +
                         "proc\t12\t0\tc\t/bin/c\n" + stuck_map("x.so", 1) +
                         "proc\t13\t0\td\t/bin/d\n" + replaced;
    std::vector<std::string> env{BOUND, "VRIX_FAKE_STUCK=" + stuck};
    // a process left behind holds none of our output: the run's pipes end
    // with it, not 30 seconds later
    time_t start = time(nullptr);
    run_result r = run_mounted(script, {stuck}, env, {});
    EXPECT_LT(time(nullptr) - start, 20);
    EXPECT_EQ(r.out, HEADER + "    10      0  err /bin/a\n"
                              "    11      0 miss /bin/b\n"
                              "    12      0  err /bin/c\n"
                              "    13      0 outd /bin/d\n");
    EXPECT_EQ(r.err, "vrix: no answer for '" + stuck + "/x.so' (process 10) within 5 seconds\n");
    EXPECT_EQ(r.status, 1);

    // what a killed worker finished is kept: the whitelist has its line
    r = run_mounted(script, {stuck}, env, {"-h", "-c", path});
    EXPECT_EQ(read_file(path), "/bin/b\t1\n");
    EXPECT_EQ(r.status, 1) << r.err;
}

TEST_F(Watch, StallIsTheDevicesWhateverMountReachesIt)
{
    // the stalled file system reached through three more bind mounts: one
    // wait, one line, and every way to it refused; the file system the
    // mounts stand on still answers
    std::string script;
    std::vector<std::string> binds;
    for (int i = 0; i < 4; i++) {
        std::string via = i == 0 ? stuck : dir + "/via" + std::to_string(i);
        if (i != 0) {
            mkdir(via.c_str(), 0755);
            binds.push_back(stuck + "=" + via);
        }
        script += "proc\t" + std::to_string(10 + i) + "\t0\tp\t/bin/p\n" +
                  "map\tvnode\tr-x\t1\t" + via + "/x.so\t1\t1\n";
    }
    script += "proc\t20\t0\tq\t/bin/q\n" + replaced;
    time_t start = time(nullptr);
    run_result r = run_mounted(script, {stuck}, {BOUND, "VRIX_FAKE_STUCK=" + stuck}, {"-h"}, binds);
    EXPECT_LT(time(nullptr) - start, 5);
    EXPECT_EQ(r.out, "    10      0  err /bin/p\n"
                     "    11      0  err /bin/p\n"
                     "    12      0  err /bin/p\n"
                     "    13      0  err /bin/p\n"
                     "    20      0 outd /bin/q\n");
    EXPECT_EQ(r.err, "vrix: no answer for '" + stuck + "/x.so' (process 10) within 5 seconds\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Watch, ProcessThatDoesNotAnswerIsAnErrorAndTheScanGoesOn)
{
    std::string script = "proc\t10\t0\ta\t/bin/a\nmap_hang\n"
                         "proc\t11\t0\tb\t/bin/b\n" + replaced;
    run_result r = run_fake(script, {}, "", "", {BOUND});
    EXPECT_EQ(r.out, HEADER + "    10      0  err /bin/a\n"
                              "    11      0 outd /bin/b\n");
    EXPECT_EQ(r.err, "vrix: no answer for process 10 within 5 seconds\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Watch, MessageNamesThePathAsTheProcessNamesIt)
{
    // a process of another mount namespace: we reach its root under a
    // prefix of our own, which is not its name for the file
    std::string root = dir + "/root";
    mkdir(root.c_str(), 0755);
    std::string script = "proc\t10\t0\ta\t/bin/a\nframe\t4026532000\t" + root + "\n" +
                         "map\tvnode\tr-x\t1\t" + root + "/stuck/x.so\t1\t1\n";
    run_result r = run_fake(script, {"-h"}, "", "", {BOUND, "VRIX_FAKE_STUCK=" + root + "/stuck"});
    EXPECT_EQ(r.out, "    10      0  err /bin/a\n");
    EXPECT_EQ(r.err, "vrix: no answer for '/stuck/x.so' (process 10) within 5 seconds\n");

    // a deleted file's name, marked as the kernel marks it, with an 8-bit
    // CSI in it: the name without the marker, and the CSI escaped
    script = "proc\t11\t0\ta\t/bin/a\nframe\t4026532000\t" + root + "\n" +
             "map\tvnode\tr-x\t1\t" + root + "/stuck/x\\233.so (deleted)\t1\t1\n";
    r = run_fake(script, {"-h"}, "", "", {BOUND, "VRIX_FAKE_STUCK=" + root + "/stuck"});
    EXPECT_EQ(r.err, "vrix: no answer for '/stuck/x\\233.so' (process 11) within 5 seconds\n");
}

TEST_F(Watch, SlowAnswersAreNoStallHoweverManyAddUp)
{
    // each lookup answers within the bound; together they take twice it
    std::string script = "proc\t10\t0\ta\t/bin/a\n";
    for (int i = 0; i < 3; i++) {
        std::string lib_i = dir + "/lib" + std::to_string(i) + ".so";
        write_file(lib_i, "x");
        script += "map\tvnode\tr-x\t1\t" + lib_i + "\n";
    }
    run_result r = run_fake(script, {}, "", "",
                            {"VRIX_FAKE_BOUND_MS=1000", "VRIX_FAKE_SLOW=" + dir,
                             "VRIX_FAKE_SLOW_MS=400"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Watch, AUsersSlowNamesSpendOnlyThatUsersShare)
{
    // a user's four names that answer slowly, then root's process on the
    // same file system: the user's fourth is not asked, root's is
    std::string slow = dir + "/slow";
    mkdir(slow.c_str(), 0755);
    std::string script = "proc\t10\t0\ta\t/bin/a\n";
    for (int i = 0; i < 4; i++) {
        std::string lib_i = slow + "/lib" + std::to_string(i) + ".so";
        write_file(lib_i, "x");
        script += "map\tvnode\tr-x\t1\t" + lib_i + "\n";
    }
    std::string root_lib = slow + "/root.so";
    write_file(root_lib, "x");
    struct stat sb;
    ASSERT_EQ(stat(root_lib.c_str(), &sb), 0);
    script += "proc\t11\t0\tb\t/bin/b\nmap\tvnode\tr-x\t1\t" + root_lib + "\t" +
              std::to_string(sb.st_dev) + "\t" + std::to_string(sb.st_ino + 1) + "\n";
    run_result r = run_fake(script, {"-h"}, "", "",
                            {"VRIX_FAKE_BOUND_MS=1000", "VRIX_FAKE_SLOW=" + slow,
                             "VRIX_FAKE_SLOW_MS=900", "VRIX_FAKE_UIDS=10=1001"});
    EXPECT_EQ(r.out, "    10      0  err /bin/a\n"
                     "    11      0 outd /bin/b\n");
    EXPECT_EQ(r.err, "vrix: waited 10 seconds in all on file systems for the processes of user "
                     "1001: names the kernel has not cached are not asked again for them\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Watch, WorkIsNoStallHoweverLongItTakes)
{
    // a map that takes five bounds of processor time to go through, as a
    // huge one does on a starved processor
    std::string script = "proc\t10\t0\ta\t/bin/a\nmap_busy\t1500\n" + current +
                         "proc\t11\t0\tb\t/bin/b\n" + replaced;
    run_result r = run_fake(script, {"-h"}, "", "", {BOUND});
    EXPECT_EQ(r.out, "    11      0 outd /bin/b\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 2);
}

TEST_F(Watch, BeingStoppedForLongerThanTheBoundIsNoStall)
{
    // a slow answer, and the whole run stopped for longer than the bound in
    // the middle of it
    std::string script = "proc\t10\t0\ta\t/bin/a\n" + current + "proc\t11\t0\tb\t/bin/b\n" +
                         replaced;
    std::string script_path = script_file(dir, script);
    std::string out = dir + "/out", err = dir + "/err";
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        freopen(out.c_str(), "w", stdout);
        freopen(err.c_str(), "w", stderr);
        setenv("VRIX_FAKE_SCRIPT", script_path.c_str(), 1);
        setenv("VRIX_FAKE_BOUND_MS", "1000", 1);
        setenv("VRIX_FAKE_SLOW", dir.c_str(), 1);
        setenv("VRIX_FAKE_SLOW_MS", "600", 1);
        execl(VRIX_FAKE_BIN, "vrix", "-h", (char *)nullptr);
        _exit(127);
    }
    setpgid(pid, pid);
    usleep(200 * 1000);
    kill(-pid, SIGSTOP);
    usleep(2500 * 1000);
    kill(-pid, SIGCONT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(read_file(out), "    11      0 outd /bin/b\n");
    EXPECT_EQ(read_file(err), "");
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
