/*
 * A FUSE file system for tests of file systems that answer slowly or not at
 * all: it mirrors SRCDIR read-only at MOUNTPOINT, in the foreground, with
 * no name cached by the kernel, so that every lookup reaches it (and a stat
 * is one call: the one after a lookup uses the attributes it brought).
 *
 *   vrix-stallfs [option...] SRCDIR MOUNTPOINT
 *     --slow-ms N   how long --slow names take to answer (default 1000)
 *     --slow GLOB   names matching GLOB answer after --slow-ms
 *     --never GLOB  names matching GLOB never answer
 *     --once GLOB   names matching GLOB answer their first lookup, and
 *                   never a later one (other calls are answered)
 *     --never-read GLOB
 *                   reads of files matching GLOB never answer (their other
 *                   calls do): a page of such a file mapped privately
 *                   holds whoever touches it, getdents() into it included
 *     --off         start with the rules off, so that files can be opened
 *                   and mapped first
 *
 * Each option may be given many times. GLOB is matched (fnmatch, no flags:
 * '*' matches '/') against the path within the file system: "/", "/lib.so",
 * "/dir/lib.so". SIGUSR1 turns the rules on, or off again: a call held by
 * them then answers. A held call has been read from /dev/fuse, so whoever
 * made it sleeps uninterruptibly until it answers, or until the daemon is
 * killed (which fails every call made to the mount from then on).
 * Requests are served by up to 1000 threads, so that held ones hold up no
 * others.
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <fuse.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

enum { MAX_RULES = 64, MAX_SEEN = 1024 };
enum { SLOW, NEVER, ONCE, NEVER_READ, KINDS };
static const char *const OPTIONS[KINDS] = {"--slow", "--never", "--once", "--never-read"};

static const char *globs[KINDS][MAX_RULES];
static int n_globs[KINDS];
static long slow_ms = 1000;
static const char *source;
static volatile sig_atomic_t on = 1;

// the names whose one lookup has been answered
static char *seen[MAX_SEEN];
static int n_seen;
static pthread_mutex_t seen_lock = PTHREAD_MUTEX_INITIALIZER;

static void toggle(int sig)
{
    (void)sig;
    on = !on;
}

static int matches(int kind, const char *path)
{
    for (int i = 0; i < n_globs[kind]; i++) {
        if (fnmatch(globs[kind][i], path, 0) == 0)
            return 1;
    }
    return 0;
}

static void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

// Held until the rules are turned off; polled, as a signal cannot wake a
// condition variable.
static void hold(void)
{
    while (on)
        sleep_ms(50);
}

// Whether this is the second lookup, or a later one, of a --once name.
static int looked_up_before(const char *path)
{
    pthread_mutex_lock(&seen_lock);
    int found = 0;
    for (int i = 0; i < n_seen && !found; i++)
        found = strcmp(seen[i], path) == 0;
    if (!found && n_seen < MAX_SEEN)
        seen[n_seen++] = strdup(path);
    pthread_mutex_unlock(&seen_lock);
    return found;
}

static void apply_rules(const char *path, int lookup)
{
    if (lookup && matches(ONCE, path) && looked_up_before(path))
        hold();
    if (on && matches(NEVER, path))
        hold();
    else if (on && matches(SLOW, path))
        sleep_ms(slow_ms);
}

// The path of the file mirrored at path, once the rules let the call go on.
static char *mirror(const char *path, int lookup, char *real)
{
    apply_rules(path, lookup);
    snprintf(real, PATH_MAX, "%s%s", source, path);
    return real;
}

static void *sf_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    (void)conn;
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->attr_timeout = 1;
    return NULL;
}

static int sf_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    (void)fi;
    char real[PATH_MAX];
    return lstat(mirror(path, 1, real), st) == 0 ? 0 : -errno;
}

static int sf_readlink(const char *path, char *buf, size_t size)
{
    char real[PATH_MAX];
    ssize_t n = readlink(mirror(path, 0, real), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

static int sf_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    (void)offset, (void)fi, (void)flags;
    char real[PATH_MAX];
    DIR *dir = opendir(mirror(path, 0, real));
    if (dir == NULL)
        return -errno;
    for (struct dirent *e; (e = readdir(dir)) != NULL;)
        fill(buf, e->d_name, NULL, 0, 0);
    closedir(dir);
    return 0;
}

static int sf_open(const char *path, struct fuse_file_info *fi)
{
    char real[PATH_MAX];
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    int fd = open(mirror(path, 0, real), O_RDONLY);
    if (fd < 0)
        return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}

static int sf_read(const char *path, char *buf, size_t size, off_t offset,
                   struct fuse_file_info *fi)
{
    if (path != NULL)
        apply_rules(path, 0);
    if (path != NULL && on && matches(NEVER_READ, path))
        hold();
    ssize_t n = pread((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int sf_statfs(const char *path, struct statvfs *st)
{
    char real[PATH_MAX];
    return statvfs(mirror(path, 0, real), st) == 0 ? 0 : -errno;
}

static int sf_release(const char *path, struct fuse_file_info *fi)
{
    (void)path;
    close((int)fi->fh);
    return 0;
}

static const struct fuse_operations operations = {
    .getattr = sf_getattr,
    .readlink = sf_readlink,
    .open = sf_open,
    .read = sf_read,
    .statfs = sf_statfs,
    .release = sf_release,
    .readdir = sf_readdir,
    .init = sf_init,
};

int main(int argc, char **argv)
{
    int i, bad = 0;
    for (i = 1; i < argc - 2 && !bad; i++) {
        if (strcmp(argv[i], "--off") == 0) {
            on = 0;
            continue;
        }
        int kind = 0;
        while (kind < KINDS && strcmp(argv[i], OPTIONS[kind]) != 0)
            kind++;
        const char *value = argv[++i];
        if (strcmp(argv[i - 1], "--slow-ms") == 0)
            slow_ms = atol(value);
        else if (kind == KINDS || n_globs[kind] == MAX_RULES)
            bad = 1;
        else
            globs[kind][n_globs[kind]++] = value;
    }
    if (bad || i != argc - 2) {
        fprintf(stderr, "usage: vrix-stallfs [--slow-ms N] [--slow GLOB]... [--never GLOB]... "
                        "[--once GLOB]... [--never-read GLOB]... [--off] SRCDIR MOUNTPOINT\n");
        return 2;
    }
    static char src[PATH_MAX];
    if (realpath(argv[i], src) == NULL) {
        perror(argv[i]);
        return 1;
    }
    source = strcmp(src, "/") == 0 ? "" : src;
    struct sigaction sa = {.sa_handler = toggle};
    sigaction(SIGUSR1, &sa, NULL);
    char *fuse_argv[] = {argv[0], "-f", "-o",
                         "ro,allow_other,fsname=stallfs,subtype=stallfs,max_threads=1000,max_idle_threads=10",
                         argv[i + 1], NULL};
    return fuse_main(5, fuse_argv, &operations, NULL);
}
