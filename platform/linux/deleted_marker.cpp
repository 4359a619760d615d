#include <string.h>
#include <sys/stat.h>

#include <string>
#include <unordered_map>

#include "linux_procstat.h"

static const char DELETED_MARKER[] = " (deleted)";
static const size_t MARKER_LEN = sizeof DELETED_MARKER - 1;

int ends_with_deleted_marker(const char *path)
{
    size_t len = strlen(path);
    return len >= MARKER_LEN && memcmp(path + len - MARKER_LEN, DELETED_MARKER, MARKER_LEN) == 0;
}

// Many processes map the same deleted library: what a marked name leads to
// is looked up once per handle.
struct marked_file {
    int exists;
    dev_t dev;
    ino_t ino;
};
static std::unordered_map<std::string, marked_file> marked_files;

void forget_marked_names(void)
{
    marked_files.clear();
}

void strip_deleted_marker(char *path, dev_t dev, ino_t ino)
{
    if (!ends_with_deleted_marker(path))
        return;
    static std::string key;
    key.assign(path);
    auto found = marked_files.find(key);
    if (found == marked_files.end()) {
        struct stat sb;
        marked_file file = {stat(path, &sb) == 0, sb.st_dev, sb.st_ino};
        found = marked_files.emplace(key, file).first;
    }
    const marked_file &file = found->second;
    if (file.exists && file.dev == dev && file.ino == ino)
        return;
    path[strlen(path) - MARKER_LEN] = '\0';
}
