#include <string.h>

#include "linux_procstat.h"
#include "stat_cache.h"

static const char DELETED_MARKER[] = " (deleted)";

int ends_with_deleted_marker(const char *path)
{
    size_t len = strlen(path);
    return len >= DELETED_MARKER_LEN &&
           memcmp(path + len - DELETED_MARKER_LEN, DELETED_MARKER, DELETED_MARKER_LEN) == 0;
}

// The marked name is looked up like any mapped path: remembered for the run
// (many processes map the same deleted library) and bounded in time, so that
// a file system that does not answer cannot stall the scan here either.
void strip_deleted_marker(char *path, dev_t dev, ino_t ino)
{
    if (!ends_with_deleted_marker(path))
        return;
    struct lookup_request want = {path, (uint64_t)dev};
    struct file_id now;
    stat_paths(&want, 1, &now);
    if (now.error == 0 && now.dev == (uint64_t)dev && now.ino == (uint64_t)ino)
        return;
    path[strlen(path) - DELETED_MARKER_LEN] = '\0';
}
