#include <string.h>
#include <sys/stat.h>

#include "linux_procstat.h"

static const char DELETED_MARKER[] = " (deleted)";
static const size_t MARKER_LEN = sizeof DELETED_MARKER - 1;

int ends_with_deleted_marker(const char *path)
{
    size_t len = strlen(path);
    return len >= MARKER_LEN && memcmp(path + len - MARKER_LEN, DELETED_MARKER, MARKER_LEN) == 0;
}

void strip_deleted_marker(char *path, dev_t dev, ino_t ino)
{
    if (!ends_with_deleted_marker(path))
        return;
    struct stat sb;
    if (stat(path, &sb) == 0 && sb.st_dev == dev && sb.st_ino == ino)
        return;
    path[strlen(path) - MARKER_LEN] = '\0';
}
