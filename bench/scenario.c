/*
 * Benchmark scenario: N helper processes, each mapping a dozen libraries
 * from a shared pool, one of which is replaced afterwards.
 *
 *   vrix-bench-scenario N DIR PIDFILE MAPPER LIB [private | flagged]
 *
 * Copies LIB into DIR as the pool, starts N copies of MAPPER (each dlopens
 * 12 pool libraries and pauses), replaces one pool library, writes the
 * helpers' pids to PIDFILE, then waits. With "private", each helper also
 * maps a library of its own, and one helper in ten has it deleted; with
 * "flagged", every helper maps the replaced library. On
 * SIGINT, SIGTERM, SIGHUP or end of standard input it kills the helpers by
 * pid and removes the pool.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

enum { LIBS_PER_HELPER = 12, POOL = 240, REPLACED = 1 };

static pid_t *helpers;
static int started;
static volatile sig_atomic_t stop;

static void on_signal(int sig)
{
    (void)sig;
    stop = 1;
}

static long read_number(const char *path, const char *key)
{
    FILE *f = fopen(path, "r");
    char line[256];
    long value = -1;
    while (f != NULL && fgets(line, sizeof line, f) != NULL) {
        if (key == NULL || strncmp(line, key, strlen(key)) == 0) {
            value = strtol(line + (key == NULL ? 0 : strlen(key)), NULL, 10);
            break;
        }
    }
    if (f != NULL)
        fclose(f);
    return value;
}

/* Refuses what the machine cannot hold: pids, and about 1 MiB per helper. */
static int check_limits(long n)
{
    long pid_max = read_number("/proc/sys/kernel/pid_max", NULL);
    long avail_kib = read_number("/proc/meminfo", "MemAvailable:");
    if (n < 1 || n > 20000 || (pid_max > 0 && n > pid_max / 2) ||
        (avail_kib > 0 && n > avail_kib / 1024 / 2)) {
        fprintf(stderr, "scenario: refusing N=%ld (pid_max %ld, MemAvailable %ld KiB)\n", n,
                pid_max, avail_kib);
        return -1;
    }
    return 0;
}

static void copy(const char *from, const char *to)
{
    char command[8192];
    snprintf(command, sizeof command, "cp '%s' '%s'", from, to);
    if (system(command) != 0) {
        fprintf(stderr, "scenario: cannot copy %s\n", from);
        exit(1);
    }
}

static void pool_path(char *out, size_t size, const char *dir, int k)
{
    snprintf(out, size, "%s/libvrixbench%03d.so", dir, k);
}

// With "private", each helper also maps a library no other maps, and every
// tenth of those is deleted once all are ready: every helper has a path
// that no lookup before it asked, and a tenth of them are reported for it.
static int own_libraries;
enum { DELETED_OWN_STRIDE = 10 };
// With "flagged", every helper maps the library that is replaced: every
// helper is a row, as after an upgrade of a library that all use.
static int all_flagged;

static void own_path(char *out, size_t size, const char *dir, int i)
{
    snprintf(out, size, "%s/own/libvrixown%06d.so", dir, i);
}

static void teardown(const char *dir)
{
    for (int i = 0; i < started; i++)
        kill(helpers[i], SIGKILL);
    for (int i = 0; i < started; i++)
        waitpid(helpers[i], NULL, 0);
    char path[4096];
    for (int k = 0; k < POOL; k++) {
        pool_path(path, sizeof path, dir, k);
        unlink(path);
    }
    for (int i = 0; own_libraries && i < started; i++) {
        own_path(path, sizeof path, dir, i);
        unlink(path);
    }
}

static pid_t start_helper(int i, const char *dir, const char *mapper, int ready_fd)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    char paths[LIBS_PER_HELPER + 1][4096];
    char *argv[LIBS_PER_HELPER + 3];
    argv[0] = (char *)mapper;
    int j = 0;
    for (; j < LIBS_PER_HELPER; j++) {
        pool_path(paths[j], sizeof paths[j], dir,
                  all_flagged && j == 0 ? REPLACED : (i * 7 + j * 13) % POOL);
        argv[j + 1] = paths[j];
    }
    if (own_libraries) {
        own_path(paths[j], sizeof paths[j], dir, i);
        argv[j + 1] = paths[j];
        j++;
    }
    argv[j + 1] = NULL;
    dup2(ready_fd, 1);
    execv(mapper, argv);
    _exit(127);
}

int main(int argc, char **argv)
{
    if (argc != 6 && !(argc == 7 && (strcmp(argv[6], "private") == 0 ||
                                     strcmp(argv[6], "flagged") == 0))) {
        fprintf(stderr, "usage: vrix-bench-scenario N DIR PIDFILE MAPPER LIB [private | flagged]\n");
        return 64;
    }
    own_libraries = argc == 7 && strcmp(argv[6], "private") == 0;
    all_flagged = argc == 7 && strcmp(argv[6], "flagged") == 0;
    long n = strtol(argv[1], NULL, 10);
    const char *dir = argv[2], *pidfile = argv[3], *mapper = argv[4], *lib = argv[5];
    if (check_limits(n) != 0)
        return 1;
    mkdir(dir, 0755);
    char path[4096], fresh[4200];
    for (int k = 0; k < POOL; k++) {
        pool_path(path, sizeof path, dir, k);
        copy(lib, path);
    }
    if (own_libraries) {
        snprintf(path, sizeof path, "%s/own", dir);
        mkdir(path, 0755);
        for (long i = 0; i < n; i++) {
            own_path(path, sizeof path, dir, (int)i);
            copy(lib, path);
        }
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);

    int ready[2];
    if (pipe(ready) != 0)
        return 1;
    helpers = calloc((size_t)n, sizeof *helpers);
    for (; started < n && !stop; started++)
        helpers[started] = start_helper(started, dir, mapper, ready[1]);
    close(ready[1]);
    char buf[4096];
    long lines = 0;
    ssize_t got;
    while (lines < started && !stop && (got = read(ready[0], buf, sizeof buf)) > 0)
        for (ssize_t i = 0; i < got; i++)
            lines += buf[i] == '\n';

    pool_path(path, sizeof path, dir, REPLACED);
    snprintf(fresh, sizeof fresh, "%s.new", path);
    copy(lib, fresh);
    rename(fresh, path);
    for (int i = 0; own_libraries && i < started; i += DELETED_OWN_STRIDE) {
        own_path(path, sizeof path, dir, i);
        unlink(path);
    }
    FILE *out = fopen(pidfile, "w");
    for (int i = 0; out != NULL && i < started; i++)
        fprintf(out, "%d\n", (int)helpers[i]);
    if (out != NULL)
        fclose(out);
    fprintf(stderr, "scenario: %d helpers ready\n", started);

    while (!stop && read(0, buf, sizeof buf) > 0) {
    }
    teardown(dir);
    return 0;
}
