// Real processes on the real kernel: helpers map private copies of a small
// library, the test deletes or replaces them, and vrix must see exactly that.
// Rows are selected by the helpers' pids: other processes of the machine may
// legitimately appear.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel_fixture.h"
#include "subprocess.h"

namespace {

TEST_F(Kernel, DeletedLibraryIsMissingReplacedOneOutdated)
{
    std::string a = lib("liba.so"), b = lib("libb.so"), c = lib("libc.so");
    pid_t deleted = helper({a}), replaced = helper({b}), untouched = helper({c});
    unlink(a.c_str());
    replace_file(VRIX_TESTLIB, b);

    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(deleted));
    EXPECT_EQ(rows[deleted].stat, "miss");
    EXPECT_EQ(rows[deleted].path, VRIX_MAPPER);
    ASSERT_TRUE(rows.count(replaced));
    EXPECT_EQ(rows[replaced].stat, "outd");
    EXPECT_EQ(rows.count(untouched), 0u);
}

TEST_F(Kernel, ReplacedAndDeletedExecutables)
{
    std::string replaced_prog = dir + "/replaced", deleted_prog = dir + "/deleted";
    copy_file(VRIX_MAPPER, replaced_prog);
    copy_file(VRIX_MAPPER, deleted_prog);
    pid_t replaced = helper({}, replaced_prog), deleted = helper({}, deleted_prog);
    replace_file(VRIX_MAPPER, replaced_prog);
    unlink(deleted_prog.c_str());

    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(replaced));
    EXPECT_EQ(rows[replaced].stat, "outd");
    EXPECT_EQ(rows[replaced].path, replaced_prog);
    ASSERT_TRUE(rows.count(deleted));
    EXPECT_EQ(rows[deleted].stat, "miss");
    EXPECT_EQ(rows[deleted].path, deleted_prog);
}

TEST_F(Kernel, NoFalseAlarms)
{
    std::string shared = lib("shared.so"), marked = lib("lib.so (deleted)");
    pid_t memfd_map = helper({"--memfd"});
    pid_t shared_map = helper({"--unlink", "--shared", shared});
    pid_t memfd_exe = helper({"--reexec-memfd"});
    pid_t live_marked = helper({"--map", marked});

    auto rows = vrix_rows();
    EXPECT_EQ(rows.count(memfd_map), 0u) << "private executable memfd mapping";
    EXPECT_EQ(rows.count(shared_map), 0u) << "shared read+exec mapping of a deleted file";
    EXPECT_EQ(rows.count(memfd_exe), 0u) << "executed from a memfd";
    EXPECT_EQ(rows.count(live_marked), 0u) << "live file named '... (deleted)'";
    EXPECT_EQ(rows.count(2), 0u) << "kernel thread kthreadd";
    for (const auto &row : rows)
        EXPECT_NE(row.second.path, "-") << "pid " << row.first << " has no executable";
}

TEST_F(Kernel, LiveFileNamedDeletedIsMissingOnceDeleted)
{
    std::string marked = lib("lib.so (deleted)");
    pid_t pid = helper({"--map", marked});
    unlink(marked.c_str());
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "miss");
}

TEST_F(Kernel, WhitelistSilencesExactlyTheRecordedCount)
{
    std::string a = lib("liba.so");
    pid_t pid = helper({"--unlink", a});
    std::string whitelist = dir + "/whitelist";
    write_file(whitelist, std::string(VRIX_MAPPER) + "\t1\n");
    EXPECT_EQ(vrix_rows({"-w", whitelist}).count(pid), 0u);

    write_file(whitelist, std::string(VRIX_MAPPER) + "\t2\n");
    auto rows = vrix_rows({"-w", whitelist});
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "miss");
}

// The entry accepts the deleted library, not a new executable since.
TEST_F(Kernel, AcceptedProcessWhoseExecutableIsReplacedIsOutdated)
{
    std::string program = dir + "/program";
    copy_file(VRIX_MAPPER, program);
    pid_t pid = helper({"--unlink", lib("liba.so")}, program);
    std::string whitelist = dir + "/whitelist";
    write_file(whitelist, program + "\t1\n");
    EXPECT_EQ(vrix_rows({"-w", whitelist}).count(pid), 0u);

    replace_file(VRIX_MAPPER, program);
    auto rows = vrix_rows({"-w", whitelist});
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "outd");
}

TEST_F(Kernel, CreatedWhitelistSilencesTheRecordedProcesses)
{
    // each its own executable: only the first line for a path is ever found
    std::string two_exe = dir + "/two";
    copy_file(VRIX_MAPPER, two_exe);
    pid_t one = helper({"--unlink", lib("liba.so")});
    pid_t two = helper({"--unlink", lib("libb.so"), lib("libc.so")}, two_exe);
    pid_t outdated = helper({lib("libd.so")});
    replace_file(VRIX_TESTLIB, dir + "/libd.so");
    std::string whitelist = dir + "/whitelist";
    vrix_rows({"-c", whitelist});
    auto rows = vrix_rows({"-w", whitelist});
    EXPECT_EQ(rows.count(one), 0u);
    EXPECT_EQ(rows.count(two), 0u);
    ASSERT_TRUE(rows.count(outdated));
    EXPECT_EQ(rows[outdated].stat, "outd");

    // the same through standard output and standard input
    run_result created = run_program(VRIX_BIN, {"vrix", "-c", "-"});
    EXPECT_NE(created.out.find(two_exe + "\t2\n"), std::string::npos) << created.out;
    rows = vrix_rows({"-w", "-"}, created.out);
    EXPECT_EQ(rows.count(one), 0u);
    EXPECT_EQ(rows.count(two), 0u);
    EXPECT_EQ(rows.count(outdated), 1u);
}

// A whitelist that does not fit on its filesystem is not put in place: the
// previous one stays. A small tmpfs, mounted in a mount namespace of its own.
TEST_F(Kernel, FullFilesystemKeepsThePreviousWhitelist)
{
    std::string script = dir + "/script";
    std::string procs;
    for (int pid = 1; pid <= 400; pid++)
        procs += "proc\t" + std::to_string(pid) + "\t0\tp\t/" + std::string(100, 'p') +
                 "\nmap\tvnode\tr-x\t1\t/nonexistent/lib.so\n";
    write_file(script, procs);
    std::string mnt = dir + "/mnt";
    mkdir(mnt.c_str(), 0755);
    run_result r = run_program(
        "/usr/bin/unshare",
        {"unshare", "--mount", "sh", "-c",
         "mount -t tmpfs -o size=16k tmpfs \"$1\" && printf 'old\\t1\\n' > \"$1/wl\" && "
         "VRIX_FAKE_SCRIPT=\"$2\" \"$3\" -c \"$1/wl\" > /dev/null; echo \"status $?\"; "
         "cat \"$1/wl\"; ls -A \"$1\"",
         "sh", mnt, script, VRIX_FAKE_BIN});
    EXPECT_EQ(r.out, "status 1\nold\t1\nwl\n");
    EXPECT_EQ(r.err, "vrix: cannot write file '" + mnt + "/wl': No space left on device\n");
}

// In a PID namespace of its own, with its own /proc, only the test's
// processes exist: the whole output and the exit status can be asserted.
run_result vrix_in_pid_namespace(const std::vector<std::string> &mapper_args)
{
    std::vector<std::string> argv{"unshare", "--pid", "--fork", "--mount-proc", VRIX_MAPPER};
    argv.insert(argv.end(), mapper_args.begin(), mapper_args.end());
    argv.insert(argv.end(), {"--run", VRIX_BIN});
    return run_program("/usr/bin/unshare", argv);
}

TEST_F(Kernel, WholeRunInItsOwnPidNamespace)
{
    run_result r = vrix_in_pid_namespace({"--unlink", lib("liba.so"), lib("libb.so")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, std::string("   pid    jid stat command\n"
                                 "     1      0 miss ") + VRIX_MAPPER + "\n");
    EXPECT_EQ(r.err, "");

    r = vrix_in_pid_namespace({lib("libc.so")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// Processes that exit while vrix reads them are passed over, never "err"
// and never "miss": 20 seconds of scans while shells start short-lived
// processes, one of them in a mount namespace of its own like a container's
// health checks, all in a PID namespace of their own so that nothing else
// can show.
TEST_F(Kernel, ShortLivedProcessesNeverGiveErrors)
{
    const std::string script =
        "while :; do /bin/true; done & "
        "unshare --mount sh -c 'while :; do /bin/true; done' & "
        "end=$(($(date +%s) + 20)); scans=0; "
        "while [ $(date +%s) -lt $end ]; do \"$0\" -h || echo \"status $?\"; "
        "scans=$((scans + 1)); done; echo \"scans $scans\"";
    run_result r = run_program("/usr/bin/unshare", {"unshare", "--pid", "--fork", "--mount-proc",
                                                    "sh", "-c", script, VRIX_BIN});
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.rfind("scans ", 0), 0u) << r.out;
    EXPECT_GT(std::stoi(r.out.substr(6)), 1);
}

}  // namespace
