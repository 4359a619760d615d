// -c and a link planted by another user in a sticky world-writable directory.
// With fs.protected_symlinks=1 the kernel refuses to follow such a link for
// root, as it refuses a shell's "echo > DIR/x"; vrix must meet the same
// refusal and leave what the link names as it was.
//
// The setting is global: this binary sets it for its own tests and restores
// it after each, and ctest runs them with no other test beside them.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <gtest/gtest.h>

#include "fake_cli.h"

namespace {

const char SETTING[] = "/proc/sys/fs/protected_symlinks";
const uid_t NOBODY = 65534;

#define SKIP_OR_FAIL(reason)                 \
    do {                                     \
        if (getenv("CI") != nullptr)         \
            FAIL() << (reason);              \
        GTEST_SKIP() << (reason);            \
    } while (0)

class PlantedLink : public FakeFiles {
  protected:
    void SetUp() override
    {
        FakeFiles::SetUp();
        if (geteuid() != 0)
            SKIP_OR_FAIL("needs root, to plant a link as another user");
        saved = read_file(SETTING);
        if (saved.empty())
            SKIP_OR_FAIL(std::string("cannot read ") + SETTING);
        write_file(SETTING, "1\n");
        if (read_file(SETTING) != "1\n")
            SKIP_OR_FAIL(std::string("cannot set ") + SETTING);
        // The test directory: open to all; secret: root's alone; sticky:
        // world-writable with the sticky bit, as /tmp is.
        chmod(dir.c_str(), 0755);
        secret = dir + "/secret";
        sticky = dir + "/sticky";
        mkdir(secret.c_str(), 0700);
        mkdir(sticky.c_str(), 0755);
        chmod(sticky.c_str(), 01777);
    }
    void TearDown() override
    {
        if (!saved.empty())
            write_file(SETTING, saved);
        FakeFiles::TearDown();
    }

    // A symbolic link at link to target, made by nobody.
    static void plant(const std::string &target, const std::string &link)
    {
        pid_t pid = fork();
        if (pid == 0) {
            int ok = setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0 &&
                     symlink(target.c_str(), link.c_str()) == 0;
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "planting " << link;
    }

    static std::vector<std::string> names(const std::string &path)
    {
        std::vector<std::string> found;
        DIR *d = opendir(path.c_str());
        for (struct dirent *de; d != nullptr && (de = readdir(d)) != nullptr;) {
            if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
                found.push_back(de->d_name);
        }
        if (d != nullptr)
            closedir(d);
        std::sort(found.begin(), found.end());
        return found;
    }

    std::string saved, secret, sticky;
};

// Through an existing file (mode 600 in root's own directory) and through a
// link that leads nowhere yet: refused before any row, nothing written,
// nothing created.
TEST_F(PlantedLink, IsRefusedAndLeavesItsTargetUntouched)
{
    const std::string victim = secret + "/whitelist";
    write_file(victim, "root's own\n");
    chmod(victim.c_str(), 0600);
    struct stat before;
    ASSERT_EQ(stat(victim.c_str(), &before), 0);

    const struct {
        const char *name;
        std::string target;
    } CASES[] = {{"existing", victim}, {"dangling", secret + "/new"}};
    for (const auto &c : CASES) {
        SCOPED_TRACE(c.name);
        const std::string link = sticky + "/" + c.name;
        plant(c.target, link);
        struct stat sb;
        ASSERT_NE(stat(link.c_str(), &sb), 0);
        ASSERT_EQ(errno, EACCES) << "the kernel follows the planted link";

        run_result r = run_fake("proc\t1\t0\tp\t/usr/bin/a\n" + gone, {"-c", link});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "vrix: cannot create whitelist file '" + link + "': Permission denied\n");
        ASSERT_EQ(lstat(link.c_str(), &sb), 0);
        EXPECT_TRUE(S_ISLNK(sb.st_mode));
        EXPECT_EQ(sb.st_uid, NOBODY);
    }

    struct stat after;
    ASSERT_EQ(stat(victim.c_str(), &after), 0);
    EXPECT_EQ(read_file(victim), "root's own\n");
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(names(secret), std::vector<std::string>{"whitelist"});
    EXPECT_EQ(names(sticky), (std::vector<std::string>{"dangling", "existing"}));
}

}  // namespace
