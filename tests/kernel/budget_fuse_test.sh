#!/bin/bash
# What a user can do to a run with FUSE file systems of their own
# (vrix-stallfs: names that answer slowly, never, or only once): slow names,
# one device behind many bind mounts, a mount made during the run, a daemon
# that never answers met again and again, and a process whose many mappings
# take longer than the bound to go through. And what a user can do with a
# directory of their own on a local file system (held by a getdents into a
# page that never comes). The run's waits stay within their allowance, a
# user's holds spend only that user's share and never blind root's
# processes, a file on the local disk is still judged, a worker stuck in
# the kernel is left behind once, holding nothing but its one call, no
# more are left than the cap across runs, the record forgets none of them
# while it waits, and a directory held by the run and covered by a mount
# meanwhile is not trusted.
# BUDGET_FUSE_CASES picks cases by name.
# The whole script runs in a PID and mount namespace of its own (with a
# /run of its own), so that nothing else on the machine can change its
# result.
#
#   budget_fuse_test.sh VRIX MAPPER TESTLIB STALLFS HOLDER
set -u
vrix=$1 mapper=$2 testlib=$3 stallfs=$4 holder=$5

if [ "${BUDGET_FUSE_INSIDE:-}" = "" ]; then
    missing=""
    for p in unshare mount umount sysctl setpriv flock; do
        command -v "$p" > /dev/null || missing="$missing $p"
    done
    [ -e /dev/fuse ] || missing="$missing /dev/fuse"
    [ -x "$stallfs" ] || missing="$missing $stallfs"
    if [ -n "$missing" ]; then
        echo "missing:$missing (apt-get install fuse3 libfuse3-dev pkg-config util-linux procps)"
        [ -n "${CI:-}" ] && exit 1
        exit 77
    fi
    export BUDGET_FUSE_INSIDE=1
    exec unshare --pid --fork --mount-proc --propagation private bash "$0" "$@"
fi

# the record of stalled devices that runs leave for later runs: ours alone
mount -t tmpfs -o mode=755 none /run
vrix_exe=$(readlink -f "$vrix")
failures=0
case_failed=0
daemons=()
restore=()
dir=$(mktemp -d /tmp/vrix-budget-XXXXXX)

fail() { echo "FAIL: $*"; case_failed=1; }

ms() { echo $(($(date +%s%N) / 1000000)); }

# vrix-stallfs mirroring $1 at $2 with the options that follow; its pid in
# $daemon once mounted.
start_fs() {
    local src=$1 mnt=$2; shift 2
    local under; under=$(stat -c %d "$mnt")
    "$stallfs" "$@" "$src" "$mnt" 2> /dev/null & daemon=$!
    disown "$daemon"
    daemons+=("$daemon")
    for _ in $(seq 100); do
        [ "$(stat -c %d "$mnt" 2> /dev/null)" != "$under" ] && return 0
        sleep 0.1
    done
    fail "vrix-stallfs did not mount $mnt"; return 1
}

# The daemon's rules on (or off again: whatever they hold then answers).
toggle_fs() { kill -USR1 "$1"; sleep 0.2; }

# A helper that maps $@ (run by the command in launch, if any); its pid in
# $helper once it says "ready".
launch=()
start_helper() {
    local ready=$dir/ready.$RANDOM
    "${launch[@]}" "$mapper" "$@" > "$ready" 2>&1 & helper=$!
    disown "$helper"
    for _ in $(seq 300); do
        grep -qs ready "$ready" && return 0
        sleep 0.05
    done
    fail "helper for $* did not start: $(cat "$ready")"
}

# A library on the local disk replaced under a helper, as a package manager
# replaces it; the helper's pid in $outd.
start_replaced() {
    mkdir -p "$1"
    cp "$testlib" "$1/lib.so"
    start_helper --map "$1/lib.so"; outd=$helper
    cp "$testlib" "$1/new.so" && mv "$1/new.so" "$1/lib.so"
}

# vrix -h (after the command in "$@", if any, that ends by running it) with
# its output read through a pipe, as a script reads it; sets out, err,
# status and took (milliseconds), and keeps them in files for a run in the
# background (see load_run). A hang is killed after 90 seconds.
run_vrix() {
    local start; start=$(ms)
    timeout -s KILL 90 "${@:-$vrix}" -h 2> "$dir/err" | cat > "$dir/out"
    echo "${PIPESTATUS[0]}" > "$dir/status"
    echo $(($(ms) - start)) > "$dir/took"
    load_run
}

load_run() {
    out=$(cat "$dir/out") err=$(cat "$dir/err")
    status=$(cat "$dir/status") took=$(cat "$dir/took")
    seen="status $status in $took ms; out: [$out] err: [$err]"
    echo "status $status in $took ms"
}

row_of() { awk -v p="$1" '$1 == p {print $3}' <<< "$out"; }

count() { grep -c -- "$1" <<< "$err"; }

# The run just made ended within its budget and a bound, the local replaced
# library outd, and each of the held processes $2 (err, or miss where the
# kernel marks its library deleted).
within_budget() {
    local how=$1 verdict=$2 p; shift 2
    [ "$took" -lt 19000 ] || fail "$how: took $took ms"
    [ "$(row_of "$outd")" = outd ] || fail "$how: local replaced library not outd"
    for p in "$@"; do
        [ "$(row_of "$p")" = "$verdict" ] || fail "$how: $p not $verdict"
    done
}

# The run just made did not wait again on what an earlier run left a
# process behind on: it says so once, of a process that the record holds
# and that still waits, and nothing had no answer.
not_asked_again() {
    local how=$1 p
    [ "$(count "vrix: no answer")" = 0 ] || fail "$how: waited again"
    [ "$(count "left behind by an earlier run, still waits")" = 1 ] || fail "$how: no word of the record"
    p=$(sed -n 's/.*on which process \([0-9]*\), left behind.*/\1/p' <<< "$err")
    [ -n "$p" ] && [ "$(awk -v p="$p" '$2 == p' /run/vrix/stalled | wc -l)" = 1 ] &&
        [ -e "/proc/$p" ] || fail "$how: process ${p:-?} not in the record, or gone"
}

# Processes of vrix still there: the vrix binary, or something vrix named
# after itself, other than this test's own helpers.
left_behind() {
    local p exe
    for p in /proc/[0-9]*; do
        p=${p#/proc/}
        [ "$p" = $$ ] && continue
        exe=$(readlink "/proc/$p/exe" 2> /dev/null)
        case $exe in "$vrix_exe") echo "$p"; continue ;; "$mapper"|"$stallfs"|"$holder") continue ;; esac
        case $(cat "/proc/$p/comm" 2> /dev/null) in vrix*)
            [ "$(readlink -f "$exe")" = "$(readlink -f "$mapper")" ] ||
                [ "$(readlink -f "$exe")" = "$(readlink -f "$stallfs")" ] ||
                [ "$(readlink -f "$exe")" = "$(readlink -f "$holder")" ] || echo "$p" ;;
        esac
    done
}

# Killing the daemons first fails every call held by them, which frees
# whatever sleeps uninterruptibly on one; then everything else in this PID
# namespace goes.
cleanup() {
    local p
    for p in "${daemons[@]}"; do kill -KILL "$p" 2> /dev/null; done
    for m in $(awk -v d="$dir" 'index($5, d) == 1 {print $5}' /proc/self/mountinfo | sort -r); do
        umount -l "$m" 2> /dev/null || fusermount3 -u -z "$m" 2> /dev/null
    done
    for _ in 1 2; do
        for p in /proc/[0-9]*; do
            p=${p#/proc/}
            [ "$p" = $$ ] || kill -KILL "$p" 2> /dev/null
        done
        wait 2> /dev/null
    done
    for r in "${restore[@]}"; do eval "$r"; done
    restore=() daemons=()
    rm -rf /run/vrix "$dir"; dir=$(mktemp -d /tmp/vrix-budget-XXXXXX)
}

# Eight names that each answer in 4.6 seconds, under the bound: the run
# spends its 10 seconds on them, says so once, and then asks the local disk
# still.
case_slow_names() {
    local pids=() e=0
    mkdir -p "$dir/src" "$dir/mnt"
    for i in 1 2 3 4 5 6 7 8; do cp "$testlib" "$dir/src/lib$i.so"; done
    start_fs "$dir/src" "$dir/mnt" --off --slow-ms 4600 --slow '/lib*.so' || return
    for i in 1 2 3 4 5 6 7 8; do start_helper --map "$dir/mnt/lib$i.so"; pids+=("$helper"); done
    start_replaced "$dir/local"
    toggle_fs "$daemon"
    run_vrix
    [ "$took" -lt 19000 ] || fail "slow names: took $took ms"
    [ "$(row_of "$outd")" = outd ] || fail "slow names: local replaced library not outd"
    for p in "${pids[@]}"; do
        case $(row_of "$p") in err) e=$((e + 1)) ;; "") ;; *) fail "slow names: $p not err" ;; esac
    done
    # a lookup begun before the 10 seconds are spent is answered: three
    # answers of 4.6 at most
    [ "$e" -ge 5 ] || fail "slow names: $e helpers err, not 5 or more"
    [ "$status" = 1 ] || fail "slow names: status $status"
    [ "$(count "10 seconds")" = 1 ] || fail "slow names: no one line of the allowance"
    [ "$(count "vrix: no answer for '")" -le 1 ] || fail "slow names: more than one wait told"
    [ "$(grep -v -e "10 seconds" -e "vrix: no answer for '" <<< "$err" | grep -c .)" = 0 ] ||
        fail "slow names: other messages"
}

# One device that never answers, reached through six bind mounts, or from
# six mount namespaces (which any user can make): one wait.
one_device() {
    local how=$1 pids=()
    mkdir -p "$dir/src" "$dir/mnt"
    for i in 1 2 3 4 5 6; do cp "$testlib" "$dir/src/lib$i.so"; done
    start_fs "$dir/src" "$dir/mnt" --off --never '/*.so' || return
    for i in 1 2 3 4 5 6; do
        if [ "$how" = "bind mounts" ]; then
            mkdir "$dir/mnt$i" && mount --bind "$dir/mnt" "$dir/mnt$i" || fail "bind mount $i"
            start_helper --map "$dir/mnt$i/lib$i.so"
        else
            launch=(unshare -m --propagation private)
            start_helper --map "$dir/mnt/lib$i.so"
            launch=()
        fi
        pids+=("$helper")
    done
    start_replaced "$dir/local"
    toggle_fs "$daemon"
    run_vrix
    within_budget "$how" err "${pids[@]}"
    [ "$status" = 1 ] || fail "$how: status $status"
    [ "$(count "vrix: no answer for '")" -le 1 ] || fail "$how: more than one wait told"
}

case_bind_mounts() { one_device "bind mounts"; }
case_namespaces() { one_device "namespaces"; }

# A mount made while vrix runs, after it placed a first stall, over a
# directory of the root file system whose file a process maps; then it
# stalls. Mount A stalls first; C's slow answer keeps vrix busy while B is
# mounted. Root's replaced library, in a plain directory of the same root
# file system, is still judged.
case_late_mount() {
    local a b c
    mkdir -p "$dir/srcA" "$dir/mntA" "$dir/srcB" "$dir/srcC" "$dir/mntC" "$dir/home/dir"
    cp "$testlib" "$dir/srcA/a.so"; cp "$testlib" "$dir/srcC/c.so"
    cp "$testlib" "$dir/srcB/b.so"; cp "$testlib" "$dir/home/dir/b.so"
    start_fs "$dir/srcA" "$dir/mntA" --off --never '/*.so' || return
    local fs_a=$daemon
    start_fs "$dir/srcC" "$dir/mntC" --off --slow-ms 4600 --slow '/*.so' || return
    local fs_c=$daemon
    start_helper --map "$dir/mntA/a.so"; a=$helper
    start_helper --map "$dir/mntC/c.so"; c=$helper
    start_helper --map "$dir/home/dir/b.so"; b=$helper
    start_replaced "$dir/opt"
    toggle_fs "$fs_a"; toggle_fs "$fs_c"
    run_vrix &
    local run=$!
    # A has stalled for 5 seconds by now, and C is answering
    sleep 7
    start_fs "$dir/srcB" "$dir/home/dir" --never '/*.so'
    wait "$run"
    load_run > /dev/null
    [ "$(row_of "$outd")" = outd ] || fail "late mount: root's replaced library not outd"
    [ "$(row_of "$a")" = err ] || fail "late mount: helper on A not err"
    [ "$(row_of "$b")" = err ] || fail "late mount: helper under B not err"
    case $(row_of "$c") in ""|err) ;; *) fail "late mount: helper on C: $(row_of "$c")" ;; esac
    [ "$status" = 1 ] || fail "late mount: status $status"
    [ "$took" -lt 19000 ] || fail "late mount: took $took ms"
}

# A root of its own for a process of a mount namespace of its own, as a
# container has: the mapper and what it needs, and a library for it.
make_root() {
    local r=$1 lib
    mkdir -p "$r/old"
    for lib in $(ldd "$mapper" | grep -o '/[^ ]*'); do
        mkdir -p "$r$(dirname "$lib")" && cp -L "$lib" "$r$lib"
    done
    cp "$mapper" "$r/mapper"
    cp "$testlib" "$r/lib.so"
}

# A process in a container with root $1 that maps its /lib.so; its pid in
# $helper.
start_contained() {
    make_root "$1"
    unshare -m --propagation private sh -c \
        'mount --bind "$1" "$1" && cd "$1" && pivot_root . old && exec /mapper --map /lib.so' \
        x "$1" > "$1.ready" 2>&1 &
    helper=$!
    for _ in $(seq 100); do grep -qs ready "$1.ready" && return 0; sleep 0.05; done
    fail "no container at $1: $(cat "$1.ready")"
}

# A daemon that reads a lookup and never answers it, met after two
# containers: the first run waits for it, the next two do not, and what is
# left behind is one process that holds neither container's namespace nor
# root.
case_never_answers() {
    local took1 p id
    rm -rf /run/vrix
    start_contained "$dir/c1"; local c1=$helper
    start_contained "$dir/c2"; local c2=$helper
    mkdir -p "$dir/src" "$dir/mnt"
    cp "$testlib" "$dir/src/lib.so"
    start_fs "$dir/src" "$dir/mnt" --off --never '/*.so' || return
    start_helper --map "$dir/mnt/lib.so"; local f=$helper
    toggle_fs "$daemon"
    for r in 1 2 3; do
        run_vrix
        [ "$(row_of "$f")" = err ] || fail "never answers: run $r: helper not err"
        [ -z "$(row_of "$c1")$(row_of "$c2")" ] || fail "never answers: run $r: a container reported"
        [ "$status" = 1 ] || fail "never answers: run $r: status $status"
        if [ "$r" = 1 ]; then
            took1=$took
            [ "$took" -ge 4000 ] && [ "$took" -lt 15000 ] || fail "never answers: first run took $took ms"
        else
            not_asked_again "never answers, run $r"
        fi
    done
    local left; left=$(left_behind)
    [ "$(wc -w <<< "$left")" -le 1 ] || fail "never answers: left behind: $(echo $left)"
    local roots; roots=" $(stat -c %d:%i "$dir/c1" "$dir/c2" | tr '\n' ' ')"
    for p in $left; do
        local before=$case_failed; case_failed=0
        ls -l "/proc/$p/fd/" | grep -q 'mnt:\[' && fail "never answers: $p holds a mount namespace"
        for fd in /proc/"$p"/fd/*; do
            case $(readlink "$fd") in
            "$dir"/c[12]*) fail "never answers: $p holds $(readlink "$fd")" ;;
            "$dir"/mnt*) ;;
            *) id=$(timeout -s KILL 2 stat -L -c %d:%i "$fd" 2> /dev/null)
               [[ -n "$id" && "$roots" == *" $id "* ]] && fail "never answers: $p holds a container's root" ;;
            esac
        done
        [ "$(readlink "/proc/$p/ns/mnt")" = "$(readlink /proc/self/ns/mnt)" ] ||
            fail "never answers: $p is in another mount namespace"
        [ "$(stat -L -c %d:%i "/proc/$p/root")" = "$(stat -c %d:%i /)" ] ||
            fail "never answers: $p has another root"
        [ "$case_failed" = 0 ] || { echo "left behind: $p"; ls -l "/proc/$p/fd/"; }
        case_failed=$((before | case_failed))
    done
}

# The cpu controller: a cgroup of cgroup v2 or of v1 named $1 with a quota
# of $2 microseconds per quarter of a second (a period short enough that
# vrix, held by it, is not taken for stopped); the file to move a process
# in, in $procs.
make_cpu_group() {
    local v2 v1
    v2=$(awk '$3 == "cgroup2" {print $2; exit}' /proc/self/mounts)
    v1=$(awk '$3 == "cgroup" && $4 ~ /(^|,)cpu(,|$)/ {print $2; exit}' /proc/self/mounts)
    if [ -n "$v2" ] && grep -qw cpu "$v2/cgroup.controllers" 2> /dev/null; then
        grep -qw cpu "$v2/cgroup.subtree_control" || echo +cpu > "$v2/cgroup.subtree_control" || return 1
        mkdir "$v2/$1" && echo "$2 250000" > "$v2/$1/cpu.max" || return 1
        restore+=("rmdir '$v2/$1'")
        procs=$v2/$1/cgroup.procs
    elif [ -n "$v1" ]; then
        mkdir "$v1/$1" || return 1
        restore+=("rmdir '$v1/$1'")
        echo 250000 > "$v1/$1/cpu.cfs_period_us" && echo "$2" > "$v1/$1/cpu.cfs_quota_us" || return 1
        procs=$v1/$1/cgroup.procs
    else
        return 1
    fi
}

# One process with 60,000 mappings of a file that has not changed, vrix
# held to a sliver of a CPU for it: going through them takes longer than the
# bound, and that is work, not a stall.
case_many_mappings() {
    local max; max=$(sysctl -n vm.max_map_count)
    if [ "$max" -lt 70000 ]; then
        sysctl -qw vm.max_map_count=200000 && restore+=("sysctl -qw vm.max_map_count=$max")
    fi
    mkdir -p "$dir/lib"
    cp "$testlib" "$dir/lib/lib.so"
    start_helper --map-times 60000 "$dir/lib/lib.so"
    [ "$(wc -l < "/proc/$helper/maps")" -ge 60000 ] || { fail "many mappings: mapped $(wc -l < "/proc/$helper/maps")"; return; }
    run_vrix
    local full=$took
    [ -z "$out" ] && [ "$status" = 0 ] || fail "many mappings: at full speed: status $status"
    # the quota that makes the run take about 20 seconds: less than 1% of a
    # CPU, as the run is short
    local quota=$((full * 250000 / 20000))
    [ "$quota" -ge 1000 ] || quota=1000
    [ "$quota" -le 100000 ] || { fail "many mappings: too slow at full speed: $full ms"; return; }
    if ! make_cpu_group "vrix-slow-$$" "$quota"; then
        echo "skipped: no cpu controller of cgroups"
        [ -n "${CI:-}" ] && fail "many mappings: no cpu controller"
        return
    fi
    run_vrix sh -c 'echo $$ > "$0" && exec "$1" "$2"' "$procs" "$vrix"
    echo "$full ms at full speed, $took ms at $((quota / 2500)).$((quota % 2500 / 250))% of a CPU"
    [ -z "$out" ] || fail "many mappings: rows"
    [ "$status" = 0 ] || fail "many mappings: status $status"
    [ "$(count "no answer")" = 0 ] || fail "many mappings: taken for a stall"
    [ "$took" -ge 5000 ] || fail "many mappings: the run was not slowed past the bound ($took ms)"
}

# A name that answers its first lookup and never another, beside a
# library replaced on the local disk.
case_answers_once() {
    mkdir -p "$dir/src" "$dir/mnt"
    cp "$testlib" "$dir/src/lib.so"
    start_fs "$dir/src" "$dir/mnt" --once '/lib.so' || return
    start_helper --map "$dir/mnt/lib.so"; local f=$helper
    start_replaced "$dir/local"
    run_vrix
    [ "$(row_of "$outd")" = outd ] || fail "answers once: local replaced library not outd"
    [ "$(row_of "$f")" = err ] || fail "answers once: helper not err"
    [ "$status" = 1 ] || fail "answers once: status $status"
    [[ "$err" == "vrix: no answer for '$dir/mnt/lib.so'"* ]] || fail "answers once: message"
}

# An overlay whose lower layer is a FUSE file system waits on it: its
# stall is the device's, as a FUSE one's is, so two directories of it cost
# one wait.
case_overlay_on_fuse() {
    mkdir -p "$dir/src/d1" "$dir/src/d2" "$dir/low" "$dir/upper" "$dir/work" "$dir/ovl"
    cp "$testlib" "$dir/src/d1/lib.so" && cp "$testlib" "$dir/src/d2/lib.so"
    start_fs "$dir/src" "$dir/low" --off --never '/d*/lib.so' || return
    mount -t overlay none -o "lowerdir=$dir/low,upperdir=$dir/upper,workdir=$dir/work" \
        "$dir/ovl" || { fail "overlay: not mounted"; return; }
    start_helper --map "$dir/ovl/d1/lib.so"; local a=$helper
    start_helper --map "$dir/ovl/d2/lib.so"; local b=$helper
    start_replaced "$dir/local"
    toggle_fs "$daemon"
    run_vrix
    [ "$(row_of "$a")" = err ] && [ "$(row_of "$b")" = err ] || fail "overlay: helpers not err"
    [ "$(row_of "$outd")" = outd ] || fail "overlay: local replaced library not outd"
    [ "$(count "no answer for")" = 1 ] || fail "overlay: not one wait"
    [ "$took" -lt 9000 ] || fail "overlay: took $took ms"
    [ "$(awk -v d="$(stat -c %d "$dir/ovl")" '$1 == d && $5 == 0' /run/vrix/stalled | wc -l)" = 1 ] ||
        fail "overlay: its device not recorded: $(cat /run/vrix/stalled)"
}

# What nobody (uid 65534) runs.
as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# A file system whose files page1 to page8 are never read: a page of one,
# mapped privately, holds whoever touches it (one file for each holder: a
# second one would only wait for the first one's page).
start_page_fs() {
    mkdir -p "$dir/pagesrc" "$dir/page"
    for i in 1 2 3 4 5 6 7 8; do head -c 65536 /dev/zero > "$dir/pagesrc/page$i"; done
    start_fs "$dir/pagesrc" "$dir/page" --never-read '/page*'
    pages=0
}

# A directory of nobody's at $1, with a library that a process of nobody's
# maps and nobody then deletes (its pid in $user), held by nobody: a
# getdents into the page that never comes, and a mkdir queued behind it.
held_directory() {
    local d=$1
    mkdir -p "$d" && chown 65534:65534 "$d" && chmod 755 "$dir" "$(dirname "$d")"
    cp "$testlib" "$d/lib.so" && chown 65534:65534 "$d/lib.so"
    launch=("${as_user[@]}")
    start_helper --map "$d/lib.so"; user=$helper
    launch=()
    "${as_user[@]}" rm "$d/lib.so"
    hold_as_nobody "$d"
}

# Whether process $1 sleeps uninterruptibly within a second or so.
asleep() {
    local state
    for _ in $(seq 20); do
        state=$(awk '{print $3}' /proc/"$1"/stat 2> /dev/null)
        case $state in D) return 0 ;; ""|Z) return 1 ;; esac
        sleep 0.05
    done
    return 1
}

# A held directory of a user's own on the root file system: the user's
# process is miss (the kernel marks its library deleted, whether or not its
# name can be asked), root's replaced library is outd, in this run and the
# next, which does not wait; the directory is recorded, never the device.
case_held_directory() {
    start_page_fs || return
    local d=$dir/home/u
    held_directory "$d"
    start_replaced "$dir/local"
    run_vrix
    [ "$(row_of "$outd")" = outd ] || fail "held directory: root's replaced library not outd"
    [ "$(row_of "$user")" = miss ] || fail "held directory: the user's process not miss"
    [ "$(count "vrix: no answer for '$d/lib.so'")" = 1 ] || fail "held directory: no word of the wait"
    [ "$took" -lt 9000 ] || fail "held directory: took $took ms"
    local first=$seen
    run_vrix
    [ "$(row_of "$outd")" = outd ] || fail "held directory, second run: root's library not outd"
    [ "$(row_of "$user")" = miss ] || fail "held directory, second run: the user's process not miss"
    [ "$took" -lt 3000 ] || fail "held directory, second run: took $took ms"
    [ "$(count "left behind by an earlier run")" = 1 ] || fail "held directory: no word of the record"
    [ "$(awk 'NF < 5 || $5 == 0' /run/vrix/stalled)" = "" ] ||
        fail "held directory: a device recorded: $(cat /run/vrix/stalled)"
    [ "$(awk -v d="$(stat -c %d "$d")" -v i="$(stat -c %i "$d")" '$1 == d && $5 == i' \
        /run/vrix/stalled | wc -l)" = 1 ] || fail "held directory: not recorded: $(cat /run/vrix/stalled)"
    [ "$(left_behind | wc -l)" = 1 ] || fail "held directory: left behind: $(left_behind)"
    [ "$case_failed" = 0 ] || echo "first run: $first"
}

# Six tmpfs file systems, each with a held directory of a user's: the run
# stays within its budget, and root's replaced library is still outd.
case_held_devices() {
    start_page_fs || return
    local pids=()
    for i in 1 2 3 4 5 6; do
        mkdir -p "$dir/t$i" && mount -t tmpfs -o mode=755 none "$dir/t$i" || fail "tmpfs $i"
        held_directory "$dir/t$i/u"
        pids+=("$user")
    done
    start_replaced "$dir/local"
    run_vrix
    within_budget "held devices" miss "${pids[@]}"
    [ "$(count "10 seconds")" = 1 ] || fail "held devices: no one line of the allowance"
    [ "$status" = 2 ] || fail "held devices: status $status"
}

# A cgroup with the pids controller, its path in $cgroup.
pids_cgroup() {
    cgroup=/sys/fs/cgroup/pids/vrix-budget-$$
    if [ -e /sys/fs/cgroup/cgroup.controllers ]; then
        echo +pids > /sys/fs/cgroup/cgroup.subtree_control 2> /dev/null
        cgroup=/sys/fs/cgroup/vrix-budget-$$
    fi
    mkdir "$cgroup" 2> /dev/null && [ -e "$cgroup/pids.max" ] && restore+=("rmdir $cgroup")
}

# No process can be forked once the run has started (vrix, its worker and
# its spare fill the cgroup): two held directories, and vrix still ends by
# itself.
case_no_more_processes() {
    if ! pids_cgroup; then
        echo "no pids controller"
        [ -n "${CI:-}" ] && fail "no more processes: no pids controller"
        return
    fi
    start_page_fs || return
    held_directory "$dir/a/u"
    local a=$user
    held_directory "$dir/b/u"
    run_vrix sh -c 'echo $$ > "$0/cgroup.procs" && echo 3 > "$0/pids.max" && exec "$1" "$2"' \
        "$cgroup" "$vrix"
    [ "$took" -lt 19000 ] || fail "no more processes: took $took ms"
    # judged (its library deleted: miss) or never judged (err)
    local p
    for p in "$a" "$user"; do
        case $(row_of "$p") in miss|err) ;; *) fail "no more processes: $p not miss or err" ;; esac
    done
    [ "$(count "the processes not yet judged are errors")" = 1 ] ||
        fail "no more processes: no word of it"
    [ "$status" = 1 ] || fail "no more processes: status $status"
}

# A worker left behind holds nothing that vrix's caller gave it: a lock
# that cron's next run would wait for is free when vrix ends.
case_lock_left_free() {
    start_page_fs || return
    held_directory "$dir/home/u"
    run_vrix flock "$dir/lock" "$vrix"
    [ "$(row_of "$user")" = miss ] || fail "lock: the user's process not miss"
    [ "$(left_behind | wc -l)" = 1 ] || fail "lock: left behind: $(left_behind)"
    timeout 5 flock -n "$dir/lock" true || fail "lock: still held"
}

# A FUSE daemon of a user namespace of nobody's (one that maps no uid 0 of
# ours) that never answers the lookup helper: over three runs one process
# is left behind, and the second and third runs do not wait. The helper
# has the capabilities of the process it asks for (none here), no
# environment, and NoNewPrivs.
case_helper_never_answers() {
    local u=$dir/uns
    mkdir -p "$u/src" "$u/mnt"
    cp "$testlib" "$u/src/a.so"
    chmod -R a+rX "$dir" && chmod 1777 "$u"
    mkdir "$dir/dev" && mount -t tmpfs -o mode=755 none "$dir/dev" &&
        mknod -m 666 "$dir/dev/fuse" c 10 229 && mount --bind "$dir/dev/fuse" /dev/fuse &&
        restore+=("umount /dev/fuse")
    "${as_user[@]}" unshare -Urm bash -c '
        "$3" --off --never /a.so "$1/src" "$1/mnt" 2> /dev/null & echo $! > "$1/daemon.pid"
        for _ in $(seq 100); do [ -e "$1/mnt/a.so" ] && break; sleep 0.1; done
        setpriv --inh-caps=-all --ambient-caps=-all --bounding-set=-all \
            "$2" --map "$1/mnt/a.so" > "$1/a.ready" & echo $! > "$1/a.pid"
        wait' x "$u" "$mapper" "$stallfs" 2> /dev/null &
    disown $!
    for _ in $(seq 100); do grep -qs ready "$u/a.ready" && break; sleep 0.1; done
    local a d; a=$(cat "$u/a.pid") d=$(cat "$u/daemon.pid")
    daemons+=("$d")
    toggle_fs "$d"
    run_vrix &
    local helper_seen=""
    for _ in $(seq 40); do
        sleep 0.1
        for p in $(left_behind); do
            [ "$(readlink /proc/"$p"/ns/user)" = "$(readlink /proc/"$a"/ns/user)" ] || continue
            helper_seen=$p
            [ "$(grep ^CapEff: /proc/"$p"/status)" = "$(grep ^CapEff: /proc/"$a"/status)" ] ||
                fail "helper: $(grep ^CapEff: /proc/"$p"/status), the process's $(grep ^CapEff: /proc/"$a"/status)"
            grep -q '^NoNewPrivs:.1' /proc/"$p"/status || fail "helper: NoNewPrivs not set"
            [ "$(tr -d '\0' < /proc/"$p"/environ | wc -c)" = 0 ] || fail "helper: an environment"
        done
        [ -n "$helper_seen" ] && break
    done
    wait $!
    load_run
    [ -n "$helper_seen" ] || fail "helper: never seen"
    [ "$(row_of "$a")" = err ] || fail "helper: the process not err"
    for run in 2 3; do
        run_vrix
        not_asked_again "helper, run $run"
        [ "$(row_of "$a")" = err ] || fail "helper, run $run: the process not err"
    done
    [ "$(left_behind | wc -l)" = 1 ] || fail "helper: left behind: $(left_behind)"
}

# A user holds two fresh directories before each of three runs, and root's
# daemon, started after them, maps a library in a directory no user
# touches, which is then deleted: the daemon is judged in every run (miss),
# never refused for the user's spending nor for the cap, whose last place
# is root's; each run ends within the user's share and a bound; no more
# than the users' part of the cap is left behind, and every process left
# behind is in the record.
case_fresh_holds() {
    start_page_fs || return
    local r h d p
    for r in 1 2 3; do
        for h in 1 2; do held_directory "$dir/home/u$r$h"; done
        mkdir -p "$dir/root$r" && cp "$testlib" "$dir/root$r/lib.so"
        start_helper --map "$dir/root$r/lib.so"; d=$helper
        rm "$dir/root$r/lib.so"
        run_vrix
        [ "$took" -lt 15000 ] || fail "fresh holds, run $r: took $took ms"
        [ "$(row_of "$d")" = miss ] || fail "fresh holds, run $r: root's daemon: $(row_of "$d")"
        [ "$(row_of "$user")" = miss ] || fail "fresh holds, run $r: the user's process not miss"
        [ "$(count "for the processes of root")" = 0 ] || fail "fresh holds, run $r: root's share spent"
        [ "$r" = 1 ] || [ "$(count "vrix: not asked: 3 processes that vrix left behind still wait, as many as users' processes may leave")" = 1 ] ||
            fail "fresh holds, run $r: no word of the cap"
        [ "$(left_behind | wc -l)" -le 4 ] || fail "fresh holds, run $r: left behind: $(left_behind)"
        for p in $(left_behind); do
            [ "$(awk -v p="$p" '$2 == p' /run/vrix/stalled | wc -l)" = 1 ] ||
                fail "fresh holds, run $r: $p not in the record"
        done
    done
    [ "$(left_behind | wc -l)" = 3 ] || fail "fresh holds: not the users' cap left behind: $(left_behind)"
}

# A user's process with three names that answer in 4.9 seconds each,
# judged before root's process on the same FUSE mount: the user's names
# spend the user's share alone, and root's process is still asked (no row:
# its file is as it was; a name not asked would be err).
case_one_budget() {
    mkdir -p "$dir/src" "$dir/mnt"
    for i in 1 2 3; do cp "$testlib" "$dir/src/u$i.so"; done
    cp "$testlib" "$dir/src/r.so"
    chmod -R a+rX "$dir"
    start_fs "$dir/src" "$dir/mnt" --off --slow-ms 4900 --slow '/*.so' || return
    launch=("${as_user[@]}")
    start_helper --map "$dir/mnt/u1.so" --map "$dir/mnt/u2.so" --map "$dir/mnt/u3.so"
    launch=()
    start_helper --map "$dir/mnt/r.so"; local r=$helper
    toggle_fs "$daemon"
    run_vrix
    [ -z "$(row_of "$r")" ] && [ -e "/proc/$r" ] || fail "one budget: root's process: $(row_of "$r")"
    [ "$(count "vrix: waited 10 seconds in all on file systems for the processes of user 65534")" = 1 ] ||
        fail "one budget: no word of the user's share"
    [ "$(count "for the processes of root")" = 0 ] || fail "one budget: root's share spent"
    [ "$(count "no answer")" = 0 ] || fail "one budget: a stall"
}

# A worker left behind holds nothing but the lookup it waits in: after a
# run that judged a daemon on a tmpfs, then a user's held directory, the
# daemon stops and the tmpfs unmounts while the hold goes on.
case_tmpfs_unmounts() {
    start_page_fs || return
    mkdir -p "$dir/tfs" && mount -t tmpfs -o mode=755 none "$dir/tfs" || { fail "tmpfs: not mounted"; return; }
    cp "$testlib" "$dir/tfs/lib.so"
    start_helper --map "$dir/tfs/lib.so"; local t=$helper
    held_directory "$dir/home/u"
    run_vrix
    [ "$(row_of "$user")" = miss ] || fail "tmpfs: the user's process not miss"
    local p left; left=$(left_behind)
    [ "$(wc -w <<< "$left")" = 1 ] || fail "tmpfs: left behind: $(echo $left)"
    for p in $left; do
        [ "$(ls "/proc/$p/fd" | sort -n | tr '\n' ' ')" = "0 1 2 " ] ||
            fail "tmpfs: $p holds: $(ls -l "/proc/$p/fd" | tail -n +2)"
    done
    kill -KILL "$t"
    for _ in $(seq 50); do [ -e "/proc/$t" ] || break; sleep 0.05; done
    local said; said=$(umount "$dir/tfs" 2>&1) || fail "tmpfs: not unmounted: $said"
}

# A record with no room left: two processes of earlier runs that still
# wait, at its head, and other PID namespaces' entries after them; then a
# run under two more holds of a user's. It leaves one more process behind,
# up to the users' part of the cap, refuses the other hold, and drops no
# entry of a process that waits.
case_record_room() {
    start_page_fs || return
    local ns s start sleepers=()
    ns=$(stat -L -c %i /proc/self/ns/pid)
    : > "$dir/record"
    for s in 1 2; do
        sleep 1000 & sleepers+=($!)
        disown $!
        start=$(sed 's/.*) //' "/proc/$!/stat" | awk '{print $20}')
        echo "1 $! $start $ns $s" >> "$dir/record"
    done
    for s in $(seq 62); do echo "1 $((4000000 + s)) 1 $((ns + 1)) $s" >> "$dir/record"; done
    mkdir -m 700 /run/vrix && install -m 644 "$dir/record" /run/vrix/stalled
    held_directory "$dir/home/a"; local a=$user
    held_directory "$dir/home/b"; local b=$user
    run_vrix
    [ "$(row_of "$a")" = miss ] && [ "$(row_of "$b")" = miss ] || fail "record: the users' processes not miss"
    for s in "${sleepers[@]}"; do
        [ "$(awk -v p="$s" -v n="$ns" '$2 == p && $4 == n' /run/vrix/stalled | wc -l)" = 1 ] ||
            fail "record: the entry of $s dropped"
    done
    [ "$(left_behind | wc -l)" = 1 ] || fail "record: left behind: $(left_behind)"
    for s in $(left_behind); do
        [ "$(awk -v p="$s" -v n="$ns" '$2 == p && $4 == n' /run/vrix/stalled | wc -l)" = 1 ] ||
            fail "record: $s not in it"
    done
    [ "$(awk -v n="$ns" '$4 == n' /run/vrix/stalled | wc -l)" = 3 ] ||
        fail "record: not the users' cap in it: $(awk -v n="$ns" '$4 == n' /run/vrix/stalled)"
    [ "$(count "vrix: not asked: 3 processes that vrix left behind still wait, as many as users' processes may leave")" = 1 ] ||
        fail "record: no word of the cap"
}

# A directory the run holds (a process's library in it judged first), then
# covered by a mount while the run waits on a slow name: the process judged
# after that, whose library's name the mount now holds another file at, is
# outd in that run.
case_covered_dir() {
    mkdir -p "$dir/cov" "$dir/src" "$dir/mnt"
    cp "$testlib" "$dir/cov/x.so"; cp "$testlib" "$dir/cov/b.so"; cp "$testlib" "$dir/src/c.so"
    start_fs "$dir/src" "$dir/mnt" --off --slow-ms 3000 --slow '/*.so' || return
    start_helper --map "$dir/cov/x.so"; local x=$helper
    start_helper --map "$dir/mnt/c.so"
    start_helper --map "$dir/cov/b.so"; local b=$helper
    toggle_fs "$daemon"
    run_vrix &
    local run=$!
    sleep 1.5
    mount -t tmpfs -o mode=755 none "$dir/cov" && cp "$testlib" "$dir/cov/b.so" || fail "covered: no mount"
    wait "$run"
    load_run > /dev/null
    [ "$(row_of "$b")" = outd ] || fail "covered: the process judged after the mount: $(row_of "$b")"
    [ -z "$(row_of "$x")" ] || fail "covered: the process judged before the mount: $(row_of "$x")"
}

# --- The kernel's word before a lookup: a user holds root's own library
# directory, which any user may read and search.

# Holds directory $1 as nobody: a getdents into a page that never comes,
# and a mkdir queued behind it, which needs no write permission.
hold_as_nobody() {
    pages=$((pages + 1))
    "${as_user[@]}" "$holder" "$1" "$dir/page/page$pages" > /dev/null 2>&1 &
    local h=$!
    disown "$h"
    asleep "$h" || { fail "$1: the holder did not wait for its page"; return 1; }
    for try in 1 2 3 4 5 6 7 8 9 10; do
        "${as_user[@]}" mkdir "$1/queued$try" 2> /dev/null &
        local m=$!
        disown "$m"
        asleep "$m" && return 0
    done
    fail "$1: no mkdir queued"
    return 1
}

# Root's daemon maps a library that an upgrade deleted, in root's library
# directory, which a user then holds: the mapping is marked deleted, so it
# is miss in every run, whether its old name could be asked or not; the
# replaced library beside it stays outd.
case_root_directory_held() {
    start_page_fs || return
    local d=$dir/usr/lib
    mkdir -p "$d" && chmod 755 "$dir" "$dir/usr" "$d"
    cp "$testlib" "$d/libgone.so" && cp "$testlib" "$d/libnew.so"
    start_helper --map "$d/libgone.so"; local gone=$helper
    start_helper --map "$d/libnew.so"; local replaced=$helper
    rm "$d/libgone.so"
    cp "$testlib" "$d/libnew.so.new" && mv "$d/libnew.so.new" "$d/libnew.so"
    hold_as_nobody "$d" || return
    for run in 1 2; do
        run_vrix
        [ "$(row_of "$gone")" = miss ] || fail "root's held directory, run $run: deleted library not miss"
        [ "$(row_of "$replaced")" = outd ] || fail "root's held directory, run $run: replaced library not outd"
        [ "$(grep -c " err " <<< "$out")" = 0 ] || fail "root's held directory, run $run: an err row"
    done
}

cases=(${BUDGET_FUSE_CASES:-case_answers_once case_slow_names case_bind_mounts
        case_namespaces case_late_mount case_never_answers case_many_mappings
        case_overlay_on_fuse case_held_directory case_held_devices case_no_more_processes
        case_lock_left_free case_helper_never_answers case_fresh_holds case_one_budget
        case_tmpfs_unmounts case_record_room case_covered_dir case_root_directory_held})
for c in "${cases[@]}"; do
    echo "== $c"
    case_failed=0 seen=""
    cleanup
    "$c"
    [ "$case_failed" = 0 ] || echo "seen: $seen"
    failures=$((failures + case_failed))
    cleanup
done
rm -rf "$dir"
echo "$((${#cases[@]} - failures)) passed, $failures failed"
[ "$failures" = 0 ]
