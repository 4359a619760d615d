// Verdicts on real filesystems, each made on a loop device: an untouched
// mapped file gives no row, a deleted one "miss", a replaced one "outd". The
// interesting ones are those where stat() names other devices than
// /proc/PID/maps does: btrfs subvolumes and overlays across filesystems.
// Everything is mounted in a mount namespace of the test's own, which the
// helpers and vrix inherit: nothing shows outside it, and whatever is left
// goes with it.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ostream>

#include "kernel_fixture.h"

namespace {

const char *const UNTOUCHED = "untouched.so", *const DELETED = "deleted.so",
                  *const REPLACED = "replaced.so";

struct tool {
    const char *program;
    const char *package;
};

// The full path of a system program; empty when it is not installed.
std::string tool_path(const std::string &program)
{
    for (const char *dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        std::string path = std::string(dir) + "/" + program;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return "";
}

// Runs a system program; its standard output, or false with a failure that
// shows what it said.
bool run_tool(const std::vector<std::string> &argv, std::string *out = nullptr)
{
    run_result r = run_program(tool_path(argv[0]), argv);
    if (r.status != 0) {
        ADD_FAILURE() << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << ": status "
                      << r.status << "\n" << r.out << r.err;
        return false;
    }
    if (out != nullptr)
        *out = r.out;
    return true;
}

void seed(const std::string &where)
{
    for (const char *name : {UNTOUCHED, DELETED, REPLACED})
        copy_file(VRIX_TESTLIB, where + "/" + name);
}

class Filesystems;

// A filesystem to judge mapped files on: build() mounts it and puts the
// three libraries in it; the directory that holds them, or empty on failure.
struct fs_case {
    const char *name;
    std::vector<tool> tools;
    std::string (*build)(Filesystems &t);
};

void PrintTo(const fs_case &c, std::ostream *os)
{
    *os << c.name;
}

class Filesystems : public Kernel, public ::testing::WithParamInterface<fs_case> {
  public:
    using Kernel::dir;

    void SetUp() override
    {
        Kernel::SetUp();
        std::string missing;
        for (const tool &t : GetParam().tools)
            if (tool_path(t.program).empty())
                missing += std::string(" ") + t.program + " (apt-get install " + t.package + ")";
        if (tool_path("losetup").empty())
            missing += " losetup (apt-get install util-linux)";
        if (access("/dev/loop-control", F_OK) != 0)
            missing += " loop devices (/dev/loop-control)";
        if (!missing.empty() && getenv("CI") != nullptr)
            FAIL() << "missing:" << missing;
        if (!missing.empty())
            GTEST_SKIP() << "missing:" << missing;

        old_cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        old_ns = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(old_ns, 0) << strerror(errno);
        ASSERT_EQ(unshare(CLONE_NEWNS), 0) << strerror(errno);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << strerror(errno);
    }

    void TearDown() override
    {
        Kernel::TearDown();  // helpers killed, mounts detached
        for (const std::string &device : loops)
            run_program(tool_path("losetup"), {"losetup", "-d", device});
        // back to the namespace the test started in, which ends this one
        if (old_ns >= 0 && setns(old_ns, CLONE_NEWNS) != 0)
            ADD_FAILURE() << "setns: " << strerror(errno);
        if (old_cwd >= 0 && fchdir(old_cwd) != 0)
            ADD_FAILURE() << "fchdir: " << strerror(errno);
        if (old_ns >= 0)
            close(old_ns);
        if (old_cwd >= 0)
            close(old_cwd);
    }

    // A sparse image file of size_mb megabytes made into a filesystem by mkfs.
    std::string new_fs(const std::string &name, off_t size_mb, std::vector<std::string> mkfs)
    {
        std::string image = dir + "/" + name + ".img";
        int fd = open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0 || ftruncate(fd, size_mb << 20) != 0) {
            ADD_FAILURE() << image << ": " << strerror(errno);
            return "";
        }
        close(fd);
        mkfs.push_back(image);
        return run_tool(mkfs) ? image : "";
    }

    std::string attach(const std::string &image)
    {
        std::string out;
        if (!run_tool({"losetup", "--find", "--show", image}, &out))
            return "";
        out.erase(out.find_last_not_of('\n') + 1);
        loops.push_back(out);
        return out;
    }

    // Detached while mounted, the device goes as soon as its filesystem does.
    void detach(const std::string &device)
    {
        run_tool({"losetup", "-d", device});
        loops.erase(std::remove(loops.begin(), loops.end(), device), loops.end());
    }

    std::string mount_at(const std::string &name, const std::string &source, const char *type,
                         const std::string &options = "")
    {
        std::string target = dir + "/" + name;
        mkdir(target.c_str(), 0755);
        if (mount(source.c_str(), target.c_str(), type, 0, options.c_str()) != 0) {
            ADD_FAILURE() << "mount -t " << type << " -o '" << options << "' " << source << " "
                          << target << ": " << strerror(errno);
            return "";
        }
        mounts.push_back(target);
        return target;
    }

    std::string mount_image(const std::string &name, const std::string &image, const char *type)
    {
        std::string device = attach(image);
        if (device.empty())
            return "";
        std::string target = mount_at(name, device, type);
        detach(device);
        return target;
    }

    std::string make_fs(const char *type, off_t size_mb, const std::vector<std::string> &mkfs)
    {
        std::string image = new_fs(type, size_mb, mkfs);
        return image.empty() ? "" : mount_image(type, image, type);
    }

    std::string overlay(const std::string &lower, const std::string &upper_fs)
    {
        mkdir((upper_fs + "/upper").c_str(), 0755);
        mkdir((upper_fs + "/work").c_str(), 0755);
        return mount_at("merged", "overlay", "overlay",
                        "lowerdir=" + lower + ",upperdir=" + upper_fs + "/upper,workdir=" + upper_fs +
                            "/work");
    }

    std::vector<std::string> loops;  // attached, not yet detached
    int old_ns = -1, old_cwd = -1;
};

// xfs wants 300 MB at least and btrfs about 114 MB; the images are sparse.
const off_t XFS_MB = 300, BTRFS_MB = 256, EXT4_MB = 64;

std::string ext4(Filesystems &t)
{
    return t.make_fs("ext4", EXT4_MB, {"mkfs.ext4", "-q", "-F"});
}

std::string xfs(Filesystems &t)
{
    return t.make_fs("xfs", XFS_MB, {"mkfs.xfs", "-q", "-f"});
}

std::string btrfs(Filesystems &t)
{
    return t.make_fs("btrfs", BTRFS_MB, {"mkfs.btrfs", "-q", "-f"});
}

std::string with_seed(std::string where)
{
    if (!where.empty())
        seed(where);
    return where;
}

// A subvolume seen through the mount of the top level.
std::string btrfs_subvolume(Filesystems &t)
{
    std::string top = btrfs(t);
    if (top.empty() || !run_tool({"btrfs", "-q", "subvolume", "create", top + "/sub"}))
        return "";
    return with_seed(top + "/sub");
}

// A subvolume mounted by itself, as distributions mount their root.
std::string btrfs_subvolume_mounted(Filesystems &t)
{
    std::string image = t.new_fs("btrfs", BTRFS_MB, {"mkfs.btrfs", "-q", "-f"});
    std::string device = image.empty() ? "" : t.attach(image);
    if (device.empty())
        return "";
    std::string top = t.mount_at("top", device, "btrfs");
    std::string sub;
    if (!top.empty() && run_tool({"btrfs", "-q", "subvolume", "create", top + "/sub"}))
        sub = t.mount_at("sub", device, "btrfs", "subvol=sub");
    t.detach(device);
    return with_seed(sub);
}

// Lower layer on ext4, upper on xfs; the libraries in the layer asked for.
std::string overlay_ext4_xfs(Filesystems &t, bool in_lower)
{
    std::string lower = ext4(t), upper = xfs(t);
    if (lower.empty() || upper.empty())
        return "";
    if (in_lower)
        seed(lower);
    std::string merged = t.overlay(lower, upper);
    return in_lower ? merged : with_seed(merged);
}

// Lower layer a squashfs image, upper a tmpfs, as on a live system.
std::string overlay_squashfs_tmpfs(Filesystems &t, bool in_lower)
{
    std::string tree = t.dir + "/tree", image = t.dir + "/squashfs.img";
    mkdir(tree.c_str(), 0755);
    if (in_lower)
        seed(tree);
    if (!run_tool({"mksquashfs", tree, image, "-noappend", "-no-progress"}))
        return "";
    std::string lower = t.mount_image("squashfs", image, "squashfs");
    std::string upper = t.mount_at("tmpfs", "tmpfs", "tmpfs");
    if (lower.empty() || upper.empty())
        return "";
    std::string merged = t.overlay(lower, upper);
    return in_lower ? merged : with_seed(merged);
}

const tool E2FSPROGS = {"mkfs.ext4", "e2fsprogs"}, XFSPROGS = {"mkfs.xfs", "xfsprogs"},
           MKFS_BTRFS = {"mkfs.btrfs", "btrfs-progs"}, BTRFS = {"btrfs", "btrfs-progs"},
           SQUASHFS_TOOLS = {"mksquashfs", "squashfs-tools"};

const fs_case CASES[] = {
    {"ext4", {E2FSPROGS}, [](Filesystems &t) { return with_seed(ext4(t)); }},
    {"xfs", {XFSPROGS}, [](Filesystems &t) { return with_seed(xfs(t)); }},
    {"btrfs_top_level", {MKFS_BTRFS}, [](Filesystems &t) { return with_seed(btrfs(t)); }},
    {"btrfs_subvolume", {MKFS_BTRFS, BTRFS}, btrfs_subvolume},
    {"btrfs_subvolume_mounted", {MKFS_BTRFS, BTRFS}, btrfs_subvolume_mounted},
    {"overlay_ext4_xfs_files_in_lower", {E2FSPROGS, XFSPROGS},
     [](Filesystems &t) { return overlay_ext4_xfs(t, true); }},
    {"overlay_ext4_xfs_files_in_upper", {E2FSPROGS, XFSPROGS},
     [](Filesystems &t) { return overlay_ext4_xfs(t, false); }},
    {"overlay_squashfs_tmpfs_files_in_lower", {SQUASHFS_TOOLS},
     [](Filesystems &t) { return overlay_squashfs_tmpfs(t, true); }},
    {"overlay_squashfs_tmpfs_files_in_upper", {SQUASHFS_TOOLS},
     [](Filesystems &t) { return overlay_squashfs_tmpfs(t, false); }},
};

std::string verdict(const std::map<pid_t, vrix_row> &rows, pid_t pid)
{
    auto row = rows.find(pid);
    return row == rows.end() ? "no row" : row->second.stat;
}

TEST_P(Filesystems, MappedFilesAreJudgedByTheFileNowAtTheirPath)
{
    std::string where = GetParam().build(*this);
    ASSERT_FALSE(where.empty());
    pid_t untouched = helper({where + "/" + UNTOUCHED}), deleted = helper({where + "/" + DELETED}),
          replaced = helper({where + "/" + REPLACED});
    ASSERT_EQ(unlink((where + "/" + DELETED).c_str()), 0) << strerror(errno);
    replace_file(VRIX_TESTLIB, where + "/" + REPLACED);

    auto rows = vrix_rows();
    EXPECT_EQ(verdict(rows, untouched), "no row");
    EXPECT_EQ(verdict(rows, deleted), "miss");
    EXPECT_EQ(verdict(rows, replaced), "outd");
}

INSTANTIATE_TEST_SUITE_P(Loop, Filesystems, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<fs_case> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
