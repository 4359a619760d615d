// -c and what another user planted in a sticky world-writable directory: a
// link (fs.protected_symlinks=1) or a regular file (fs.protected_regular=1).
// The kernel refuses both to root, as it refuses a shell's "echo > DIR/x";
// vrix must meet the same refusal and leave everything as it was.
//
// The settings are global: this binary sets them for its own tests and
// restores them after each, and ctest runs them with no other test beside
// them.
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
#include <functional>
#include <gtest/gtest.h>

#include "fake_cli.h"

namespace {

const uid_t NOBODY = 65534;

class Planted : public FakeFiles {
  protected:
    // setting: the protection under test, set to 1 for the test.
    void protect(const std::string &setting)
    {
        FakeFiles::SetUp();
        if (geteuid() != 0)
            SKIP_OR_FAIL("needs root, to plant a file as another user");
        this->setting = setting;
        saved = read_file(setting);
        if (saved.empty())
            SKIP_OR_FAIL("cannot read " + setting);
        write_file(setting, "1\n");
        if (read_file(setting) != "1\n")
            SKIP_OR_FAIL("cannot set " + setting);
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
            write_file(setting, saved);
        FakeFiles::TearDown();
    }

    // Runs make as nobody, in a child.
    static void as_nobody(const std::string &what, const std::function<bool()> &make)
    {
        pid_t pid = fork();
        if (pid == 0) {
            int ok = setgroups(0, nullptr) == 0 && setgid(NOBODY) == 0 && setuid(NOBODY) == 0 &&
                     make();
            _exit(ok ? 0 : 1);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "planting " << what;
    }

    // A symbolic link at link to target, made by nobody.
    static void plant(const std::string &target, const std::string &link)
    {
        as_nobody(link, [&] { return symlink(target.c_str(), link.c_str()) == 0; });
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

    std::string setting, saved, secret, sticky;
};

class PlantedLink : public Planted {
  protected:
    void SetUp() override { protect("/proc/sys/fs/protected_symlinks"); }
};

class PlantedFile : public Planted {
  protected:
    void SetUp() override { protect("/proc/sys/fs/protected_regular"); }
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

// A file of mode 0666 that nobody planted would, once replaced, stay
// nobody's, who could then add a line that hides a process. The open that
// a shell's ">" makes is refused to root: so is -c, before any row.
TEST_F(PlantedFile, IsRefusedAndStaysAsItWas)
{
    const std::string planted = sticky + "/planted";
    const std::string contents = "/usr/bin/nobody's\t1\n";
    as_nobody(planted, [&] {
        umask(0);
        int fd = open(planted.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        bool ok = fd >= 0 && write(fd, contents.data(), contents.size()) == (ssize_t)contents.size();
        return close(fd) == 0 && ok;
    });
    struct stat before, after;
    ASSERT_EQ(stat(planted.c_str(), &before), 0);
    ASSERT_LT(open(planted.c_str(), O_WRONLY | O_CREAT, 0666), 0) << "the kernel opens it";
    ASSERT_EQ(errno, EACCES);

    run_result r = run_fake("proc\t1\t0\tp\t/usr/bin/a\n" + gone, {"-c", planted});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vrix: cannot create whitelist file '" + planted + "': Permission denied\n");
    ASSERT_EQ(stat(planted.c_str(), &after), 0);
    EXPECT_EQ(read_file(planted), contents);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, NOBODY);
    EXPECT_EQ(after.st_mode & 07777, 0666u);
    EXPECT_EQ(names(sticky), std::vector<std::string>{"planted"});
}

}  // namespace
