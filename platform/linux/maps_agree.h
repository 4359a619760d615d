#ifndef VRIX_MAPS_AGREE_H
#define VRIX_MAPS_AGREE_H

#include "linux_procstat.h"

// Whether the file at the mapping's name is the mapped file by maps' own
// numbers, so that map_files need not be asked: the same device and inode
// on a file system that gives each file in use its own inode number on one
// device, shown alike by maps and stat(); in our own mount namespace, where
// the kernel names the file from our root; a name as the kernel gave it
// (no " (deleted)", no newline that maps may have escaped); links left.
// The lookup is the verdict's own, remembered for the run.
int maps_agree(const struct proc_view *view, const struct kinfo_vmentry *kve);

void forget_maps_agreement(void);

#endif
