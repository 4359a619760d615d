/*
 * A FUSE file system for tests of file systems that answer slowly or not at
 * all: it mirrors SRCDIR read-only at MOUNTPOINT, in the foreground, with
 * nothing cached by the kernel, so that every lookup reaches it.
 *
 *   vrix-stallfs [option...] SRCDIR MOUNTPOINT
 *     --slow-ms N   how long --slow names take to answer (default 1000)
 *     --slow GLOB   names matching GLOB answer after --slow-ms
 *     --never GLOB  names matching GLOB never answer
 *     --once GLOB   names matching GLOB answer their first lookup, and
 *                   never a later one (other calls are answered)
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

struct rules {
    const char *slow[MAX_RULES], *never[MAX_RULES], *once[MAX_RULES];
    int n_slow, n_never, n_once;
    long slow_ms;
};

static struct rules rules = {.slow_ms = 1000};
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

static int matches(const char *const *globs, int n, const char *path)
{
    for (int i = 0; i < n; i++) {
        if (fnmatch(globs[i], path, 0) == 0)
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
    if (lookup && matches(rules.once, rules.n_once, path) && looked_up_before(path) && on)
        hold();
    if (!on)
        return;
    if (matches(rules.never, rules.n_never, path))
        hold();
    else if (matches(rules.slow, rules.n_slow, path))
        sleep_ms(rules.slow_ms);
}

static void real_path(const char *path, char *out)
{
    snprintf(out, PATH_MAX, "%s%s", source, path);
}

static void *sf_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    (void)conn;
    // every lookup of a name reaches the daemon; the stat that follows one
    // is answered from the attributes it brought, so that a stat is one
    // slow call, not two
    cfg->entry_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->attr_timeout = 1;
    return NULL;
}

static int sf_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    (void)fi;
    char real[PATH_MAX];
    apply_rules(path, 1);
    real_path(path, real);
    return lstat(real, st) == 0 ? 0 : -errno;
}

static int sf_readlink(const char *path, char *buf, size_t size)
{
    char real[PATH_MAX];
    apply_rules(path, 0);
    real_path(path, real);
    ssize_t n = readlink(real, buf, size - 1);
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
    apply_rules(path, 0);
    real_path(path, real);
    DIR *dir = opendir(real);
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
    apply_rules(path, 0);
    real_path(path, real);
    int fd = open(real, O_RDONLY);
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
    ssize_t n = pread((int)fi->fh, buf, size, offset);
    return n < 0 ? -errno : (int)n;
}

static int sf_statfs(const char *path, struct statvfs *st)
{
    char real[PATH_MAX];
    apply_rules(path, 0);
    real_path(path, real);
    return statvfs(real, st) == 0 ? 0 : -errno;
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

static int usage(void)
{
    fprintf(stderr, "usage: vrix-stallfs [--slow-ms N] [--slow GLOB]... [--never GLOB]... "
                    "[--once GLOB]... [--off] SRCDIR MOUNTPOINT\n");
    return 2;
}

static int add_rule(const char **globs, int *n, const char *glob)
{
    if (*n == MAX_RULES)
        return -1;
    globs[(*n)++] = glob;
    return 0;
}

int main(int argc, char **argv)
{
    int i, bad = 0;
    for (i = 1; i < argc - 2 && !bad; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--off") == 0) {
            on = 0;
            continue;
        }
        const char *value = argv[++i];
        if (strcmp(arg, "--slow-ms") == 0)
            rules.slow_ms = atol(value);
        else if (strcmp(arg, "--slow") == 0)
            bad = add_rule(rules.slow, &rules.n_slow, value);
        else if (strcmp(arg, "--never") == 0)
            bad = add_rule(rules.never, &rules.n_never, value);
        else if (strcmp(arg, "--once") == 0)
            bad = add_rule(rules.once, &rules.n_once, value);
        else
            bad = 1;
    }
    if (bad || i != argc - 2)
        return usage();
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
