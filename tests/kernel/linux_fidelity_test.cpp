// Linux as it really is: mount namespaces, chroots, bind mounts, overlays,
// threads, PID namespaces, odd names and unprivileged runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "kernel_fixture.h"

namespace {

const std::string NOBODY_ARGS = "--reuid=65534 --regid=65534 --clear-groups";

// setpriv's arguments (argv[0] not included) to run command as nobody.
std::vector<std::string> as_nobody(const std::vector<std::string> &command)
{
    std::vector<std::string> argv{"--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

// The first child of a process, as the kernel lists it.
pid_t first_child(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    pid_t child = 0;
    in >> child;
    return child;
}

char process_state(pid_t pid)
{
    std::string text = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() ? '?' : text[paren + 2];
}

TEST_F(Kernel, OtherMountNamespaceIsJudgedByItsOwnFiles)
{
    std::string path = lib("lib.so"), other = lib("other.so");
    pid_t pid = helper({"--mount", "--propagation", "private", "sh", "-c",
                        "mount --bind \"$0\" \"$1\" && exec \"$2\" \"$1\"", other, path, VRIX_MAPPER},
                       "/usr/bin/unshare");
    EXPECT_EQ(vrix_rows().count(pid), 0u) << "judged against the host's file at that path";

    // inside its namespace, the path now leads to another file (a mount over
    // it; one lazily unmounted instead would leave the file no name at all)
    std::string third = lib("third.so");
    EXPECT_EQ(sh("nsenter -t \"$0\" -m mount --bind \"$2\" \"$1\"", {std::to_string(pid), path, third})
                  .status,
              0);
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "outd");
}

// A root of its own on a tmpfs that only its mount namespace sees, holding
// copies of the program, its loader and libraries at the host's paths.
TEST_F(Kernel, ChrootInAnotherMountNamespace)
{
    std::string root = dir + "/root";
    mkdir(root.c_str(), 0755);
    const std::string setup =
        "mount -t tmpfs tmpfs \"$0\" && cp \"$1\" \"$0/mapper\" && mkdir -p \"$0/opt\" && "
        "cp \"$2\" \"$0/opt/lib.so\" && "
        "for f in $(ldd \"$1\" | grep -o '/[^ ]*'); do mkdir -p \"$0$(dirname $f)\"; cp \"$f\" \"$0$f\"; done && "
        "exec chroot \"$0\" /mapper --map /opt/lib.so";
    pid_t pid = helper({"--mount", "--propagation", "private", "sh", "-c", setup, root, VRIX_MAPPER,
                        VRIX_TESTLIB},
                       "/usr/bin/unshare");
    auto rows = vrix_rows();
    EXPECT_EQ(rows.count(pid), 0u) << rows[pid].stat << " " << rows[pid].path;

    EXPECT_EQ(sh("nsenter -t \"$0\" -m rm \"$1/opt/lib.so\"", {std::to_string(pid), root}).status, 0);
    rows = vrix_rows();
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "miss");
    EXPECT_EQ(rows[pid].path, root + "/mapper");
}

TEST_F(Kernel, BindMountOverTheMappedPathIsOutdated)
{
    std::string path = lib("lib.so"), other = lib("other.so");
    pid_t pid = helper({path});
    ASSERT_EQ(mount(other.c_str(), path.c_str(), nullptr, MS_BIND, nullptr), 0);
    mounts.push_back(path);
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "outd");
}

TEST_F(Kernel, OverlayReplacementIsOutdated)
{
    for (const char *d : {"/lower", "/upper", "/work", "/merged"})
        mkdir((dir + d).c_str(), 0755);
    copy_file(VRIX_TESTLIB, dir + "/lower/a.so");
    copy_file(VRIX_TESTLIB, dir + "/lower/b.so");
    std::string options = "lowerdir=" + dir + "/lower,upperdir=" + dir + "/upper,workdir=" + dir + "/work";
    ASSERT_EQ(mount("overlay", (dir + "/merged").c_str(), "overlay", 0, options.c_str()), 0);
    mounts.push_back(dir + "/merged");

    pid_t replaced = helper({dir + "/merged/a.so"}), untouched = helper({dir + "/merged/b.so"});
    replace_file(VRIX_TESTLIB, dir + "/merged/a.so");
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(replaced));
    EXPECT_EQ(rows[replaced].stat, "outd");
    EXPECT_EQ(rows.count(untouched), 0u);
}

TEST_F(Kernel, ProcessWhoseMainThreadExitedIsSeenThroughAnother)
{
    std::string path = lib("lib.so");
    pid_t pid = helper({"--exit-leader", path});
    for (int i = 0; i < 200 && process_state(pid) != 'Z'; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(process_state(pid), 'Z');
    unlink(path.c_str());
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "miss");
    EXPECT_EQ(rows[pid].path, VRIX_MAPPER);
}

// Seen through another thread, the mapped file is still known by its own
// identity: on an overlay across two filesystems maps' numbers are not
// stat()'s, and an untouched file must give no row.
TEST_F(Kernel, ProcessWhoseMainThreadExitedIsJudgedByItsMappedFiles)
{
    for (const char *d : {"/lower", "/upper-fs", "/merged"})
        mkdir((dir + d).c_str(), 0755);
    copy_file(VRIX_TESTLIB, dir + "/lower/lib.so");
    ASSERT_EQ(mount("tmpfs", (dir + "/upper-fs").c_str(), "tmpfs", 0, nullptr), 0);
    mounts.push_back(dir + "/upper-fs");
    mkdir((dir + "/upper-fs/upper").c_str(), 0755);
    mkdir((dir + "/upper-fs/work").c_str(), 0755);
    std::string options = "lowerdir=" + dir + "/lower,upperdir=" + dir + "/upper-fs/upper,workdir=" +
                          dir + "/upper-fs/work";
    ASSERT_EQ(mount("overlay", (dir + "/merged").c_str(), "overlay", 0, options.c_str()), 0);
    mounts.push_back(dir + "/merged");

    pid_t pid = helper({"--exit-leader", dir + "/merged/lib.so"});
    for (int i = 0; i < 200 && process_state(pid) != 'Z'; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(process_state(pid), 'Z');
    auto rows = vrix_rows();
    EXPECT_EQ(rows.count(pid), 0u) << rows[pid].stat;
}

TEST_F(Kernel, JailIdIsTheFirstProcessOfAnotherPidNamespace)
{
    std::string path = lib("lib.so");
    pid_t unshare = helper({"--pid", "--fork", "sh", "-c", "\"$0\" --unlink \"$1\"; true",
                            VRIX_MAPPER, path},
                           "/usr/bin/unshare");
    pid_t init = first_child(unshare), mapper = first_child(init);
    ASSERT_GT(mapper, 0);
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(mapper));
    EXPECT_EQ(rows[mapper].stat, "miss");
    EXPECT_EQ(rows[mapper].jid, (unsigned)init);

    pid_t own = helper({"--unlink", lib("own.so")});
    EXPECT_EQ(vrix_rows()[own].jid, 0u);
}

TEST_F(Kernel, OddNamesAreJudgedRightAndPrintedEscaped)
{
    const std::vector<std::string> names = {"sp ace.so", "t\tab.so", "new\nline.so", "back\\slash.so",
                                            "\xc3\xa9t\xc3\xa9.so", "lit\\012eral.so"};
    std::vector<pid_t> pids;
    for (const std::string &name : names)
        pids.push_back(helper({"--map", lib(name)}));
    auto rows = vrix_rows();
    for (size_t i = 0; i < names.size(); i++)
        EXPECT_EQ(rows.count(pids[i]), 0u) << "false alarm for '" << names[i] << "'";

    for (const std::string &name : names)
        unlink((dir + "/" + name).c_str());
    rows = vrix_rows();
    for (size_t i = 0; i < names.size(); i++)
        EXPECT_EQ(rows[pids[i]].stat, "miss") << names[i];

    std::string odd_exe = dir + "/run\tme\n\033[1m";
    copy_file(VRIX_MAPPER, odd_exe);
    pid_t pid = helper({}, odd_exe);
    replace_file(VRIX_MAPPER, odd_exe);
    rows = vrix_rows();
    EXPECT_EQ(rows[pid].stat, "outd");
    EXPECT_EQ(rows[pid].path, dir + "/run\\011me\\012\\033[1m");
}

TEST_F(Kernel, ExecutablePathTooLongIsAnError)
{
    std::string deep = dir;
    for (int i = 0; i < 5; i++) {
        deep += "/" + std::string(200, 'd');
        mkdir(deep.c_str(), 0755);
    }
    std::string exe = deep + "/prog";
    copy_file(VRIX_MAPPER, exe);
    pid_t pid = helper({}, exe);
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "err");
    EXPECT_EQ(rows[pid].path, "(prog)");
}

// A mapped file whose path does not fit the record is an error of that
// mapping, never a cut path that might name another file.
TEST_F(Kernel, MappedPathTooLongIsAnError)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    const std::string component(250, 'm');
    for (int depth = 0; depth < 18; depth++) {
        mkdirat(fd, component.c_str(), 0755);
        int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
    }
    int lib_fd = openat(fd, "lib.so", O_WRONLY | O_CREAT, 0755);
    std::string bytes = read_file(VRIX_TESTLIB);
    ASSERT_EQ(write(lib_fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(lib_fd);
    lib_fd = openat(fd, "lib.so", O_RDONLY);  // inherited by the helper
    close(fd);
    pid_t pid = helper({"--map", "/proc/self/fd/" + std::to_string(lib_fd)});
    close(lib_fd);
    auto rows = vrix_rows();
    ASSERT_TRUE(rows.count(pid));
    EXPECT_EQ(rows[pid].stat, "err");
}

TEST_F(Kernel, UnprivilegedRunSeesItsOwnProcesses)
{
    chmod(dir.c_str(), 0777);
    std::string path = lib("lib.so");
    pid_t own = helper(as_nobody({VRIX_MAPPER, "--unlink", path}), "/usr/bin/setpriv");
    pid_t root_owned = helper({"--unlink", lib("root.so")});
    // kernel memory is told by the devices of vrix's own probes in its maps
    pid_t own_memfd = helper(as_nobody({VRIX_MAPPER, "--memfd"}), "/usr/bin/setpriv");

    std::vector<std::string> argv{"setpriv"};
    for (const std::string &arg : as_nobody({VRIX_BIN, "-h"}))
        argv.push_back(arg);
    run_result r = run_program("/usr/bin/setpriv", argv);
    auto rows = parse_rows(r.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    ASSERT_TRUE(rows.count(own));
    EXPECT_EQ(rows[own].stat, "miss");
    ASSERT_TRUE(rows.count(root_owned));
    EXPECT_EQ(rows[root_owned].stat, "err") << r.out;
    EXPECT_EQ(rows.count(own_memfd), 0u) << rows[own_memfd].stat;

    // with hidepid, other users' processes are not even listed
    r = run_program("/usr/bin/unshare", {"unshare", "--mount", "--propagation", "private", "sh", "-c",
                                         "mount -t proc -o hidepid=invisible proc /proc && exec setpriv " +
                                             NOBODY_ARGS + " \"$0\" -h",
                                         VRIX_BIN});
    rows = parse_rows(r.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(rows.count(root_owned), 0u);
    EXPECT_EQ(rows[own].stat, "miss");
    EXPECT_EQ(r.status, 2);
}

// Kernel memory is named like a file ("/anon_hugepage (deleted)") on the
// kernel's own huge page mount: it is never a file on disk, with root or
// without.
TEST_F(Kernel, ExecutableHugePagesAreNotFiles)
{
    const std::string knob = "/proc/sys/vm/nr_hugepages";
    std::string before = read_file(knob);
    write_file(knob, "2\n");
    if (std::stoi(read_file(knob)) < 1) {
        write_file(knob, before);
        GTEST_SKIP() << "no huge page could be reserved";
    }
    pid_t pid = helper({"--hugetlb"});
    pid_t own = helper(as_nobody({VRIX_MAPPER, "--hugetlb"}), "/usr/bin/setpriv");
    auto rows = vrix_rows();
    // without root, maps' numbers, which are not stat()'s for huge pages
    std::vector<std::string> argv{"setpriv"};
    for (const std::string &arg : as_nobody({VRIX_BIN, "-h"}))
        argv.push_back(arg);
    auto own_rows = parse_rows(run_program("/usr/bin/setpriv", argv).out);
    for (pid_t helper_pid : helpers)
        stop_helper(helper_pid);
    helpers.clear();
    write_file(knob, before);
    EXPECT_EQ(rows.count(pid), 0u) << rows[pid].stat << " " << rows[pid].path;
    EXPECT_EQ(own_rows.count(own), 0u) << own_rows[own].stat << " " << own_rows[own].path;
}

// Only a process that is gone is passed over: with no file descriptor left
// to read the others, the run says so instead of reporting nothing.
TEST_F(Kernel, NoFileDescriptorLeftIsAnErrorNotSilence)
{
    pid_t pid = helper({"--unlink", lib("lib.so")});
    // whatever the test runner left open is closed first: vrix gets two
    // descriptors of its own, enough to list the processes but not to read them
    const std::string close_and_run =
        "for fd in /proc/$$/fd/*; do n=${fd##*/}; [ \"$n\" -gt 2 ] && eval \"exec $n>&-\"; done; "
        "ulimit -n 5 && exec \"$0\" -h";
    run_result r = run_program("/bin/bash", {"bash", "-c", close_and_run, VRIX_BIN});
    auto rows = parse_rows(r.out);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    ASSERT_TRUE(rows.count(pid)) << r.out;
    EXPECT_EQ(rows[pid].stat, "err");
}

}  // namespace
