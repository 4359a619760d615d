#ifndef VRIX_FILE_IDENTITY_H
#define VRIX_FILE_IDENTITY_H

// A mapped file's identity: the file a mapping holds as stat() would give
// it (map_files), kernel memory told apart by its device, the kernel's
// " (deleted)" marker, and the names that maps' own numbers already settle.
// What is learnt for the run lives in the structs below, which the handle
// owns and hands in.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "platform.h"
#include "proc_view.h"

// The file a mapping holds, as stat() of its path gives it while the file
// is untouched there.
struct mapped_file {
    uint64_t dev;
    uint64_t ino;
    uint64_t nlink;  // 0 once the file is deleted or replaced
    uint64_t mnt_id;  // the mount that holds it, as mountinfo numbers mounts
    int has_mnt_id;   // 0 on kernels before 5.8
};

// A file is known by the numbers maps gives it, the mount namespace it was
// seen in and its name: two containers of one image share the inodes of
// their lower layer, and so may two overlays in one namespace, but not
// their names. The numbers are hashed, the name only compared, which keeps
// the cost per mapping low. Bounded; when full it starts over.
struct raw_id {
    const struct mount_ns *ns;
    uint64_t dev;
    uint64_t ino;
    bool operator==(const raw_id &o) const { return ns == o.ns && dev == o.dev && ino == o.ino; }
};

struct raw_id_hash {
    size_t operator()(const raw_id &id) const
    {
        return std::hash<uint64_t>()(id.ino * 0x9e3779b97f4a7c15ULL ^ id.dev) ^
               std::hash<const void *>()(id.ns);
    }
};

struct named_file {
    std::string name;
    mapped_file file;
};

// The mapped files learnt in the run, once per file, mount namespace and
// name.
struct mapped_files {
    std::unordered_map<raw_id, std::vector<named_file>, raw_id_hash> files;
    size_t known_files;
};

// The mapped file of kve as learnt before in the namespace in view: 1 with
// *file, or 0.
int mapped_file_known(const struct mapped_files *files, const struct proc_view *view,
                      const struct kinfo_vmentry *kve, struct mapped_file *file);

// Remembers the mapped file of kve for the rest of the run.
void mapped_file_learnt(struct mapped_files *files, const struct proc_view *view,
                        const struct kinfo_vmentry *kve, const struct mapped_file *file);

// Forgets what was learnt of the mapped file of kve (its mount, say, which
// another mapping of the same file need not share).
void forget_mapped_file(struct mapped_files *files, const struct proc_view *view,
                        const struct kinfo_vmentry *kve);

// The link of the process directory that leads to the mapped file of kve
// ("map_files/START-END"), read through /proc/PID/map_files, which leads to
// the file's own path object: on btrfs subvolumes and overlays the numbers
// in maps are not the ones stat() gives.
void mapped_file_entry(const struct kinfo_vmentry *kve, char *name, size_t size);

// The file that the link name of the process directory leads to
// ("map_files/START-END", "exe"); 0, or -1 with errno (EPERM or EACCES: the
// link is closed to us; ENOENT when the mapping or the process is gone).
// LINK_REFUSED when the file's own system refuses us (FUSE in a user
// namespace): *path_fd is then the link opened O_PATH, through which the
// process itself can be asked; the caller closes it.
enum { LINK_REFUSED = 1 };
int stat_proc_link(const struct proc_view *view, const char *name, struct mapped_file *file,
                   int *path_fd);

// The name of the mapped file as the kernel gives it, unescaped, into buf;
// its length, or -1 with errno.
ssize_t mapped_file_name(struct proc_view *view, const struct kinfo_vmentry *kve, char *buf,
                         size_t size);

// The kernel keeps memory that is no file on disk on internal mounts of its
// own: memfd, System V and shared anonymous memory on one, the anonymous
// memory of each huge page size on another. Their devices are learnt by
// asking the kernel for such a file (memfd_create(), with MFD_HUGETLB for
// each huge page size), once per run. Any other device holds files, whether
// or not some mountinfo lists it.
struct kernel_memory {
    std::vector<uint64_t> stat_devices, maps_devices;
    bool stat_probed, maps_probed;
};

// Whether dev, as stat() of a mapped file gives it (map_files), is one of
// those mounts.
int is_kernel_memory(struct kernel_memory *km, uint64_t dev);

// The same for dev as maps gives it, for runs that cannot read map_files:
// the probes are mapped in vrix itself and their devices read from its own
// maps, since maps and stat() may not agree on them (huge pages).
int is_kernel_memory_in_maps(struct kernel_memory *km, uint64_t dev);

// The kernel marks a file name " (deleted)" once the file is unlinked. Cuts
// the marker from path unless the marked name itself still names the file
// with the given device and inode, found without following a symbolic link
// (a live file may really be called so); nlink is the file's link count, or
// LINKS_UNKNOWN. 1 when the marker was cut: the kernel's word that the
// mapped file's name is gone.
static const uint64_t LINKS_UNKNOWN = UINT64_MAX;
int strip_deleted_marker(char *path, uint64_t dev, uint64_t ino, uint64_t nlink);

enum { DELETED_MARKER_LEN = 10 };  // strlen(" (deleted)")
int ends_with_deleted_marker(const char *path);

struct maps_agreement {
    // Our own mount table's devices, read once a run: a device mounted
    // since is not in it, and is not trusted.
    std::unordered_map<uint64_t, bool> devices;
    bool devices_read;
    // most mappings are of files on the device of the one before
    uint64_t last_dev;
    bool last_unique;
};

// Whether the file at the mapping's name is the mapped file by maps' own
// numbers, so that map_files need not be asked: the same device and inode
// on a file system that gives each file in use its own inode number on one
// device, shown alike by maps and stat(); in our own mount namespace, where
// the kernel names the file from our root; a name as the kernel gave it
// (no " (deleted)", no newline that maps may have escaped); links left.
// The lookup is the verdict's own, remembered for the run.
int maps_agree(struct maps_agreement *ma, const struct proc_view *view,
               const struct kinfo_vmentry *kve);

#endif
