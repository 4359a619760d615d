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

// Whether the mapped file itself stands at path, found without following a
// symbolic link: a link there, or a file reached through one, is anyone's
// (a user's link at "lib.so (deleted)" in a directory they may write, say,
// that leads to another link of root's replaced library). The usual lookup
// is asked first, as it is remembered for the run and mostly finds nothing.
static bool mapped_file_at(const char *path, uint64_t dev, uint64_t ino)
{
    struct file_id now = look_up_path(path);
    if (now.error != 0 || now.dev != dev || now.ino != ino)
        return false;
    now = look_up_unfollowed(path);
    return now.error == 0 && now.dev == dev && now.ino == ino;
}

// A file without links is gone for certain. One that still has links (or
// whose count is unknown) may really be named so, or be an overlay's file
// replaced above its layer: the marked name then decides, looked up like
// any mapped path (remembered for the run and bounded in time, so that a
// file system that does not answer cannot stall the scan here either).
int strip_deleted_marker(char *path, uint64_t dev, uint64_t ino, uint64_t nlink)
{
    if (!ends_with_deleted_marker(path))
        return 0;
    if (nlink != 0 && mapped_file_at(path, dev, ino))
        return 0;
    path[strlen(path) - DELETED_MARKER_LEN] = '\0';
    return 1;
}
