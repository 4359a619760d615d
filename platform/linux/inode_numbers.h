#ifndef VRIX_INODE_NUMBERS_H
#define VRIX_INODE_NUMBERS_H

#include <stdint.h>

// Whether the file system on device dev, one of our own namespace's mounts,
// gives each file in use an inode number that no other file on dev has at
// the same time, and is known by the same device in maps and through
// stat(): there, the same device and inode are the same file. 0 for a
// device the mount table does not list.
int unique_inodes(uint64_t dev);

void forget_inode_numbers(void);

#endif
