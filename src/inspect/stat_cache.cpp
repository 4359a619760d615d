#include "stat_cache.h"

#include <errno.h>
#include <sys/stat.h>

#include <string>
#include <unordered_map>

// Most processes map the same libraries: within one run each path is looked
// up once. Paths of processes in other mount namespaces lead through their
// own /proc/PID/root, so they never share an entry with ours. The cache is
// bounded; when full it starts over.
enum { STAT_CACHE_LIMIT = 8192 };

static std::unordered_map<std::string, struct file_id> cache;

int cached_stat(const char *path, struct file_id *id)
{
    // one key buffer for every lookup: no allocation per mapping
    static std::string key;
    key.assign(path);
    auto found = cache.find(key);
    if (found != cache.end()) {
        *id = found->second;
    } else {
        struct stat sb;
        id->error = stat(path, &sb) == 0 ? 0 : errno;
        id->dev = id->error == 0 ? (uint64_t)sb.st_dev : 0;
        id->ino = id->error == 0 ? (uint64_t)sb.st_ino : 0;
        if (cache.size() >= STAT_CACHE_LIMIT)
            cache.clear();
        cache.emplace(key, *id);
    }
    if (id->error != 0)
        return errno = id->error, -1;
    return 0;
}

void stat_cache_clear(void)
{
    cache.clear();
}
