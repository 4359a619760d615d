#!/bin/bash
# FUSE file systems whose daemon has stopped answering (bindfs, then
# SIGSTOP), as any user can make them: vrix ends within its bounds, says
# which file it waited for, and charges the wait to the mount that stalled.
# And one mounted in a user namespace, which refuses everyone outside it.
# STALLED_FUSE_CASES picks cases by name.
# Each case runs in a PID and mount namespace of its own, so that nothing
# else on the machine can change its result.
#
#   stalled_fuse_test.sh VRIX MAPPER TESTLIB
set -u
vrix=$1 mapper=$2 testlib=$3

if [ "${STALLED_FUSE_INSIDE:-}" = "" ]; then
    missing=""
    for p in bindfs fusermount3 unshare; do
        command -v "$p" > /dev/null || missing="$missing $p"
    done
    [ -e /dev/fuse ] || missing="$missing /dev/fuse"
    if [ -n "$missing" ]; then
        echo "missing:$missing (apt-get install bindfs fuse3 util-linux)"
        [ -n "${CI:-}" ] && exit 1
        exit 77
    fi
    export STALLED_FUSE_INSIDE=1
    exec unshare --pid --fork --mount-proc --propagation private bash "$0" "$@"
fi

SHORT_CACHE=attr_timeout=0.2,entry_timeout=0.2,negative_timeout=0.2
failures=0
case_failed=0
daemons=()
dir=$(mktemp -d /tmp/vrix-fuse-XXXXXX)

fail() { echo "FAIL: $*"; case_failed=1; }

# bindfs in the foreground mirroring $1 at $2; its pid in $daemon.
mount_bindfs() {
    local under; under=$(stat -c %d "$2")
    bindfs -f -o "$SHORT_CACHE${3:+,$3}" "$1" "$2" & daemon=$!
    daemons+=("$daemon")
    for _ in $(seq 100); do
        [ "$(stat -c %d "$2" 2> /dev/null)" != "$under" ] && return 0
        sleep 0.1
    done
    fail "bindfs did not mount $2"; return 1
}

stop_daemon() {
    kill -STOP "$1"
    for _ in $(seq 100); do
        [ "$(awk '{print $3}' /proc/"$1"/stat)" = T ] && return 0
        sleep 0.01
    done
    fail "daemon $1 did not stop"
}

# A helper that maps $@; its pid in $helper once it says "ready".
start_helper() {
    coproc HELPER { exec "$mapper" "$@"; } 2> /dev/null
    helper=$HELPER_PID
    read -r -u "${HELPER[0]}" word || fail "helper for $* did not start"
}

# vrix -h with its output read through a pipe, as a script reads it; sets
# out, err, status and took (seconds). A hang is killed after 60 seconds.
run_vrix() {
    local start; start=$(date +%s%N)
    out=$(timeout -s KILL 60 "$vrix" -h 2> "$dir/err" | cat; exit "${PIPESTATUS[0]}")
    status=$?
    took=$(( ($(date +%s%N) - start) / 1000000000 ))
    err=$(cat "$dir/err")
    echo "status $status in $took s; vrix processes left: $(ps -o stat=,wchan= -C vrix | tr '\n' ' ')"
    printf '%s\n%s\n' "$out" "$err"
}

row_of() { awk -v p="$1" '$1 == p {print $3}' <<< "$out"; }

cleanup() {
    pkill -KILL -f "mkdir $dir" 2> /dev/null
    for d in "${daemons[@]}"; do kill -CONT "$d" 2> /dev/null; done
    pkill -KILL -f "$mapper" 2> /dev/null
    umount /dev/fuse 2> /dev/null
    for m in $(awk -v d="$dir" 'index($5, d) == 1 {print $5}' /proc/self/mountinfo | sort -r); do
        umount -l "$m"
    done
    for d in "${daemons[@]}"; do kill "$d" 2> /dev/null; wait "$d" 2> /dev/null; done
    daemons=()
    rm -rf "$dir"; dir=$(mktemp -d /tmp/vrix-fuse-XXXXXX)
}

# A lookup behind a mkdir that holds the directory's lock while it waits on
# the stopped daemon, for a name in no cache: on kernels that take that lock
# for a lookup, the worker sleeps uninterruptibly and cannot be killed. It
# is left behind, and neither vrix nor whoever reads its output waits for it.
case_uninterruptible() {
    mkdir -p "$dir/src" "$dir/mnt"
    mount_bindfs "$dir/src" "$dir/mnt" || return
    local d=$daemon
    cp "$testlib" "$dir/src/lib.so"
    start_helper --map "$dir/mnt/lib.so"
    local pid=$helper
    # renamed behind the mount's back: the kernel now names the mapping
    # "lib.so (deleted)" while the file still has its link, and that name
    # is looked up in the mount's root directory, not found in any cache
    mv "$dir/src/lib.so" "$dir/src/lib2.so"
    sleep 0.5
    stat "$dir/mnt/lib.so" > /dev/null 2>&1
    stop_daemon "$d"
    { mkdir "$dir/mnt/new" & } 2> /dev/null
    sleep 0.5
    run_vrix
    # the kernel marks the mapping deleted: its name not answering leaves
    # it with none
    [ "$status" = 2 ] || fail "uninterruptible: status $status: $out $err"
    [ "$(row_of "$pid")" = miss ] || fail "uninterruptible: helper not miss: $out"
    [ "$err" = "vrix: no answer for '$dir/mnt/lib.so' (process $pid) within 5 seconds" ] ||
        fail "uninterruptible: message: $err"
    [ "$took" -lt 15 ] || fail "uninterruptible: took $took s"
}

# A user's FUSE mount over a directory of the file system that holds other
# processes' files: the wait is charged to the FUSE mount, and a process
# that runs a replaced library elsewhere on that file system stays outd.
case_mounted_over() {
    mkdir -p "$dir/src" "$dir/home/dir" "$dir/opt"
    cp "$testlib" "$dir/home/dir/a.so"
    cp "$testlib" "$dir/home/dir/b.so"
    cp "$testlib" "$dir/opt/lib.so"
    start_helper --map "$dir/home/dir/a.so"; local a=$helper
    start_helper --map "$dir/home/dir/b.so"; local b=$helper
    start_helper --map "$dir/opt/lib.so"; local outd=$helper
    cp "$testlib" "$dir/opt/new.so" && mv "$dir/opt/new.so" "$dir/opt/lib.so"
    cp "$testlib" "$dir/src/a.so"
    mount_bindfs "$dir/src" "$dir/home/dir" nonempty || return
    sleep 0.5
    stop_daemon "$daemon"
    run_vrix
    [ "$(row_of "$outd")" = outd ] || fail "mounted over: replaced library not outd: $out $err"
    [ "$(row_of "$a")" = err ] && [ "$(row_of "$b")" = err ] ||
        fail "mounted over: helpers under the mount not err: $out"
    local lines; lines=$(grep -c . <<< "$err")
    [ "$lines" = 1 ] || fail "mounted over: $lines lines: $err"
    [ "$status" = 1 ] || fail "mounted over: status $status"
}

# Three stalled mounts: the run waits for two bounds in all, then asks no
# FUSE file system that has not answered.
case_three_mounts() {
    local pids=()
    for m in 1 2 3; do
        mkdir -p "$dir/src$m" "$dir/mnt$m"
        cp "$testlib" "$dir/src$m/lib.so"
        mount_bindfs "$dir/src$m" "$dir/mnt$m" || return
        start_helper --map "$dir/mnt$m/lib.so"
        pids+=("$helper")
    done
    sleep 0.5
    for d in "${daemons[@]}"; do stop_daemon "$d"; done
    run_vrix
    for p in "${pids[@]}"; do
        [ "$(row_of "$p")" = err ] || fail "three mounts: $p not err: $out"
    done
    [ "$took" -lt 14 ] || fail "three mounts: took $took s"
    [ "$(grep -c "no answer for" <<< "$err")" = 2 ] || fail "three mounts: messages: $err"
    [ "$(tail -n 1 <<< "$err")" = "vrix: waited 10 seconds in all on file systems for the processes of root and system users: names the kernel has not cached are not asked again for them" ] ||
        fail "three mounts: no word of the allowance: $err"
}

# A process of another mount namespace, on a FUSE mount of that namespace
# only: the message names the file as the process names it, not by the
# handle through which vrix reaches that namespace's root.
case_other_namespace() {
    mkdir -p "$dir/src" "$dir/mnt"
    cp "$testlib" "$dir/src/lib.so"
    unshare -m --propagation private bash -c '
        bindfs -f -o "$3" "$1/src" "$1/mnt" & echo $! > "$1/daemon.pid"
        for _ in $(seq 100); do [ -e "$1/mnt/lib.so" ] && break; sleep 0.1; done
        "$2" --map "$1/mnt/lib.so" > "$1/ready" & echo $! > "$1/helper.pid"
        wait' x "$dir" "$mapper" "$SHORT_CACHE" 2> /dev/null &
    for _ in $(seq 100); do grep -qs ready "$dir/ready" && break; sleep 0.1; done
    local pid d; pid=$(cat "$dir/helper.pid") d=$(cat "$dir/daemon.pid")
    daemons+=("$d")
    sleep 0.5
    stop_daemon "$d"
    run_vrix
    [ "$(row_of "$pid")" = err ] || fail "other namespace: helper not err: $out"
    [ "$err" = "vrix: no answer for '$dir/mnt/lib.so' (process $pid) within 5 seconds" ] ||
        fail "other namespace: message: $err"
}

# A FUSE file system mounted inside a user namespace of nobody's refuses
# every process outside it, root included: vrix asks from inside, with the
# process's own credentials, and finds the truth there.
case_user_namespace() {
    local u=$dir/uns
    mkdir -p "$u/src" "$u/mnt"
    cp "$testlib" "$u/src/a.so"
    cp "$testlib" "$u/src/b.so"
    chmod -R a+rX "$dir" && chmod 1777 "$u"
    # a device node that nobody may open, in this mount namespace only: where
    # /dev/fuse is root's alone, it stands over it
    mkdir "$dir/dev" && mount -t tmpfs -o mode=755 none "$dir/dev" &&
        mknod -m 666 "$dir/dev/fuse" c 10 229 && mount --bind "$dir/dev/fuse" /dev/fuse
    setpriv --reuid=65534 --regid=65534 --clear-groups unshare -Urm bash -c '
        bindfs -f -o "$3" "$1/src" "$1/mnt" & echo $! > "$1/daemon.pid"
        for _ in $(seq 100); do [ -e "$1/mnt/a.so" ] && break; sleep 0.1; done
        "$2" --map "$1/mnt/a.so" > "$1/a.ready" & echo $! > "$1/a.pid"
        "$2" --map "$1/mnt/b.so" > "$1/b.ready" & echo $! > "$1/b.pid"
        wait' x "$u" "$mapper" "$SHORT_CACHE" 2> /dev/null &
    for _ in $(seq 100); do
        grep -qs ready "$u/a.ready" && grep -qs ready "$u/b.ready" && break
        sleep 0.1
    done
    local a b; a=$(cat "$u/a.pid") b=$(cat "$u/b.pid")
    daemons+=("$(cat "$u/daemon.pid")")
    cp "$testlib" "$u/src/new.so" && mv "$u/src/new.so" "$u/src/a.so"
    sleep 0.5
    run_vrix
    [ "$(row_of "$a")" = outd ] || fail "user namespace: replaced library not outd: $out $err"
    [ -z "$(row_of "$b")" ] || fail "user namespace: untouched library reported: $out"
    [ "$status" = 2 ] && [ -z "$err" ] || fail "user namespace: status $status: $err"
}

# A user namespace of nobody's as above: /dev/fuse open to it, $1/src
# mirrored by bindfs at $1/mnt, and the rest of the command line ($2...) run
# inside once it is mounted. The daemon's pid in $daemon.
user_namespace() {
    local u=$1; shift
    chmod -R a+rX "$dir" && chmod 1777 "$u"
    mkdir -p "$dir/dev" && mount -t tmpfs -o mode=755 none "$dir/dev" &&
        mknod -m 666 "$dir/dev/fuse" c 10 229 && mount --bind "$dir/dev/fuse" /dev/fuse
    setpriv --reuid=65534 --regid=65534 --clear-groups unshare -Urm bash -c '
        u=$1 m=$2 cache=$3; shift 3
        bindfs -f -o "$cache" "$u/src" "$u/mnt" & echo $! > "$u/daemon.pid"
        for _ in $(seq 300); do [ -e "$u/mnt/a.so" ] && break; sleep 0.1; done
        eval "$@"
        wait' x "$u" "$mapper" "$SHORT_CACHE" "$@" 2> /dev/null &
    for _ in $(seq 300); do [ -s "$u/daemon.pid" ] && break; sleep 0.1; done
    daemon=$(cat "$u/daemon.pid")
    daemons+=("$daemon")
}

# waits for "ready" in each file named (a loaded machine may take long)
wait_ready() {
    for f in "$@"; do
        for _ in $(seq 300); do grep -qs ready "$f" && break; sleep 0.1; done
        grep -qs ready "$f" || fail "not ready: $f"
    done
}

# A file of the host bind-mounted over a name inside a FUSE mount of a user
# namespace, as podman binds its init: replaced on the host, the mapped file
# has no link left, and the process must restart, whatever the process
# before it needed. Then a process that mapped files of the host and joined
# a container's mount namespace (an engine's exec), scanned after one whose
# lookups needed the helper: its files are the host's, and untouched.
case_helper_judges_as_any_lookup() {
    local u=$dir/uns
    mkdir -p "$u/src" "$u/mnt" "$u/host" "$dir/c"
    cp "$testlib" "$u/src/a.so" && : > "$u/src/init.so" && cp "$testlib" "$u/host/init.so"
    cp "$testlib" "$dir/host.so"
    # shellcheck disable=SC2016
    user_namespace "$u" 'mount --bind "$u/host/init.so" "$u/mnt/init.so" &&
        { "$m" --map "$u/mnt/a.so" > "$u/a.ready" & echo $! > "$u/a.pid"; } &&
        sleep 0.2 && { "$m" --map "$u/mnt/init.so" > "$u/init.ready" & echo $! > "$u/init.pid"; }'
    wait_ready "$u/a.ready" "$u/init.ready"
    unshare --mount --propagation private bash -c '
        mount -t tmpfs tmpfs "$0" || exit
        for f in "$1" $(ldd "$1" | grep -o "/[^ ]*"); do
            mkdir -p "$0$(dirname "$f")" && cp "$f" "$0$f" || exit
        done
        mkdir "$0/old" && cd "$0" && pivot_root . old && exec "$1"' "$dir/c" "$mapper" \
        > "$dir/c.ready" 2> /dev/null &
    local container=$!
    wait_ready "$dir/c.ready"
    "$mapper" --map "$dir/host.so" --then-join "$container" > "$dir/joined.ready" 2> /dev/null &
    local joined=$!
    wait_ready "$dir/joined.ready"
    local init; init=$(cat "$u/init.pid")
    cp "$testlib" "$u/host/new.so" && mv "$u/host/new.so" "$u/host/init.so"
    run_vrix
    [ "$out" = "$(printf '%6d %6d miss %s' "$init" 0 "$mapper")" ] ||
        fail "helper: want $init alone, miss (a.so: $(cat "$u/a.pid"), joined: $joined): $out $err"
    [ "$status" = 2 ] && [ -z "$err" ] || fail "helper: status $status: $err"
}

# The helper holds the process's authority and nothing of ours: run with
# groups of its own, vrix's helper has none of them, and no descriptor but
# its socket. Held up in a file system that does not answer, it ends with
# vrix's worker.
case_helper_holds_nothing_of_ours() {
    local u=$dir/uns
    mkdir -p "$u/src" "$u/mnt"
    cp "$testlib" "$u/src/a.so"
    # shellcheck disable=SC2016
    user_namespace "$u" '{ "$m" --map "$u/mnt/a.so" > "$u/a.ready" & echo $! > "$u/a.pid"; }'
    wait_ready "$u/a.ready"
    local a; a=$(cat "$u/a.pid")
    cp "$testlib" "$u/src/new.so" && mv "$u/src/new.so" "$u/src/a.so"
    sleep 0.5
    stop_daemon "$daemon"
    setpriv --groups 4,42,4711 "$vrix" -h > "$dir/out" 2> "$dir/err" &
    local v=$! h=""
    local ours; ours=$(readlink /proc/self/ns/user)
    for _ in $(seq 100); do
        # the helper: a vrix in the process's user namespace
        for p in $(pgrep -x vrix); do
            local theirs; theirs=$(readlink /proc/"$p"/ns/user 2> /dev/null)
            [ -n "$theirs" ] && [ "$theirs" != "$ours" ] && h=$p
        done
        [ -n "$h" ] && break
        sleep 0.05
    done
    [ -n "$h" ] || { wait "$v"; fail "no helper seen: $(cat "$dir/out" "$dir/err")"; return; }
    local groups fds
    groups=$(awk '/^Groups:/ {$1 = ""; print}' /proc/"$h"/status)
    fds=$(for f in /proc/"$h"/fd/*; do readlink "$f" | sed 's/:.*//'; done | tr '\n' ' ')
    [ -z "${groups// /}" ] || fail "helper groups: $groups"
    [ "$fds" = "socket " ] || fail "helper descriptors: $fds"
    wait "$v"
    status=$?
    err=$(cat "$dir/err")
    [ "$status" = 1 ] || fail "helper: status $status: $(cat "$dir/out") $err"
    [ "$err" = "vrix: no answer for '$u/mnt/a.so' (process $a) within 5 seconds" ] ||
        fail "helper: message: $err"
    sleep 0.5
    [ ! -e /proc/"$h" ] || grep -q '^State:.*Z' /proc/"$h"/status ||
        fail "helper outlived vrix: $(grep ^State: /proc/"$h"/status)"
}

cases=(${STALLED_FUSE_CASES:-case_uninterruptible case_mounted_over case_three_mounts
        case_other_namespace case_user_namespace case_helper_judges_as_any_lookup
        case_helper_holds_nothing_of_ours})
for c in "${cases[@]}"; do
    echo "== $c"
    case_failed=0
    "$c"
    failures=$((failures + case_failed))
    cleanup
done
rm -rf "$dir"
echo "$((${#cases[@]} - failures)) passed, $failures failed"
[ "$failures" = 0 ]
