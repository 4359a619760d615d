// -c end to end on the fake platform: what lands in the file, what stays on
// disk when a run cannot finish, and on which stream everything goes.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <string.h>

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fake_cli.h"
#include "subprocess.h"

namespace {

struct held_run {
    pid_t pid;
    int table;
};

class CreateCli : public FakeFiles {
  protected:
    std::string missing(int pid, const std::string &exe, int count = 1) const
    {
        std::string s = "proc\t" + std::to_string(pid) + "\t0\tp\t" + exe + "\n";
        for (int i = 0; i < count; i++)
            s += gone;
        return s;
    }
    // Names in the directory but the library: a temporary file left behind
    // would show.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        for (struct dirent *de; (de = readdir(d)) != nullptr;) {
            if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0 &&
                strcmp(de->d_name, "lib.so") != 0)
                names.push_back(de->d_name);
        }
        closedir(d);
        std::sort(names.begin(), names.end());
        return names;
    }

    // vrix -c PATH held mid-scan by a table that nobody reads yet: the FIFO
    // "table" in the directory. ignored is set to SIG_IGN before exec, as
    // nohup does (0: none).
    held_run hold(const std::string &path, int ignored = 0)
    {
        std::string script;
        for (int pid = 1; pid <= 4000; pid++)
            script += missing(pid, "/usr/bin/" + std::string(60, 'a'));
        write_file(dir + "/script", script);
        std::string fifo = dir + "/table";
        mkfifo(fifo.c_str(), 0600);

        pid_t pid = fork();
        if (pid == 0) {
            int out = open(fifo.c_str(), O_WRONLY);
            dup2(out, 1);
            if (ignored != 0)
                signal(ignored, SIG_IGN);
            setenv("VRIX_FAKE_SCRIPT", (dir + "/script").c_str(), 1);
            execl(VRIX_FAKE_BIN, "vrix", "-c", path.c_str(), (char *)nullptr);
            _exit(127);
        }
        return held_run{pid, open(fifo.c_str(), O_RDONLY)};
    }

    // Reads the table to its end and returns the wait status.
    static int release(held_run &run)
    {
        char buf[65536];
        while (read(run.table, buf, sizeof buf) > 0) {
        }
        close(run.table);
        int status = 0;
        waitpid(run.pid, &status, 0);
        return status;
    }
};

TEST_F(CreateCli, LinesToTheFileAndTableToStandardOutput)
{
    const std::string script = missing(1, "/usr/bin/a") + missing(2, "/usr/bin/a", 3) +
                               "proc\t3\t0\tq\t/usr/bin/q\n" + missing(4, "");
    run_result r = run_fake(script, {"-c", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, HEADER + "     1      0 miss /usr/bin/a\n"
                              "     2      0 miss /usr/bin/a\n"
                              "     4      0 miss -\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(path), "/usr/bin/a\t1\n/usr/bin/a\t3\n-\t1\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"whitelist"});

    // read back: the first line for a path wins, "-" never matches
    r = run_fake(script, {"-w", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, HEADER + "     2      0 miss /usr/bin/a\n"
                              "     4      0 miss -\n");
}

TEST_F(CreateCli, StandardOutputTakesTheLinesAndTheTableMoves)
{
    run_result r = run_fake(missing(1, "/usr/bin/a"), {"-h", "-c", "-"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "/usr/bin/a\t1\n");
    EXPECT_EQ(r.err, "     1      0 miss /usr/bin/a\n");
}

TEST_F(CreateCli, OnlyTheLastPathGiven)
{
    run_result r = run_fake(missing(1, "/usr/bin/a"), {"-c", dir + "/first", "-c", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(entries(), std::vector<std::string>{"whitelist"});
}

TEST_F(CreateCli, ACompletedRunReplacesTheOldFileEvenWithNothingToRecord)
{
    write_file(path, "/usr/bin/stale\t1\n");
    run_result r = run_fake("proc\t1\t0\tq\t/usr/bin/q\n", {"-c", path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(read_file(path), "");
}

TEST_F(CreateCli, AbortLeavesThePreviousFileAsItWas)
{
    const std::string pathless = "proc\t9\t0\tgone\t\npath_error\tENOENT\n";
    const std::string message = "vrix: whitelist not created: cannot get process 9 path\n";
    write_file(path, "/usr/bin/old\t2\n");

    run_result r = run_fake(missing(1, "/usr/bin/a") + pathless + missing(2, "/usr/bin/b"),
                            {"-c", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEADER + "     1      0 miss /usr/bin/a\n");
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(read_file(path), "/usr/bin/old\t2\n");
    EXPECT_EQ(entries(), std::vector<std::string>{"whitelist"});

    r = run_fake(pathless + missing(1, "/usr/bin/a"), {"-c", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(read_file(path), "/usr/bin/old\t2\n");

    unlink(path.c_str());
    r = run_fake(pathless, {"-c", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(entries(), std::vector<std::string>{});
}

// A run killed mid-scan leaves no temporary file and the old whitelist as it
// was.
TEST_F(CreateCli, KilledRunLeavesThePreviousFileAsItWas)
{
    write_file(path, "/usr/bin/old\t2\n");
    held_run run = hold(path);
    // the table fills the pipe; by then lines have gone to the temporary file
    for (int i = 0; i < 500 && entries().size() < 4; i++)
        usleep(10000);
    EXPECT_EQ(entries().size(), 4u) << "a temporary file beside the whitelist";
    kill(run.pid, SIGTERM);
    int status = release(run);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(read_file(path), "/usr/bin/old\t2\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"script", "table", "whitelist"}));
}

// A signal that was ignored when vrix started (nohup, a background job)
// stays ignored: the run completes and puts its file in place.
TEST_F(CreateCli, IgnoredSignalsStayIgnored)
{
    for (int sig : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(sig));
        write_file(path, "/usr/bin/old\t2\n");
        held_run run = hold(path, sig);
        for (int i = 0; i < 500 && entries().size() < 4; i++)
            usleep(10000);
        ASSERT_EQ(entries().size(), 4u) << "the run is under way";
        kill(run.pid, sig);
        int status = release(run);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
        std::string lines = read_file(path);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 4000);
        unlink((dir + "/table").c_str());
    }
}

TEST_F(CreateCli, ErrorVerdictsKeepTheFileWithAWarning)
{
    run_result r = run_fake(missing(1, "/usr/bin/a") + "proc\t2\t0\tx\t/usr/bin/x\nmap_error\tEACCES\n",
                            {"-c", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEADER + "     1      0 miss /usr/bin/a\n"
                              "     2      0  err /usr/bin/x\n");
    EXPECT_EQ(r.err, "vrix: be aware, that errors were encountered while creating this whitelist\n");
    EXPECT_EQ(read_file(path), "/usr/bin/a\t1\n");
}

TEST_F(CreateCli, FileThatCannotBeCreatedStopsTheRunBeforeAnyRow)
{
    std::string bad = dir + "/no/such/dir/whitelist";
    run_result r = run_fake(missing(1, "/usr/bin/a"), {"-c", bad});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vrix: cannot create whitelist file '" + bad + "': No such file or directory\n");
}

TEST_F(CreateCli, PathsWithTabOrNewlineAreNotRecorded)
{
    const std::string script = missing(1, "/tmp/x\\t1\\n/usr/sbin/sshd") + missing(2, "/usr/bin/a");
    run_result r = run_fake(script, {"-c", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, HEADER + "     1      0 miss /tmp/x\\0111\\012/usr/sbin/sshd\n"
                              "     2      0 miss /usr/bin/a\n");
    EXPECT_EQ(r.err, "vrix: process 1 not recorded in whitelist: path holds a TAB or newline\n");
    EXPECT_EQ(read_file(path), "/usr/bin/a\t1\n");
}

TEST_F(CreateCli, WriteFailureIsAnError)
{
    run_result r = run_fake(missing(1, "/usr/bin/a"), {"-c", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vrix: cannot write file '/dev/full': No space left on device\n");

    r = run_fake(missing(1, "/usr/bin/a"), {"-c", "-"}, "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, HEADER + "     1      0 miss /usr/bin/a\n"
                              "vrix: stdout: No space left on device\n");
}

TEST_F(CreateCli, DevicesAreWrittenInPlace)
{
    run_result r = run_fake(missing(1, "/usr/bin/a"), {"-c", "/dev/null"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "");
    struct stat sb;
    ASSERT_EQ(stat("/dev/null", &sb), 0);
    EXPECT_TRUE(S_ISCHR(sb.st_mode));
}

TEST_F(CreateCli, ModesAndSymbolicLinks)
{
    const std::string script = missing(1, "/usr/bin/a");
    write_file(path, "old\t1\n");
    chmod(path.c_str(), 0640);
    EXPECT_EQ(run_fake(script, {"-c", path}).status, 2);
    struct stat sb;
    stat(path.c_str(), &sb);
    EXPECT_EQ(sb.st_mode & 07777, 0640u);

    std::string fresh = dir + "/fresh";
    EXPECT_EQ(run_fake(script, {"-c", fresh}).status, 2);
    stat(fresh.c_str(), &sb);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(sb.st_mode & 07777, 0666u & ~mask);

    // a link is written through: its target keeps its inode, the link stays
    std::string link = dir + "/link";
    symlink("whitelist", link.c_str());
    write_file(path, "old\t1\nmuch longer than the new contents\n");
    stat(path.c_str(), &sb);
    ino_t inode = sb.st_ino;
    EXPECT_EQ(run_fake(script, {"-c", link}).status, 2);
    EXPECT_EQ(lstat(link.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISLNK(sb.st_mode));
    EXPECT_EQ(read_file(path), "/usr/bin/a\t1\n");
    stat(path.c_str(), &sb);
    EXPECT_EQ(sb.st_ino, inode);
    EXPECT_EQ(sb.st_mode & 07777, 0640u);

    // a link that leads nowhere yet creates its target, as a shell would
    std::string dangling = dir + "/dangling";
    symlink("made", dangling.c_str());
    EXPECT_EQ(run_fake(script, {"-c", dangling}).status, 2);
    EXPECT_EQ(read_file(dir + "/made"), "/usr/bin/a\t1\n");
    stat((dir + "/made").c_str(), &sb);
    EXPECT_EQ(sb.st_mode & 07777, 0666u & ~mask);
}

// A link's target is written only by a run that completes; the lines wait in
// a temporary file that is not beside it. A link that led nowhere leads to
// the empty file that the open made, as a shell's would.
TEST_F(CreateCli, FailedOrKilledRunLeavesALinksTargetAsItWas)
{
    const std::string pathless = "proc\t9\t0\tgone\t\npath_error\tENOENT\n";
    std::string link = dir + "/link", dangling = dir + "/dangling";
    symlink("whitelist", link.c_str());
    symlink("made", dangling.c_str());
    write_file(path, "/usr/bin/old\t2\n");
    for (const std::string &l : {link, dangling}) {
        run_result r = run_fake(missing(1, "/usr/bin/a") + pathless, {"-c", l});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "vrix: whitelist not created: cannot get process 9 path\n");
    }
    EXPECT_EQ(read_file(path), "/usr/bin/old\t2\n");
    EXPECT_EQ(read_file(dir + "/made"), "");
    EXPECT_EQ(entries(), (std::vector<std::string>{"dangling", "link", "made", "whitelist"}));

    held_run run = hold(link);
    char first[4096];
    ASSERT_GT(read(run.table, first, sizeof first), 0) << "the run is under way";
    kill(run.pid, SIGTERM);
    int status = release(run);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(read_file(path), "/usr/bin/old\t2\n");
    EXPECT_EQ(entries(), (std::vector<std::string>{"dangling", "link", "made", "script",
                                                   "table", "whitelist"}));
}

// What a link leads to is opened by the kernel before any row; when it
// refuses, the run ends with status 1 and nothing is created.
TEST_F(CreateCli, LinkThatCannotBeWrittenThrough)
{
    mkdir((dir + "/sub").c_str(), 0755);
    symlink("sub", (dir + "/to-dir").c_str());
    symlink("no/such/file", (dir + "/to-nowhere").c_str());
    symlink("loop", (dir + "/loop").c_str());
    const struct {
        std::string link, error;
    } CASES[] = {
        {"to-dir", "Is a directory"},
        {"loop", "Too many levels of symbolic links"},
        {"to-nowhere", "No such file or directory"},
    };
    for (const auto &c : CASES) {
        std::string link = dir + "/" + c.link;
        run_result r = run_fake(missing(1, "/usr/bin/a"), {"-c", link});
        EXPECT_EQ(r.status, 1) << c.link;
        EXPECT_EQ(r.out, "") << c.link;
        EXPECT_EQ(r.err, "vrix: cannot create whitelist file '" + link + "': " + c.error + "\n");
    }
    EXPECT_EQ(entries(), (std::vector<std::string>{"loop", "sub", "to-dir", "to-nowhere"}));
}

// /dev/stdout is a link to whatever standard output is: the lines go there,
// and the table moves to standard error, as with "-".
TEST_F(CreateCli, StandardOutputByItsDeviceName)
{
    const std::string script = missing(1, "/usr/bin/a");
    const std::string table = HEADER + "     1      0 miss /usr/bin/a\n";
    char before[PATH_MAX] = "", after[PATH_MAX] = "";
    ASSERT_GT(readlink("/dev/stdout", before, sizeof before - 1), 0);

    run_result r = run_fake(script, {"-c", "/dev/stdout"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "/usr/bin/a\t1\n");
    EXPECT_EQ(r.err, table);

    std::string file = dir + "/out";
    write_file(file, "old contents, longer than the new\n");
    r = run_fake(script, {"-c", "/dev/stdout"}, "", file);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, table);
    EXPECT_EQ(read_file(file), "/usr/bin/a\t1\n");

    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal) | unlockpt(terminal), 0);
    r = run_fake(script, {"-c", "/dev/stdout"}, "", ptsname(terminal));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, table);
    char screen[256];
    ssize_t n = read(terminal, screen, sizeof screen);
    EXPECT_EQ(std::string(screen, n > 0 ? (size_t)n : 0), "/usr/bin/a\t1\r\n");
    close(terminal);

    EXPECT_EQ(readlink("/dev/stdout", after, sizeof after - 1), (ssize_t)strlen(before));
    EXPECT_STREQ(after, before);
}

}  // namespace
