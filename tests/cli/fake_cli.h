#ifndef VRIX_TEST_FAKE_CLI_H
#define VRIX_TEST_FAKE_CLI_H

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "subprocess.h"

// What a test cannot do here (no root, no mount namespace) skips it, but
// fails it under CI, where it must run.
#define SKIP_OR_FAIL(reason)                 \
    do {                                     \
        if (getenv("CI") != nullptr)         \
            FAIL() << (reason);              \
        GTEST_SKIP() << (reason);            \
    } while (0)

const std::string HEADER = "   pid    jid stat command\n";

// A temporary directory with a library, and the script lines that map it as
// it is now (current), as a file since replaced (replaced), or a file that
// is gone (gone); path names a whitelist in the directory.
class FakeFiles : public ::testing::Test {
  protected:
    void SetUp() override
    {
        dir = make_temp_dir();
        lib = dir + "/lib.so";
        path = dir + "/whitelist";
        write_file(lib, "x");
        struct stat sb;
        stat(lib.c_str(), &sb);
        current = "map\tvnode\tr-x\t1\t" + lib + "\n";
        replaced = "map\tvnode\tr-x\t1\t" + lib + "\t" + std::to_string(sb.st_dev) + "\t" +
                   std::to_string(sb.st_ino + 1) + "\n";
        gone = "map\tvnode\tr-x\t1\t" + dir + "/gone.so\n";
    }
    void TearDown() override { remove_tree(dir); }

    std::string dir, lib, path, current, replaced, gone;
};

// Runs vrix on the fake platform with the given script, as "vrix ARGS...".
// env adds variables ("NAME=value") for the fake itself.
run_result run_fake(const std::string &script, const std::vector<std::string> &args,
                    const std::string &input = "", const std::string &stdout_path = "",
                    const std::vector<std::string> &env = {});

#endif
