// Where vrix's output cannot go, and a run that cannot fork its worker, on
// the fake platform: a lost table or whitelist is an error with a word, and
// no worker still gives the verdict.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_cli.h"

namespace {

// vrix-fake ARGS with the shell redirection redirect (">&-", "> /dev/full").
run_result run_redirected(const std::string &script, const std::string &redirect,
                          const std::vector<std::string> &args)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/script", script);
    std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" " + redirect, VRIX_FAKE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    run_result r = run_program("/bin/sh", argv, "", {"VRIX_FAKE_SCRIPT=" + dir + "/script"});
    remove_tree(dir);
    return r;
}

class Output : public FakeFiles {};

TEST_F(Output, StdoutThatLosesWhatIsWrittenIsAnError)
{
    const std::string script = "proc\t1\t0\ta\t/usr/bin/a\n" + replaced;
    const std::string gone_script = "proc\t1\t0\ta\t/usr/bin/a\n" + gone;
    struct {
        std::string script, redirect;
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {script, ">&-", {}, "vrix: stdout: Bad file descriptor\n"},
        {script, "> /dev/full", {}, "vrix: stdout: No space left on device\n"},
        {script, ">&-", {"-h"}, "vrix: stdout: Bad file descriptor\n"},
        // the whitelist on standard output, the table on standard error
        {gone_script, ">&-", {"-c", "-"},
         HEADER + "     1      0 miss /usr/bin/a\nvrix: stdout: Bad file descriptor\n"},
        {gone_script, "> /dev/full", {"-c", "-"},
         HEADER + "     1      0 miss /usr/bin/a\nvrix: stdout: No space left on device\n"},
    };
    for (const auto &c : cases) {
        run_result r = run_redirected(c.script, c.redirect, c.args);
        EXPECT_EQ(r.out, "") << c.redirect;
        EXPECT_EQ(r.err, c.err) << c.redirect;
        EXPECT_EQ(r.status, 1) << c.redirect;
    }
    // the whitelist is put in place; the table is lost
    run_result r = run_redirected(gone_script, ">&-", {"-c", path});
    EXPECT_EQ(r.err, "vrix: stdout: Bad file descriptor\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(path), "/usr/bin/a\t1\n");

    // nothing to write, nothing lost: the status is the run's
    r = run_redirected("proc\t1\t0\ta\t/usr/bin/a\n" + current, ">&-", {});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    r = run_redirected("proc\t1\t0\ta\t/usr/bin/a\n" + current, ">&-", {"-c", "-"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

// A user's process limit (RLIMIT_NPROC, as ulimit -u sets it) leaves no room
// for the worker: vrix judges in its own process, without a bound on waits,
// and says so once. The sanitizers' leak check needs a thread of its own.
class NoFork : public FakeFiles {
  protected:
    void SetUp() override
    {
        FakeFiles::SetUp();
        if (geteuid() != 0 || access("/usr/bin/setpriv", X_OK) != 0 ||
            access("/usr/bin/prlimit", X_OK) != 0)
            SKIP_OR_FAIL("needs root, setpriv and prlimit (apt-get install util-linux)");
        chmod(dir.c_str(), 0755);
        if (chown(dir.c_str(), 65534, 65534) != 0)
            FAIL() << "chown";
    }
    run_result run(const std::string &script, const std::vector<std::string> &args,
                   const std::vector<std::string> &env = {})
    {
        write_file(dir + "/script", script);
        std::vector<std::string> argv{"setpriv", "--reuid=65534", "--regid=65534",
                                      "--clear-groups", "prlimit", "--nproc=1", VRIX_FAKE_BIN};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> all_env{"VRIX_FAKE_SCRIPT=" + dir + "/script",
                                         "ASAN_OPTIONS=detect_leaks=0"};
        all_env.insert(all_env.end(), env.begin(), env.end());
        return run_program("/usr/bin/setpriv", argv, "", all_env);
    }
};

const std::string NO_FORK = "vrix: cannot fork a worker (Resource temporarily unavailable): "
                            "judging by what the kernel has cached alone\n";

TEST_F(NoFork, TheScanRunsInVrixItself)
{
    run_result r = run("proc\t1\t0\ta\t/usr/bin/a\n" + replaced + "proc\t2\t0\tb\t/usr/bin/b\n" +
                           current + "proc\t3\t0\tc\t/usr/bin/c\n" + gone,
                       {"-c", path});
    EXPECT_EQ(r.out, HEADER + "     1      0 outd /usr/bin/a\n"
                              "     3      0 miss /usr/bin/c\n");
    EXPECT_EQ(r.err, NO_FORK);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(read_file(path), "/usr/bin/c\t1\n");

    // a process whose path cannot be had still stops the whitelist, and
    // the previous one stays
    r = run("proc\t1\t0\ta\t/usr/bin/a\n" + gone + "proc\t2\t0\tb\t\npath_error\tENOENT\n",
            {"-c", path});
    EXPECT_EQ(r.err, NO_FORK + "vrix: whitelist not created: cannot get process 2 path\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(path), "/usr/bin/c\t1\n");
}

TEST_F(NoFork, WhatTheCachesCannotAnswerIsNotAsked)
{
    // nothing watches vrix itself: a name on a file system that answers
    // slowly is an error at once, and the scan goes on
    std::string slow = dir + "/slow";
    mkdir(slow.c_str(), 0755);
    write_file(slow + "/x.so", "x");
    time_t start = time(nullptr);
    run_result r = run("proc\t1\t0\ta\t/usr/bin/a\nmap\tvnode\tr-x\t1\t" + slow + "/x.so\t1\t1\n" +
                           "proc\t2\t0\tb\t/usr/bin/b\n" + replaced,
                       {"-h"}, {"VRIX_FAKE_SLOW=" + slow, "VRIX_FAKE_SLOW_MS=30000"});
    EXPECT_LT(time(nullptr) - start, 10);
    EXPECT_EQ(r.out, "     1      0  err /usr/bin/a\n"
                     "     2      0 outd /usr/bin/b\n");
    EXPECT_EQ(r.err, NO_FORK);
    EXPECT_EQ(r.status, 1);
}

}  // namespace
