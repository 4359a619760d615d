# Finding, downloading and unpacking a Debian kernel package. Sourced by run.

# pick_kernel REGEX: the newest package whose name matches, fetching the
# archive's lists first when none does.
pick_kernel() {
    local found
    found=$(apt-cache search --names-only "$1" | cut -d' ' -f1 | sort -V | tail -n 1)
    if [ -z "$found" ]; then
        apt-get update > /dev/null 2>&1
        found=$(apt-cache search --names-only "$1" | cut -d' ' -f1 | sort -V | tail -n 1)
    fi
    [ -n "$found" ] && echo "$found"
}

# fetch_kernel PACKAGE CACHE: the directory PACKAGE is unpacked in, with its
# modules' dependencies computed. Kept in CACHE across runs.
fetch_kernel() {
    local package=$1 root="$2/$1"
    if [ ! -e "$root/.done" ]; then
        rm -rf "$root" && mkdir -p "$root" || return 1
        (cd "$root" && apt-get download "$package" > download.log 2>&1) || {
            cat "$root/download.log" >&2
            return 1
        }
        dpkg-deb -x "$root"/*.deb "$root" && rm "$root"/*.deb || return 1
        prune_kernel "$root" || return 1
        touch "$root/.done"
    fi
    echo "$root"
}

# prune_kernel ROOT: computes the modules' dependencies, then keeps of the
# modules only those the machine loads (the package unpacks to 100 MB).
prune_kernel() {
    local version keep
    version=$(ls "$1/lib/modules") &&
        PATH=$PATH:/sbin:/usr/sbin depmod -b "$1" "$version" &&
        keep=$(module_order "$1" "$version" "${MODULES[@]}") || return 1
    find "$1/lib/modules/$version/kernel" -type f | grep -vxF "$keep" | xargs -r rm -f
    rm -rf "${1:?}/usr"
}

# module_order ROOT VERSION MODULE...: the files of MODULE... and of what they
# need, each after what it needs (modules.dep lists a module's needs so that
# loading them from the last one backwards works).
module_order() {
    local dir="$1/lib/modules/$2" name line entry seen=" "
    shift 2
    for name in "$@"; do
        line=$(grep -E "/$name\.ko(\.xz)?:" "$dir/modules.dep") || return 1
        for entry in $(echo "${line#*:}" | tr ' ' '\n' | tac) "${line%%:*}"; do
            case $seen in *" $entry "*) continue ;; esac
            seen+="$entry "
            echo "$dir/$entry"
        done
    done
}

# forget_other_kernels CACHE PACKAGE...: drops the kernels the archive has
# since superseded.
forget_other_kernels() {
    local cache=$1 dir
    shift
    for dir in "$cache"/linux-image-*; do
        [ -d "$dir" ] || continue
        case " $* " in *" ${dir##*/} "*) ;; *) rm -rf "$dir" ;; esac
    done
}
