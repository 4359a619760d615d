# Sourced by the machine's init. Each scenario maps three files from three
# helper processes, then deletes one and replaces another by renaming a new
# file over its path, as package managers do; vrix -h must then show no row
# for the untouched file's process, "miss" for the deleted one's and "outd"
# for the replaced one's.

passed=0
failed=0

pass() { passed=$((passed + 1)); echo "VRIX PASS $*"; }
fail() { failed=$((failed + 1)); echo "VRIX FAIL $*"; }

make_files() {
    for name in untouched deleted replaced; do
        echo "$name" > "$1/$name" || return 1
    done
}

# check_row NAME PID WANT: the stat column of PID's row in $table, or none.
check_row() {
    got=$(echo "$table" | awk -v pid="$2" '$1 == pid { print $3 }')
    if [ "$got" = "$3" ]; then
        pass "$1: ${3:-no row}"
    else
        fail "$1: got ${got:-no row}, want ${3:-no row}"
    fi
}

# scenario NAME DIR [ROOT [COMMAND]]: the files are in DIR; with ROOT, the
# helpers live in a mount namespace of their own, chrooted into ROOT; COMMAND
# runs once the files are changed, before vrix.
scenario() {
    name=$1 dir=$2 inner=$2 root_opt=""
    if [ -n "$3" ]; then
        inner=${dir#"$3"}
        root_opt="-r $3"
    fi
    u=$(vrix-vm-helper $root_opt "$inner/untouched") &&
        d=$(vrix-vm-helper $root_opt "$inner/deleted") &&
        r=$(vrix-vm-helper $root_opt "$inner/replaced") || {
        fail "$name: the helpers did not start"
        return
    }
    rm "$dir/deleted"
    echo new > "$dir/replaced.new" && mv "$dir/replaced.new" "$dir/replaced"
    if [ -n "${4:-}" ] && ! eval "$4"; then
        fail "$name: $4 failed"
    fi

    table=$(vrix -h 2> /tmp/stderr)
    status=$?
    failed_before=$failed
    check_row "$name untouched" "$u" ""
    check_row "$name deleted" "$d" miss
    check_row "$name replaced" "$r" outd
    if [ "$status" = 2 ]; then
        pass "$name: exit status 2"
    else
        fail "$name: exit status $status, want 2"
    fi
    if [ "$failed" != "$failed_before" ]; then
        echo "VRIX | helpers: untouched $u, deleted $d, replaced $r; vrix -h said:"
        echo "$table" | sed 's/^/VRIX | /'
        sed 's/^/VRIX | stderr: /' /tmp/stderr
        for pid in "$u" "$d" "$r"; do
            awk -v pid="$pid" '$5 != 0 && $6 !~ /vrix-vm-helper/ { print "VRIX | " pid " maps: " $0 }' "/proc/$pid/maps"
        done
        stat -c "VRIX | stat: %n dev %D ino %i" "$dir"/*
    fi
    # A helper gone before vrix ran would make "no row" pass for nothing.
    kill "$u" "$d" "$r" || fail "$name: a helper had exited"
}

# new_tmpfs DIR: a fresh tmpfs mounted at DIR.
new_tmpfs() {
    mkdir -p "$1" && mount -t tmpfs tmpfs "$1"
}

# overlay LOWER UPPER_FS MERGED: upper and work directories in UPPER_FS.
overlay() {
    mkdir -p "$2/upper" "$2/work" "$3" &&
        mount -t overlay overlay -o "lowerdir=$1,upperdir=$2/upper,workdir=$2/work" "$3"
}

scenario_tmpfs() {
    new_tmpfs /s/tmpfs && make_files /s/tmpfs || return 1
    scenario tmpfs /s/tmpfs
}

scenario_overlay_one_fs() {
    new_tmpfs /s/ov1 && mkdir /s/ov1/lower && make_files /s/ov1/lower &&
        overlay /s/ov1/lower /s/ov1 /s/ov1/merged || return 1
    scenario overlay-one-fs /s/ov1/merged
}

scenario_overlay_two_fs() {
    new_tmpfs /s/ov2-lower && new_tmpfs /s/ov2-upper && make_files /s/ov2-lower &&
        overlay /s/ov2-lower /s/ov2-upper /s/ov2 || return 1
    scenario overlay-two-fs /s/ov2
}

# A container: its root an overlay, its files replaced from outside, as an
# image update or a package manager inside it would.
scenario_container() {
    new_tmpfs /s/ct && mkdir -p /s/ct/lower/lib && make_files /s/ct/lower/lib &&
        overlay /s/ct/lower /s/ct /s/ct/root || return 1
    scenario container /s/ct/root/lib /s/ct/root
}

# A container whose filesystems only its own namespace mounts, as with
# rootless containers: the overlay is detached from ours once its processes
# run. Its processes are chrooted, so their mountinfo lists none of it, and
# kernels before 6.8 give the layer's device in maps.
scenario_container_unmounted() {
    new_tmpfs /s/cu && mkdir -p /s/cu/lower/lib && make_files /s/cu/lower/lib &&
        overlay /s/cu/lower /s/cu /s/cu/root || return 1
    scenario container-unmounted /s/cu/root/lib /s/cu/root "umount -l /s/cu/root && umount -l /s/cu"
}

# Two containers of one image: their overlays share the lower layer's
# inodes, which older kernels give in maps for both; each is still judged by
# its own files.
scenario_two_containers() {
    new_tmpfs /s/image && mkdir -p /s/image/lib && make_files /s/image/lib &&
        new_tmpfs /s/ca && overlay /s/image /s/ca /s/ca/root &&
        new_tmpfs /s/cb && overlay /s/image /s/cb /s/cb/root || return 1
    a=$(vrix-vm-helper -r /s/ca/root /lib/untouched) &&
        b=$(vrix-vm-helper -r /s/cb/root /lib/untouched) &&
        r=$(vrix-vm-helper -r /s/cb/root /lib/replaced) || {
        fail "two-containers: the helpers did not start"
        return
    }
    echo new > /s/cb/root/lib/replaced.new && mv /s/cb/root/lib/replaced.new /s/cb/root/lib/replaced
    table=$(vrix -h 2> /tmp/stderr)
    failed_before=$failed
    check_row "two-containers first untouched" "$a" ""
    check_row "two-containers second untouched" "$b" ""
    check_row "two-containers second replaced" "$r" outd
    if [ "$failed" != "$failed_before" ]; then
        echo "$table" | sed 's/^/VRIX | /'
        sed 's/^/VRIX | stderr: /' /tmp/stderr
    fi
    kill "$a" "$b" "$r" || fail "two-containers: a helper had exited"
}

# A file on a lazily unmounted filesystem is reachable by no name: the
# kernel names it from that filesystem's own root, and whether or not an
# unrelated file stands at that name here, its process must restart. The
# mount is told from the mount ID of the mapped file.
scenario_detached() {
    new_tmpfs /s/dt && mkdir -p /s/dt/s/dt-name && echo detached > /s/dt/s/dt-name/lib || return 1
    p=$(vrix-vm-helper /s/dt/s/dt-name/lib) || {
        fail "detached: the helper did not start"
        return
    }
    umount -l /s/dt
    table=$(vrix -h 2> /tmp/stderr)
    check_row "detached, nothing at its name" "$p" miss
    mkdir -p /s/dt-name && echo unrelated > /s/dt-name/lib || return 1
    table=$(vrix -h 2> /tmp/stderr)
    check_row "detached, a file at its name" "$p" miss
    kill "$p" || fail "detached: the helper had exited"
}

scenario_btrfs() {
    mkdir -p /s/btrfs && mount -o loop /images/btrfs.img /s/btrfs &&
        make_files /s/btrfs || return 1
    scenario btrfs-top-level /s/btrfs
}

scenario_btrfs_subvolume() {
    vrix-vm-helper -s /s/btrfs/subvolume && make_files /s/btrfs/subvolume || return 1
    scenario btrfs-subvolume /s/btrfs/subvolume
}

echo  # the firmware's last line has no end
echo "VRIX kernel $(uname -r)"
for each in tmpfs overlay_one_fs overlay_two_fs container container_unmounted two_containers \
    detached btrfs btrfs_subvolume; do
    "scenario_$each" || fail "$each: setup failed"
done
echo "VRIX SUMMARY $passed passed, $failed failed"
