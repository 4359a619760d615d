#ifndef VRIX_TEST_KERNEL_FIXTURE_H
#define VRIX_TEST_KERNEL_FIXTURE_H

// Real processes on the real kernel: each test gets a temporary directory,
// and the helpers it started are killed and its mounts detached at its end.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include "helper_process.h"
#include "subprocess.h"

class Kernel : public ::testing::Test {
  protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override
    {
        for (pid_t pid : helpers)
            stop_helper(pid);
        for (auto m = mounts.rbegin(); m != mounts.rend(); ++m)
            umount2(m->c_str(), MNT_DETACH);
        remove_tree(dir);
    }
    // A private copy of the test library.
    std::string lib(const std::string &name)
    {
        std::string path = dir + "/" + name;
        copy_file(VRIX_TESTLIB, path);
        return path;
    }
    pid_t helper(const std::vector<std::string> &args, const std::string &program = VRIX_MAPPER)
    {
        pid_t pid = start_helper(args, program);
        EXPECT_GT(pid, 0) << "helper did not start";
        helpers.push_back(pid);
        return pid;
    }

    // Runs a shell command line with args as $0, $1, ...; its result.
    run_result sh(const std::string &command, const std::vector<std::string> &args = {})
    {
        std::vector<std::string> argv{"sh", "-c", command};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program("/bin/sh", argv);
    }

    std::string dir;
    std::vector<pid_t> helpers;
    std::vector<std::string> mounts;  // detached when the test ends
};

#endif
