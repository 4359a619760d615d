#include "file_identity.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>

#include <string>
#include <unordered_map>

#include "lookup.h"
#include "proc_files.h"

// Local file systems that give each file in use one inode number on one
// device, which maps and stat() both show. Not btrfs (inode numbers per
// subvolume, the superblock's device in maps), not overlays (the layer's
// file in maps, the overlay's through stat()), not FUSE or network file
// systems (whose numbers are the server's to choose).
static const char *const UNIQUE_INODES[] = {"ext2", "ext3", "ext4", "xfs", "tmpfs", "f2fs", "jfs"};


static bool unique_type(const char *type)
{
    for (const char *known : UNIQUE_INODES) {
        if (strcmp(type, known) == 0)
            return true;
    }
    return false;
}

// "ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [TAGS...] - TYPE ..."
static void read_devices(struct maps_agreement *ma)
{
    ma->devices_read = true;
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
            auto added = ma->devices.emplace((uint64_t)makedev(major, minor), unique_type(type));
            if (!added.second && added.first->second != unique_type(type))
                added.first->second = false;
        }
        if (nl == nullptr)
            break;
        line = nl + 1;
    }
    free(text);
}

static int unique_inodes(struct maps_agreement *ma, uint64_t dev)
{
    if (ma->devices_read && dev == ma->last_dev)
        return ma->last_unique;
    if (!ma->devices_read)
        read_devices(ma);
    auto found = ma->devices.find(dev);
    ma->last_dev = dev;
    ma->last_unique = found != ma->devices.end() && found->second;
    return ma->last_unique;
}

int maps_agree(struct maps_agreement *ma, const struct proc_view *view,
               const struct kinfo_vmentry *kve)
{
    if (view->prefix_len != 0)
        return 0;
    if (!unique_inodes(ma, kve->kve_vn_fsid) || ends_with_deleted_marker(kve->kve_path) ||
        strchr(kve->kve_path, '\n') != nullptr)
        return 0;
    // the run's own lookup of the name, which the verdict asks anyway
    struct file_id now = look_up_path(kve->kve_path);
    return now.error == 0 && now.dev == kve->kve_vn_fsid && now.ino == kve->kve_vn_fileid &&
           now.nlink != 0;
}
