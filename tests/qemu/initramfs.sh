# Building what the virtual machine runs from. Sourced by run, whose here,
# vrix, helper and work it uses.

# btrfs_image FILE: an empty btrfs of 16 MB (mixed block groups allow that
# little); the guest mounts it through a loop device.
btrfs_image() {
    truncate -s 16M "$1" && PATH=$PATH:/sbin:/usr/sbin mkfs.btrfs -q --mixed "$1" > /dev/null
}

# make_initramfs ROOT VERSION OUT: busybox, vrix, the helper, the checks, the
# btrfs image and the kernel's overlay, loop and btrfs modules,
# uncompressed (busybox's insmod reads plain files), numbered in load order.
make_initramfs() {
    local root=$1 version=$2 out=$3 stage modules module n=10
    stage=$(mktemp -d -p "$work") || return 1
    mkdir -p "$stage"/{bin,dev,proc,sys,tmp,modules,images,s} || return 1
    cp /bin/busybox "$stage/bin/busybox" &&
        cp "$vrix" "$stage/bin/vrix" &&
        cp "$helper" "$stage/bin/vrix-vm-helper" &&
        cp "$here/guest_init" "$stage/init" &&
        cp "$here/guest_checks.sh" "$stage/checks.sh" &&
        cp "$work/btrfs.img" "$stage/images/btrfs.img" || return 1
    modules=$(module_order "$root" "$version" "${MODULES[@]}") || return 1
    for module in $modules; do
        case $module in
            *.xz) xz -dc "$module" > "$stage/modules/$n-$(basename "$module" .xz)" ;;
            *) cp "$module" "$stage/modules/$n-$(basename "$module")" ;;
        esac || return 1
        n=$((n + 1))
    done
    (cd "$stage" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 > "$out"
}
