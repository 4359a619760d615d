#include "stat_cache.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "escape.h"
#include "mapping_verdict.h"

// Most processes map the same libraries: within one run each path is looked
// up once. A path names one file for the whole run: the Linux layer reaches
// another mount namespace through a handle held for the run, so its paths
// never share an entry with ours. The cache is bounded; when full it starts
// over.
enum { STAT_CACHE_LIMIT = 8192 };

stat_call lookup_call = stat;
int lookup_bound_ms = LOOKUP_BOUND_SECONDS * 1000;

static std::unordered_map<std::string, struct file_id> cache;

// Devices whose file system left a lookup unanswered: asking again would
// only wait again, once per process that maps a file from there.
static std::vector<uint64_t> stuck_devices;

static const struct file_id NO_ANSWER = {ETIMEDOUT, 0, 0};

static bool is_stuck(uint64_t dev)
{
    return !stuck_devices.empty() &&
           std::find(stuck_devices.begin(), stuck_devices.end(), dev) != stuck_devices.end();
}

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

// Any user can mount a file system and name its files: the name goes out
// escaped, as in the table.
static void warn_no_answer(const char *path)
{
    fputs("vrix: no answer for '", stderr);
    print_escaped(stderr, path);
    fprintf(stderr, "' within %d seconds\n", (int)LOOKUP_BOUND_SECONDS);
}

// Asks about every path of batch, answers into ids and the cache. The lookup
// that gets no answer marks its device stuck; the rest of the batch is asked
// again of a fresh helper, leaving out (as ETIMEDOUT) what is on a stuck
// device.
static void look_up(const std::vector<struct lookup_request> &batch,
                    std::vector<struct file_id> &ids)
{
    static std::vector<size_t> asked;
    static std::vector<const char *> paths;
    static std::vector<struct file_id> answers;
    ids.assign(batch.size(), NO_ANSWER);
    size_t next = 0;
    for (;;) {
        asked.clear();
        paths.clear();
        for (size_t i = next; i < batch.size(); i++) {
            if (!is_stuck(batch[i].dev)) {
                asked.push_back(i);
                paths.push_back(batch[i].path);
            }
        }
        answers.resize(paths.size());
        size_t answered = bounded_stats(lookup_call, paths.data(), paths.size(), answers.data(),
                                        lookup_bound_ms);
        for (size_t k = 0; k < answered; k++) {
            ids[asked[k]] = answers[k];
            remember(paths[k], answers[k]);
        }
        if (answered == asked.size())
            return;
        const struct lookup_request &stuck = batch[asked[answered]];
        warn_no_answer(stuck.path);
        stuck_devices.push_back(stuck.dev);
        remember(stuck.path, NO_ANSWER);
        next = asked[answered] + 1;
    }
}

void stat_paths(const struct lookup_request *wanted, size_t count, struct file_id *ids)
{
    static std::vector<struct lookup_request> batch;
    static std::vector<struct file_id> batch_ids;
    static std::vector<size_t> in_batch;  // per wanted path, or count
    batch.clear();
    in_batch.assign(count, count);
    for (size_t i = 0; i < count; i++) {
        const struct lookup_request &w = wanted[i];
        const struct file_id *found = nullptr;
        if (is_stuck(w.dev)) {
            ids[i] = NO_ANSWER;
        } else if ((found = known(w.path)) != nullptr) {
            ids[i] = *found;
        } else {
            auto same_path = [&w](const struct lookup_request &b) {
                return strcmp(b.path, w.path) == 0;
            };
            in_batch[i] = (size_t)(std::find_if(batch.begin(), batch.end(), same_path) - batch.begin());
            if (in_batch[i] == batch.size())
                batch.push_back(w);
        }
    }
    if (batch.empty())
        return;
    look_up(batch, batch_ids);
    for (size_t i = 0; i < count; i++) {
        if (in_batch[i] != count)
            ids[i] = batch_ids[in_batch[i]];
    }
}

void stat_cache_clear(void)
{
    cache.clear();
    stuck_devices.clear();
}
