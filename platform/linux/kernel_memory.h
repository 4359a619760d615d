#ifndef VRIX_KERNEL_MEMORY_H
#define VRIX_KERNEL_MEMORY_H

#include <stdint.h>

// The kernel keeps memory that is no file on disk on internal mounts of its
// own: memfd, System V and shared anonymous memory on one, the anonymous
// memory of each huge page size on another. Their devices are learnt by
// asking the kernel for such a file (memfd_create(), with MFD_HUGETLB for
// each huge page size), once per run. Any other device holds files, whether
// or not some mountinfo lists it.

// Whether dev, as stat() of a mapped file gives it (map_files), is one of
// those mounts.
int is_kernel_memory(uint64_t dev);

// The same for dev as maps gives it, for runs that cannot read map_files:
// the probes are mapped in vrix itself and their devices read from its own
// maps, since maps and stat() may not agree on them (huge pages).
int is_kernel_memory_in_maps(uint64_t dev);

void forget_kernel_memory(void);

#endif
