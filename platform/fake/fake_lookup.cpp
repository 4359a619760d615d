#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "fake_platform.h"
#include "lookup.h"

static int is_under(const char *path, const char *dir)
{
    size_t len = dir == nullptr ? 0 : strlen(dir);
    return len != 0 && strncmp(path, dir, len) == 0 && path[len] == '/';
}

// A file system mounted at dir does not answer: no name on it, however it is
// reached (a bind mount of it, say), gets an answer.
static int is_stuck(const char *path)
{
    const char *dir = getenv("VRIX_FAKE_STUCK");
    if (is_under(path, dir))
        return 1;
    struct stat at, above, holder;
    std::string parent = std::string(dir == nullptr ? "" : dir) + "/..";
    if (dir == nullptr || stat(dir, &at) != 0 || stat(parent.c_str(), &above) != 0 ||
        at.st_dev == above.st_dev)
        return 0;
    std::string holding = path;
    holding.erase(holding.rfind('/') + 1);
    return stat(holding.c_str(), &holder) == 0 && holder.st_dev == at.st_dev;
}

static long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// A slow answer takes time in which the run is not stopped: time spent
// stopped in the middle of it is not counted, so the run is still waiting
// for it when it goes on.
static void slow_answer(int ms)
{
    while (ms > 0) {
        long long before = now_ms();
        usleep(10 * 1000);
        long long took = now_ms() - before;
        if (took < 100)
            ms -= (int)took;
    }
}

int fake_lookup(const char *path, struct stat *sb)
{
    // what a stuck or slow file system holds is never in the caches
    if (lookup_cached && (is_stuck(path) || is_under(path, getenv("VRIX_FAKE_SLOW"))))
        return errno = EAGAIN, -1;
    // a stopped FUSE daemon: the caller waits until it is killed, and leaves
    // a process behind with whatever it holds, as one in uninterruptible
    // sleep would be
    if (is_stuck(path)) {
        if (fork() == 0) {
            sleep(30);
            _exit(0);
        }
        for (;;)
            pause();
    }
    if (is_under(path, getenv("VRIX_FAKE_SLOW"))) {
        const char *ms = getenv("VRIX_FAKE_SLOW_MS");
        slow_answer(ms == nullptr ? 100 : atoi(ms));
    }
    return stat(path, sb);
}

// The fake caches nothing: a lookup waits in the directory above its name,
// as one of a name not yet looked up would.
int fake_place(const char *path, struct wait_place *place)
{
    std::string dir = path;
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos)
        return -1;
    dir.erase(slash == 0 ? 1 : slash);
    struct stat sb;
    if (stat(dir.c_str(), &sb) != 0)
        return -1;
    place->dev = (uint64_t)sb.st_dev;
    place->ino = (uint64_t)sb.st_ino;
    return 0;
}
