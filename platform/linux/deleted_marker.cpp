#include <string.h>

#include "file_identity.h"
#include "lookup.h"

static const char DELETED_MARKER[] = " (deleted)";

int ends_with_deleted_marker(const char *path)
{
    size_t len = strlen(path);
    return len >= DELETED_MARKER_LEN &&
           memcmp(path + len - DELETED_MARKER_LEN, DELETED_MARKER, DELETED_MARKER_LEN) == 0;
}

// A file without links is gone for certain. One that still has links (or
// whose count is unknown) may really be named so, or be an overlay's file
// replaced above its layer: the marked name then decides. It is looked up
// like any mapped path: remembered for the run (many processes map the same
// deleted library) and bounded in time, so that a file system that does not
// answer cannot stall the scan here either.
void strip_deleted_marker(char *path, uint64_t dev, uint64_t ino, uint64_t nlink)
{
    if (!ends_with_deleted_marker(path))
        return;
    if (nlink != 0) {
        struct file_id now = look_up_path(path);
        if (now.error == 0 && now.dev == dev && now.ino == ino)
            return;
    }
    path[strlen(path) - DELETED_MARKER_LEN] = '\0';
}
