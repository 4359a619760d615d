// Where a mapped file's name is looked up: from vrix's root when the kernel
// named the file from there, from the process's namespace root otherwise;
// what the kernel positively knows as its own memory is no file; a file with
// no links is gone. Each scenario runs in a PID namespace of its own, so the
// whole table and the exit status are asserted.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel_fixture.h"
#include "linux_procstat.h"

namespace {

// Sourced by every script: the paths ($V vrix, $M the mapper, $L the test
// library, $D the test's directory, $R a directory in it), and
//   start NAME COMMAND...  runs COMMAND in the background (its output in
//                          $D/NAME.out and .err) until it says ready; its
//                          pid in $pid, and "NAME PID" on stdout
//   copy_with_libs FILE ROOT  FILE and every library it loads, at their
//                          paths under ROOT
//   scan NAME              vrix -h's table, stderr and status into files
const char PRELUDE[] = R"SH(
R=$D/r
start() {
    name=$1; shift
    "$@" > "$D/$name.out" 2> "$D/$name.err" &
    pid=$!
    n=0
    until grep -q '^ready$' "$D/$name.out" 2> /dev/null; do
        n=$((n + 1))
        [ $n -lt 400 ] || { echo "$name did not start" >&2; exit 1; }
        sleep 0.05
    done
    echo "$name $pid"
}
copy_with_libs() {
    for f in "$1" $(ldd "$1" | grep -o '/[^ ]*'); do
        mkdir -p "$2$(dirname "$f")" && cp "$f" "$2$f" || return 1
    done
}
scan() {
    "$V" -h > "$D/$1.table" 2> "$D/$1.err"
    echo $? > "$D/$1.status"
}
)SH";

struct scan_result {
    std::string table;
    std::string err;
    int status;
};

class Frames : public Kernel {
  protected:
    // Runs script in a PID (and so mount) namespace of its own; the pids it
    // named, by name.
    std::map<std::string, pid_t> run(const std::string &script)
    {
        write_file(dir + "/prelude.sh", "V='" + std::string(VRIX_BIN) + "' M='" + VRIX_MAPPER +
                                            "' L='" + VRIX_TESTLIB + "' D='" + dir + "'\n" +
                                            PRELUDE);
        run_result r = run_program("/usr/bin/unshare",
                                   {"unshare", "--pid", "--fork", "--mount-proc", "sh", "-c",
                                    ". \"$0\"; " + script, dir + "/prelude.sh"});
        EXPECT_EQ(r.err, "");
        std::map<std::string, pid_t> pids;
        char name[64];
        int pid;
        for (const char *line = r.out.c_str(); sscanf(line, "%63s %d", name, &pid) == 2;) {
            pids[name] = pid;
            const char *nl = strchr(line, '\n');
            if (nl == nullptr)
                break;
            line = nl + 1;
        }
        return pids;
    }

    scan_result scan(const std::string &name)
    {
        std::string status = read_file(dir + "/" + name + ".status");
        return {read_file(dir + "/" + name + ".table"), read_file(dir + "/" + name + ".err"),
                status.empty() ? -1 : std::stoi(status)};
    }
};

std::string row(pid_t pid, const char *stat, const std::string &path)
{
    char head[32];
    snprintf(head, sizeof head, "%6d %6d %4s ", (int)pid, 0, stat);
    return head + path + "\n";
}

// The first process met in a namespace whose filesystems vrix's namespace
// does not mount is chrooted: its mountinfo lists nothing, which must not
// turn the namespace's files into kernel memory, for it or for a second
// process of the namespace.
TEST_F(Frames, ChrootedFirstProcessOfANamespace)
{
    auto pids = run(R"SH(
        mkdir "$R"
        start chrooted unshare --mount --propagation private sh -c '. "$0"
            mount -t tmpfs tmpfs "$R" && copy_with_libs "$M" "$R/sub" && mkdir "$R/sub/opt" &&
            cp "$L" "$R/sub/opt/gone.so" && cp "$L" "$R/sub/opt/new.so" &&
            exec chroot "$R/sub" "$M" --map /opt/gone.so --map /opt/new.so' "$D/prelude.sh"
        c=$pid
        start joined nsenter -t $c -m "$M" --map "$R/sub/opt/gone.so" --map "$R/sub/opt/new.so"
        nsenter -t $c -m sh -c 'cp "$0" "$1.new" && mv "$1.new" "$1"' "$L" "$R/sub/opt/new.so"
        scan replaced
        nsenter -t $c -m rm "$R/sub/opt/gone.so"
        scan deleted
    )SH");
    std::string chrooted_exe = dir + "/r/sub" + VRIX_MAPPER;
    scan_result replaced = scan("replaced"), deleted = scan("deleted");
    EXPECT_EQ(replaced.table,
              row(pids["chrooted"], "outd", chrooted_exe) + row(pids["joined"], "outd", VRIX_MAPPER));
    EXPECT_EQ(replaced.status, 2);
    EXPECT_EQ(deleted.table,
              row(pids["chrooted"], "miss", chrooted_exe) + row(pids["joined"], "miss", VRIX_MAPPER));
    EXPECT_EQ(deleted.err, "");
}

// A lazily unmounted filesystem is mounted in no namespace: its files are
// still files. The kernel names them from the detached filesystem's own
// root, where nothing stands at our root.
TEST_F(Frames, LazilyUnmountedFilesystems)
{
    auto pids = run(R"SH(
        mkdir "$D/t" "$D/u"
        mount -t tmpfs tmpfs "$D/t" && cp "$L" "$D/t/lib.so"
        start deleted "$M" --map "$D/t/lib.so"
        rm "$D/t/lib.so" && umount -l "$D/t"
        mount -t tmpfs tmpfs "$D/u" && cp "$M" "$D/u/vrix-prog"
        start program "$D/u/vrix-prog"
        umount -l "$D/u" && mount -t tmpfs tmpfs "$D/u" && cp "$M" "$D/u/vrix-prog"
        scan lazy
    )SH");
    scan_result lazy = scan("lazy");
    EXPECT_EQ(lazy.table,
              row(pids["deleted"], "miss", VRIX_MAPPER) + row(pids["program"], "miss", "/vrix-prog"));
    EXPECT_EQ(lazy.status, 2);
}

// A process that mapped a library in a namespace now gone, then joined
// ours: its mapping is through a detached mount, but the very file stands
// at its name, so nothing is to restart; and what was learnt of that
// mapping makes no process of ours, met later, missing.
TEST_F(Frames, MappingThroughAGoneNamespaceMakesNoOtherMissing)
{
    auto pids = run(R"SH(
        mkdir "$D/lib" && cp "$L" "$D/lib/lib.so"
        start gone unshare --mount --propagation private \
            "$M" --map "$D/lib/lib.so" --then-join $$
        start ours "$M" --map "$D/lib/lib.so"
        scan both
    )SH");
    ASSERT_EQ(pids.size(), 2u);
    scan_result both = scan("both");
    EXPECT_EQ(both.table, "");
    EXPECT_EQ(both.status, 0);
}

// The same on file systems whose files maps does not number as stat()
// does (btrfs, an overlay), where maps' own numbers settle nothing: the
// file system is the root of the namespace that vrix and both processes
// share, with the programs they run, so that the gone namespace's copy of
// its mount names the files as our root does.
TEST_F(Frames, MappingThroughAGoneNamespaceOnBtrfsAndAnOverlay)
{
    const char *const roots[][2] = {
        {"btrfs", R"SH(
            truncate -s 256M "$D/btrfs.img" && mkfs.btrfs -q "$D/btrfs.img" > /dev/null &&
            mount -o loop "$D/btrfs.img" "$R" && mkdir "$R/l" && cp "$L" "$R/l/lib.so"
        )SH"},
        {"overlay", R"SH(
            mkdir -p "$D/lower/l" "$D/layers" && cp "$L" "$D/lower/l/lib.so" &&
            mount -t tmpfs tmpfs "$D/layers" && mkdir "$D/layers/upper" "$D/layers/work" &&
            mount -t overlay overlay -o "lowerdir=$D/lower,upperdir=$D/layers/upper,workdir=$D/layers/work" "$R"
        )SH"},
    };
    for (const auto &root : roots) {
        SCOPED_TRACE(root[0]);
        bool missing = root[0] == std::string("btrfs") &&
                       (sh("command -v mkfs.btrfs").status != 0 || access("/dev/loop-control", F_OK) != 0);
        if (missing) {
            const char *ci = getenv("CI");
            if (ci != nullptr && ci[0] != '\0')
                ADD_FAILURE() << "missing: mkfs.btrfs (apt-get install btrfs-progs) or loop devices";
            continue;
        }
        remove_tree(dir + "/r");
        auto pids = run(std::string("mkdir \"$R\"\n") + root[1] + R"SH(
            mkdir -p "$R/usr/bin" "$R/usr/sbin" "$R/usr/lib" "$R/usr/lib64" "$R/old" "$R/proc" "$R/dev"
            for d in bin sbin lib lib64; do [ ! -L /$d ] || cp -P /$d "$R/$d"; done
            for p in "$M" "$V" unshare mount grep sleep; do
                copy_with_libs "$(command -v "$p")" "$R" || exit 1
            done
            mount --rbind /dev "$R/dev"
            unshare --mount --propagation private sh -c '. "$0"
                cd "$R" && pivot_root . old && mount -t proc proc /proc && D=/old$D &&
                start gone unshare --mount --propagation private "$M" --map /l/lib.so \
                    --then-join $$ &&
                start ours "$M" --map /l/lib.so && scan both' "$D/prelude.sh"
        )SH");
        ASSERT_EQ(pids.size(), 2u);
        scan_result both = scan("both");
        EXPECT_EQ(both.table, "");
        EXPECT_EQ(both.err, "");
        EXPECT_EQ(both.status, 0);
    }
}

// A process maps a library, then another file is bound over that name in
// the process's own mount namespace: the process sees the other file at
// the name, whatever ours holds there.
TEST_F(Frames, NameBoundOverInTheProcesssOwnNamespace)
{
    auto pids = run(R"SH(
        cp "$L" "$D/lib.so" && cp "$L" "$D/other.so"
        start bound unshare --mount --propagation private "$M" --map "$D/lib.so"
        nsenter -t $pid -m mount --bind "$D/other.so" "$D/lib.so"
        scan bound
    )SH");
    scan_result bound = scan("bound");
    EXPECT_EQ(bound.table, row(pids["bound"], "outd", VRIX_MAPPER));
    EXPECT_EQ(bound.status, 2);
}

// Root's daemon maps a library in a directory a user may write; an upgrade
// renames a new file over it while a backup link to the old file remains.
// The kernel names the mapping "lib.so (deleted)": a user's symbolic link
// of that name, to the backup, is not the mapped file, nor is the backup
// reached through it.
TEST_F(Frames, UsersLinkAtTheMarkedNameIsNotTheMappedFile)
{
    auto pids = run(R"SH(
        mkdir "$D/w" && chmod 755 "$D" && cp "$L" "$D/w/lib.so"
        start daemon "$M" --map "$D/w/lib.so"
        ln "$D/w/lib.so" "$D/w/lib.so.bak"
        cp "$L" "$D/w/new.so" && mv "$D/w/new.so" "$D/w/lib.so"
        chown 65534:65534 "$D/w"
        setpriv --reuid=65534 --regid=65534 --clear-groups \
            ln -s lib.so.bak "$D/w/lib.so (deleted)"
        scan linked
    )SH");
    scan_result linked = scan("linked");
    EXPECT_EQ(linked.table, row(pids["daemon"], "outd", VRIX_MAPPER));
    EXPECT_EQ(linked.status, 2);
}

// A detached mount's file is reachable by no name: whether or not some
// unrelated file stands at its name from the detached mount's root, here
// or in a container, the process must restart.
TEST_F(Frames, DetachedMountIsMissingWhateverStandsAtItsName)
{
    auto pids = run(R"SH(
        mkdir -p "$D/t" "$R"
        mount -t tmpfs tmpfs "$D/t" && mkdir -p "$D/t$D/x" && cp "$L" "$D/t$D/x/lib.so"
        start ours "$M" --map "$D/t$D/x/lib.so"
        start container unshare --mount --propagation private sh -c '. "$0"
            mount -t tmpfs tmpfs "$R" && copy_with_libs "$M" "$R" &&
            copy_with_libs "$(command -v umount)" "$R" && mkdir -p "$R/old" "$R$D/x" &&
            mkdir "$R/t" && mount -t tmpfs tmpfs "$R/t" && mkdir -p "$R/t$D/x" &&
            cp "$L" "$R/t$D/x/lib.so" && mkdir "$R/proc" && mount -t proc proc "$R/proc" &&
            cd "$R" && pivot_root . old &&
            exec "$M" --map "/t$D/x/lib.so"' "$D/prelude.sh"
        umount -l "$D/t"
        nsenter -t $pid -m umount -l "/t"
        scan nothing
        mkdir -p "$D/x" && cp "$L" "$D/x/lib.so"
        cp "$L" "/proc/$pid/root$D/x/lib.so"
        scan unrelated
    )SH");
    ASSERT_EQ(pids.size(), 2u);
    std::string rows = row(pids["ours"], "miss", VRIX_MAPPER) + row(pids["container"], "miss", VRIX_MAPPER);
    scan_result nothing = scan("nothing"), unrelated = scan("unrelated");
    EXPECT_EQ(nothing.table, rows);
    EXPECT_EQ(unrelated.table, rows);
    EXPECT_EQ(unrelated.err, "");
    EXPECT_EQ(unrelated.status, 2);
}

// The first process of a PID namespace with many groups has a long status:
// the line that says it is the first comes after them.
TEST_F(Frames, JailIdOfAFirstProcessWithManyGroups)
{
    auto pids = run(R"SH(
        cp "$L" "$D/gone.so"
        start outer unshare --pid --fork --kill-child setpriv --groups "$(seq -s , 1 1500)" \
            "$M" --map "$D/gone.so"
        read -r first < /proc/$pid/task/$pid/children
        echo "first $first"
        rm "$D/gone.so"
        scan groups
    )SH");
    ASSERT_EQ(pids.size(), 2u);
    pid_t first = pids["first"];
    char head[32];
    snprintf(head, sizeof head, "%6d %6d miss ", (int)first, (int)first);
    scan_result groups = scan("groups");
    EXPECT_EQ(groups.table, head + std::string(VRIX_MAPPER) + "\n");
    EXPECT_EQ(groups.status, 2);
}

// Files mapped before a process moved into a mount namespace of its own stay
// on our mounts, and the kernel names them from our root, whatever the new
// namespace holds at those paths; a file put at such a path in our
// namespace, where the process's namespace still has the mapped one,
// replaces it.
TEST_F(Frames, FilesMappedBeforeMovingToAnotherNamespace)
{
    auto pids = run(R"SH(
        mkdir "$R" "$D/lib" "$D/lib2" && cp "$L" "$D/lib/lib.so" && cp "$L" "$D/lib2/lib.so"
        start pivoted unshare --mount --fork --propagation private sh -c '. "$0"
            mount -t tmpfs tmpfs "$R" && copy_with_libs "$M" "$R" &&
            copy_with_libs "$(command -v unshare)" "$R" && mkdir "$R/old" &&
            cd "$R" && pivot_root . old && exec "$M"' "$D/prelude.sh"
        start covered "$M" --map "$D/lib/lib.so" --then-mount-ns \
            "mount -t tmpfs tmpfs '$D/lib' && cp '$L' '$D/lib/lib.so'"
        start left "$M" --map "$D/lib2/lib.so" --then-mount-ns true
        scan moved
        mount -t tmpfs tmpfs "$D/lib2" && cp "$L" "$D/lib2/lib.so"
        scan covered_here
    )SH");
    ASSERT_EQ(pids.size(), 3u);
    scan_result moved = scan("moved");
    EXPECT_EQ(moved.table, "");
    EXPECT_EQ(moved.err, "");
    EXPECT_EQ(moved.status, 0);
    EXPECT_EQ(scan("covered_here").table, row(pids["left"], "outd", VRIX_MAPPER));
}

// The source of a file bind-mounted into a namespace is deleted (a host
// upgrade under a container): the name in the namespace still leads to the
// mapped file, which has no link left.
TEST_F(Frames, BindMountedFileDeletedAtItsSourceIsMissing)
{
    auto pids = run(R"SH(
        cp "$L" "$D/src.so" && cp "$L" "$D/dst.so"
        start bound unshare --mount --propagation private sh -c \
            'mount --bind "$0" "$1" && exec "$2" --map "$1"' "$D/src.so" "$D/dst.so" "$M"
        cp "$L" "$D/src.so.new" && mv "$D/src.so.new" "$D/src.so"
        scan unlinked
    )SH");
    scan_result unlinked = scan("unlinked");
    EXPECT_EQ(unlinked.table, row(pids["bound"], "miss", VRIX_MAPPER));
    EXPECT_EQ(unlinked.status, 2);
}

// A link met on the way resolves inside the container's root, as the
// container's processes would resolve it.
TEST_F(Frames, DirectoryReplacedByALinkInsideAContainer)
{
    auto pids = run(R"SH(
        mkdir "$R"
        start container unshare --mount --propagation private sh -c '. "$0"
            mount -t tmpfs tmpfs "$R" && copy_with_libs "$M" "$R" &&
            mkdir -p "$R/opt/l" "$R/opt/l2" "$R/old" && cp "$L" "$R/opt/l/lib.so" &&
            cd "$R" && pivot_root . old && exec "$M" --map /opt/l/lib.so' "$D/prelude.sh"
        root=/proc/$pid/root
        cp "$L" $root/opt/l2/lib.so && rm -r $root/opt/l && ln -s /opt/l2 $root/opt/l
        scan linked
    )SH");
    scan_result linked = scan("linked");
    EXPECT_EQ(linked.table, row(pids["container"], "outd", VRIX_MAPPER));
    EXPECT_EQ(linked.status, 2);
}

std::string mount_ns_of(pid_t pid)
{
    char link[64] = "";
    ssize_t n = readlink(("/proc/" + std::to_string(pid) + "/ns/mnt").c_str(), link, sizeof link - 1);
    return n > 0 ? std::string(link, (size_t)n) : "";
}

// The kernel hands a freed namespace's number to the next new one. A
// namespace met during a scan keeps its number to the end: a new namespace
// seen later is learnt as itself, and its names lead to its own files.
TEST_F(Frames, NamespaceNumberIsNotReusedWithinAScan)
{
    std::string mnt = dir + "/mnt";
    mkdir(mnt.c_str(), 0755);
    const std::vector<std::string> args{
        "--mount", "--propagation", "private", "sh", "-c",
        "mount -t tmpfs tmpfs \"$0\" && cp \"$1\" \"$0/lib.so\" && exec \"$2\" --map \"$0/lib.so\"",
        mnt, VRIX_TESTLIB, VRIX_MAPPER};
    struct procstat *ps = procstat_open_sysctl();
    std::vector<std::string> names;
    for (int round = 0; round < 2; round++) {
        pid_t pid = helper(args, "/usr/bin/unshare");
        names.push_back(mount_ns_of(pid));
        struct kinfo_proc kp;
        memset(&kp, 0, sizeof kp);
        kp.ki_pid = pid;
        unsigned int count = 0;
        struct kinfo_vmentry *map = procstat_getvmmap(ps, &kp, &count);
        ASSERT_NE(map, nullptr);
        int found = 0;
        for (unsigned int i = 0; i < count; i++) {
            std::string path = map[i].kve_path;
            if (path.size() < 7 || path.compare(path.size() - 7, 7, "/lib.so") != 0)
                continue;
            struct stat sb;
            ASSERT_EQ(rooted_stat(map[i].kve_path, &sb), 0) << path;
            EXPECT_EQ(sb.st_dev, map[i].kve_vn_fsid) << "round " << round;
            EXPECT_EQ(sb.st_ino, map[i].kve_vn_fileid) << "round " << round;
            found++;
        }
        EXPECT_EQ(found, 1);
        procstat_freevmmap(ps, map);
        stop_helper(pid);
    }
    procstat_close(ps);
    EXPECT_NE(names[0], names[1]);
}

}  // namespace
