#include "maps_agree.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>

#include <string>
#include <unordered_map>

#include "lookup.h"

// Local file systems that give each file in use one inode number on one
// device, which maps and stat() both show. Not btrfs (inode numbers per
// subvolume, the superblock's device in maps), not overlays (the layer's
// file in maps, the overlay's through stat()), not FUSE or network file
// systems (whose numbers are the server's to choose).
static const char *const UNIQUE_INODES[] = {"ext2", "ext3", "ext4", "xfs", "tmpfs", "f2fs", "jfs"};

// Our own mount table's devices, read once a run: a device mounted since
// is not in it, and is not trusted.
static std::unordered_map<uint64_t, bool> devices;
static bool devices_read;

static bool unique_type(const char *type)
{
    for (const char *known : UNIQUE_INODES) {
        if (strcmp(type, known) == 0)
            return true;
    }
    return false;
}

// "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - TYPE ..."
static void read_devices(void)
{
    devices_read = true;
    char *text = nullptr;
    if (read_whole_proc_file(AT_FDCWD, "/proc/self/mountinfo", &text) < 0)
        return;
    for (char *line = text; *line != '\0';) {
        char *nl = strchr(line, '\n');
        if (nl != nullptr)
            *nl = '\0';
        unsigned major, minor;
        char type[64];
        const char *dash = strstr(line, " - ");
        if (sscanf(line, "%*u %*u %u:%u", &major, &minor) == 2 && dash != nullptr &&
            sscanf(dash, " - %63s", type) == 1) {
            auto added = devices.emplace((uint64_t)makedev(major, minor), unique_type(type));
            if (!added.second && added.first->second != unique_type(type))
                added.first->second = false;
        }
        if (nl == nullptr)
            break;
        line = nl + 1;
    }
    free(text);
}

static int unique_inodes(uint64_t dev)
{
    // most mappings are of files on the device of the one before
    static uint64_t last_dev;
    static bool last_unique;
    if (devices_read && dev == last_dev)
        return last_unique;
    if (!devices_read)
        read_devices();
    auto found = devices.find(dev);
    last_dev = dev;
    last_unique = found != devices.end() && found->second;
    return last_unique;
}

int maps_agree(const struct proc_view *view, const struct kinfo_vmentry *kve)
{
    if (view->prefix_len != 0)
        return 0;
    if (!unique_inodes(kve->kve_vn_fsid) || ends_with_deleted_marker(kve->kve_path) ||
        strchr(kve->kve_path, '\n') != nullptr)
        return 0;
    // the run's own lookup of the name, which the verdict asks anyway
    struct file_id now = look_up_path(kve->kve_path);
    return now.error == 0 && now.dev == kve->kve_vn_fsid && now.ino == kve->kve_vn_fileid &&
           now.nlink != 0;
}

void forget_maps_agreement(void)
{
    devices.clear();
    devices_read = false;
}
