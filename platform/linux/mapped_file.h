#ifndef VRIX_MAPPED_FILE_H
#define VRIX_MAPPED_FILE_H

#include <stddef.h>
#include <stdint.h>

#include "linux_procstat.h"

// The file a mapping holds, as stat() of its path gives it while the file
// is untouched there.
struct mapped_file {
    uint64_t dev;
    uint64_t ino;
    uint64_t nlink;  // 0 once the file is deleted or replaced
    uint64_t mnt_id;  // the mount that holds it, as mountinfo numbers mounts
    int has_mnt_id;   // 0 on kernels before 5.8
};

// The mapped file of kve (read through /proc/PID/map_files, which leads to
// the file's own path object: on btrfs subvolumes and overlays the numbers
// in maps are not the ones stat() gives). Learnt once per file, mount
// namespace and run. 0, or -1 with errno (EPERM or EACCES without root,
// ENOENT when the mapping or the process is gone).
int mapped_file_of(struct proc_view *view, const struct kinfo_vmentry *kve,
                   struct mapped_file *file);

// The name of the mapped file as the kernel gives it, unescaped, into buf;
// its length, or -1 with errno.
ssize_t mapped_file_name(struct proc_view *view, const struct kinfo_vmentry *kve, char *buf,
                         size_t size);

// The file that the link name of the process directory leads to
// ("map_files/START-END", "exe"), as the process would see it; 0, or -1 with
// errno (EPERM or EACCES: the link is closed to us; EIO: its file system
// refuses us and no helper could ask for us).
int stat_proc_link(struct proc_view *view, const char *name, struct mapped_file *file);

// Forgets what was learnt of the mapped file of kve (its mount, say, which
// another mapping of the same file need not share).
void forget_mapped_file(struct proc_view *view, const struct kinfo_vmentry *kve);

void forget_mapped_files(void);

#endif
