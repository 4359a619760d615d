#include "lookup.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <unordered_map>

#include "watch.h"

// Most processes map the same libraries: within one run each path is looked
// up once. A path names one file for the whole run: the Linux layer reaches
// another mount namespace through a handle held for the run, so its paths
// never share an entry with ours. The cache is bounded; when full it starts
// over.
enum { STAT_CACHE_LIMIT = 8192 };

stat_call lookup_call = stat;

static std::unordered_map<std::string, struct file_id> cache;

static const struct file_id NO_ANSWER = {ETIMEDOUT, 0, 0};

static const struct file_id *known(const char *path)
{
    // one key buffer for every lookup: no allocation per mapping
    static std::string key;
    key.assign(path);
    auto found = cache.find(key);
    return found == cache.end() ? nullptr : &found->second;
}

static void remember(const char *path, const struct file_id &id)
{
    if (cache.size() >= STAT_CACHE_LIMIT)
        cache.clear();
    cache[path] = id;
}

static struct file_id look_up(const char *path)
{
    if (watch_refuses(path))
        return NO_ANSWER;
    struct stat sb;
    struct file_id id = {0, 0, 0};
    watch_lookup_begin(path);
    int failed = lookup_call(path, &sb);
    int error = errno;
    watch_lookup_end();
    if (failed != 0) {
        id.error = error;
    } else {
        id.dev = (uint64_t)sb.st_dev;
        id.ino = (uint64_t)sb.st_ino;
        watch_answered(id.dev);
    }
    return id;
}

struct file_id look_up_path(const char *path)
{
    const struct file_id *found = known(path);
    if (found != nullptr)
        return *found;
    struct file_id id = look_up(path);
    remember(path, id);
    return id;
}

void stat_cache_clear(void)
{
    cache.clear();
}
