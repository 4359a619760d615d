// -c at a file that no rename can replace: reached through a link, or a
// mount point itself. Such a file is written in place, and a run that fails
// must leave its old contents byte for byte. The mounts are made in a mount
// namespace of this test process's own, which its vrix runs share.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "fake_cli.h"

namespace {

const std::string OLD = "/usr/bin/old\t2\n";

class MountedWhitelist : public FakeFiles {
  protected:
    void SetUp() override
    {
        FakeFiles::SetUp();
        if (geteuid() != 0)
            SKIP_OR_FAIL("needs root, to mount");
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            SKIP_OR_FAIL("cannot make a mount namespace");
        // small: a tmpfs of one page, holding the old whitelist
        small = dir + "/small";
        mkdir(small.c_str(), 0755);
        ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=4k"), 0);
        mounted.push_back(small);
        target = small + "/whitelist";
        write_file(target, OLD);
    }
    void TearDown() override
    {
        for (auto it = mounted.rbegin(); it != mounted.rend(); ++it)
            umount2(it->c_str(), MNT_DETACH);
        FakeFiles::TearDown();
    }

    // The target bind-mounted at dir/name, read-only when asked.
    std::string bind(const std::string &name, bool read_only = false)
    {
        std::string at = dir + "/" + name;
        write_file(at, "");
        EXPECT_EQ(mount(target.c_str(), at.c_str(), nullptr, MS_BIND, nullptr), 0);
        mounted.push_back(at);
        if (read_only) {
            EXPECT_EQ(mount(nullptr, at.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr),
                      0);
        }
        return at;
    }

    static std::string processes(int count)
    {
        std::string s;
        for (int pid = 1; pid <= count; pid++)
            s += "proc\t" + std::to_string(pid) + "\t0\tp\t/usr/bin/" + std::string(60, 'a') +
                 "\nmap\tvnode\tr-x\t1\t/nonexistent/lib.so\n";
        return s;
    }

    ino_t inode() const
    {
        struct stat sb;
        return stat(target.c_str(), &sb) == 0 ? sb.st_ino : 0;
    }

    std::string small, target;
    std::vector<std::string> mounted;
};

// Lines that the tmpfs cannot hold, a run that cannot finish, then one that
// fits: the first two leave the old contents, the last writes the same file.
TEST_F(MountedWhitelist, WrittenInPlaceAndKeptWholeOnFailure)
{
    const std::string link = dir + "/link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string at_mount = bind("bound");
    const ino_t ino = inode();
    const std::string pathless = "proc\t9\t0\tgone\t\npath_error\tENOENT\n";

    for (const std::string &path : {link, at_mount}) {
        SCOPED_TRACE(path);
        write_file(target, OLD);
        run_result r = run_fake(processes(100), {"-h", "-c", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "vrix: cannot write file '" + path + "': No space left on device\n");
        EXPECT_EQ(read_file(target), OLD);

        r = run_fake(processes(1) + pathless, {"-h", "-c", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "vrix: whitelist not created: cannot get process 9 path\n");
        EXPECT_EQ(read_file(target), OLD);

        r = run_fake(processes(2), {"-h", "-c", path});
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "");
        const std::string line = "/usr/bin/" + std::string(60, 'a') + "\t1\n";
        EXPECT_EQ(read_file(target), line + line);
        EXPECT_EQ(inode(), ino);
    }
    struct stat sb;
    ASSERT_EQ(lstat(link.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISLNK(sb.st_mode));
    EXPECT_EQ(read_file(at_mount), read_file(target));
    run_result ls = run_program("/bin/ls", {"ls", "-A", dir, small});
    EXPECT_EQ(ls.out, dir + ":\nbound\nlib.so\nlink\nsmall\n\n" + small + ":\nwhitelist\n");
}

// A read-only mount is refused by the kernel's open, before any row, through
// a link or not.
TEST_F(MountedWhitelist, ReadOnlyMountIsRefusedBeforeAnyRow)
{
    const std::string at_mount = bind("bound", true);
    const std::string link = dir + "/link";
    ASSERT_EQ(symlink(at_mount.c_str(), link.c_str()), 0);
    for (const std::string &path : {at_mount, link}) {
        run_result r = run_fake(processes(1), {"-c", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "vrix: cannot create whitelist file '" + path + "': Read-only file system\n");
        EXPECT_EQ(read_file(target), OLD);
    }
}

}  // namespace
