// -w end to end on the fake platform: which rows a whitelist cancels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fake_cli.h"
#include "subprocess.h"

namespace {

typedef FakeFiles WhitelistCli;

// An entry accepts the missing mappings it counts, not the rest of the
// process's state.
TEST_F(WhitelistCli, OnlyTheRecordedMissingCountIsCancelled)
{
    const std::string unreadable = "map\tvnode\tr-x\t1\t/dev/null/lib.so\n";
    const std::string script =
        "proc\t1\t0\ta\t/usr/bin/a\n" + gone +                     // miss 1: cancelled
        "proc\t2\t0\tb\t/usr/bin/b\n" + gone + gone +              // miss 2: stays
        "proc\t3\t0\tc\t/usr/bin/c\n" + replaced +                 // outd: stays
        "proc\t4\t0\td\t/usr/bin/d\nmap_error\tEACCES\n" +         // err: stays
        "proc\t5\t0\te\t/usr/bin/e\n" + replaced + gone +          // miss 1 accepted, outd stays
        "proc\t6\t0\tf\t\n" + gone +                               // "-": never looked up
        "proc\t7\t0\tg\t\npath_error\tENOENT\n" +                  // "(g)": never looked up
        "proc\t8\t0\th\t/usr/bin/h\n" + replaced +                 // no miss left: outd
        "proc\t9\t0\ti\t/usr/bin/i\n" + gone + unreadable;        // miss 1 accepted, err stays
    write_file(path, "/usr/bin/a\t1\n/usr/bin/b\t1\n/usr/bin/c\t1\n/usr/bin/d\t1\n"
                     "/usr/bin/e\t1\n-\t1\n\t1\n(g)\t1\n/usr/bin/h\t1\n/usr/bin/i\t1\n");
    run_result r = run_fake(script, {"-w", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, HEADER + "     2      0 miss /usr/bin/b\n"
                              "     3      0 outd /usr/bin/c\n"
                              "     4      0  err /usr/bin/d\n"
                              "     5      0 outd /usr/bin/e\n"
                              "     6      0 miss -\n"
                              "     7      0 miss (g)\n"
                              "     8      0 outd /usr/bin/h\n"
                              "     9      0  err /usr/bin/i\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(WhitelistCli, StandardInputAndEmptyFile)
{
    const std::string script = "proc\t1\t0\ta\t/usr/bin/a\n" + gone;
    run_result r = run_fake(script, {"-w", "-"}, "/usr/bin/a\t1\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");

    write_file(path, "");
    r = run_fake(script, {"-w", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, HEADER + "     1      0 miss /usr/bin/a\n");
}

TEST_F(WhitelistCli, BadWhitelistEndsTheRunBeforeTheScan)
{
    // the process list is never asked for: its failure would show
    const std::string script = "list_error\tEIO\n";
    write_file(path, "/usr/bin/a\t1\n/usr/bin/b 1\n");
    run_result r = run_fake(script, {"-w", path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vrix: cannot read '" + path + "': bad file format\n");

    r = run_fake(script, {"-w", "-"}, "x\t0\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vrix: cannot read '-': bad file format\n");

    r = run_fake(script, {"-w", dir + "/none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vrix: cannot open file '" + dir + "/none': No such file or directory\n");
}

}  // namespace
