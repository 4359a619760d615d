// The whole program run as a subprocess: on the fake platform for scripted
// process tables, and the real binary where no table is needed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fake_cli.h"
#include "subprocess.h"

namespace {

const std::string USAGE =
    "Lists processes running with outdated binaries or shared libraries\n"
    "usage: vrix [ options ]\n"
    "where options are:\n"
    " -c path   create whitelist from system state\n"
    " -w path   use existing whitelist\n"
    " -h        omit table header\n"
    "\n"
    "exit codes:\n"
    " 0  no processes need restarting\n"
    " 1  an error occured\n"
    " 2  one or more processes need restarting\n";

struct expected_run {
    const char *name;
    std::vector<std::string> args;
    std::string script;
    int status;
    std::string out;
    std::string err;
};

void expect_runs(const std::vector<expected_run> &cases)
{
    for (const expected_run &c : cases) {
        run_result r = run_fake(c.script, c.args);
        EXPECT_EQ(r.status, c.status) << c.name;
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(r.err, c.err) << c.name;
    }
}

TEST(Cli, OptionsAndStartUpChecks)
{
    const std::string one_missing = "proc\t7\t0\tsh\t/bin/sh\nmap\tvnode\tr-x\t1\t/nonexistent/lib.so\n";
    const std::string missing_row = HEADER + "     7      0 miss /bin/sh\n";
    expect_runs({
        {"unknown option", {"-x"}, "", 64, "", "vrix: invalid option -- 'x'\n" + USAGE},
        {"-c without argument", {"-c"}, "", 64, "",
         "vrix: option requires an argument -- 'c'\n" + USAGE},
        {"unknown option hides a conflict before it", {"-c", "a", "-w", "b", "-x"}, "", 64, "",
         "vrix: invalid option -- 'x'\n" + USAGE},
        {"-c with -w", {"-c", "a", "-w", "b"}, "", 1, "",
         "vrix: -c and -w cannot be applied simultaneously\n"},
        {"-w with -c, in a jail", {"-wb", "-ca"}, "jail\t1\n", 1, "",
         "vrix: -c and -w cannot be applied simultaneously\n"},
        {"in a jail", {}, "jail\t1\n" + one_missing, 1, "", "vrix does not currently work in a jail\n"},
        {"outside a jail", {}, "jail\t0\n" + one_missing, 2, missing_row, ""},
        {"jail setting unreadable", {}, "jail_error\tENOENT\n" + one_missing, 2, missing_row, ""},
        {"operand stops the options", {"word", "-h"}, one_missing, 2, missing_row, ""},
        {"-h omits the header", {"-h"}, one_missing, 2, "     7      0 miss /bin/sh\n", ""},
        {"-h with nothing to report", {"-h"}, "proc\t7\t0\tsh\t/bin/sh\n", 0, "", ""},
        {"no handle", {}, "open_error\tEIO\n", 1, "", "vrix: procstat_open()\n"},
        {"no process list", {}, "list_error\tENOMEM\n", 1, "", "vrix: procstat_getprocs()\n"},
    });
}

TEST(Cli, RealBinaryUsageAndConflict)
{
    run_result r = run_program(VRIX_BIN, {"vrix", "-q"});
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vrix: invalid option -- 'q'\n" + USAGE);

    r = run_program(VRIX_BIN, {"vrix", "-w", "x", "-c", "y"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vrix: -c and -w cannot be applied simultaneously\n");
}

typedef FakeFiles CliTable;

TEST_F(CliTable, RowsLabelsAndExitStatus)
{
    const std::string quiet = "proc\t1\t0\tinit\t/sbin/init\n" + current;
    const std::string outdated = "proc\t20\t3\tsshd\t/usr/sbin/sshd\n" + current + replaced;
    const std::string missing = "proc\t300\t0\tcron\t/usr/sbin/cron\n" + gone + replaced;
    const std::string unreadable = "proc\t4000\t0\tx\t/usr/bin/x\nmap_error\tEACCES\n";
    expect_runs({
        {"nothing to report", {}, quiet, 0, "", ""},
        {"rows in list order", {}, quiet + outdated + missing, 2,
         HEADER + "    20      3 outd /usr/sbin/sshd\n"
                  "   300      0 miss /usr/sbin/cron\n",
         ""},
        {"an error verdict wins over rows", {}, missing + unreadable + outdated, 1,
         HEADER + "   300      0 miss /usr/sbin/cron\n"
                  "  4000      0  err /usr/bin/x\n"
                  "    20      3 outd /usr/sbin/sshd\n",
         ""},
    });
}

TEST_F(CliTable, ExecutablePathFailures)
{
    expect_runs({
        {"path gone: command name, miss", {}, "proc\t5\t0\tdaemon\t\npath_error\tENOENT\n", 2,
         HEADER + "     5      0 miss (daemon)\n", ""},
        {"path not permitted: command name, err", {}, "proc\t5\t0\tdaemon\t\npath_error\tEACCES\n",
         1, HEADER + "     5      0  err (daemon)\n", ""},
        {"empty path shown as -", {}, "proc\t6\t0\tk\t\n" + gone, 2, HEADER + "     6      0 miss -\n",
         ""},
        {"exited before its path was read", {}, "proc\t5\t0\td\t\npath_error\tESRCH\n", 0, "", ""},
        {"exited before its map was read", {}, "proc\t5\t0\td\t/bin/d\nmap_error\tESRCH\n", 0, "", ""},
    });
}

TEST_F(CliTable, ControlBytesInPathsAreEscaped)
{
    expect_runs({
        {"escape sequence and newline", {},
         "proc\t8\t0\tx\t/tmp/a\\033[2J\\nb\\177 c\\t\n" + gone, 2,
         HEADER + "     8      0 miss /tmp/a\\033[2J\\012b\\177 c\\011\n", ""},
        {"command name too", {}, "proc\t9\t0\ta\\033b\t\npath_error\tENOENT\n", 2,
         HEADER + "     9      0 miss (a\\033b)\n", ""},
        // 8-bit CSI, alone and as U+009B in UTF-8; c4 9b is the letter e-caron
        {"C1 controls, not UTF-8 letters", {},
         "proc\t8\t0\tx\t/tmp/a\\233b\\302\\233c\\304\\233d\n" + gone, 2,
         HEADER + "     8      0 miss /tmp/a\\233b\\302\\233c\xc4\x9b" "d\n", ""},
        {"the ends of the C1 range, and bytes of no character", {},
         "proc\t8\t0\tx\t/\\302\\200\\302\\237\\302\\240\\200\\240\\340\\200\\200\\342\\202\\254\n" + gone,
         2,
         HEADER + "     8      0 miss /\\302\\200\\302\\237\xc2\xa0\\200\xa0\xe0\\200\\200\xe2\x82\xac\n",
         ""},
        // a name that holds the text \012 and one that holds a newline
        {"a backslash is escaped too", {}, "proc\t8\t0\tx\t/tmp/bs\\\\012lit\n" + gone, 2,
         HEADER + "     8      0 miss /tmp/bs\\134012lit\n", ""},
        {"a newline beside it", {}, "proc\t8\t0\tx\t/tmp/bs\\nlit\n" + gone, 2,
         HEADER + "     8      0 miss /tmp/bs\\012lit\n", ""},
    });
}

}  // namespace
