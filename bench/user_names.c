/*
 * What a user's names cost root's run: one user's processes mapping files
 * under names of the user's choosing.
 *
 *   vrix-bench-user-names many DIR N     one process, N files of about 900
 *                                        bytes of path each in DIR, every
 *                                        second one deleted once mapped
 *   vrix-bench-user-names shared DIR N P P processes, each mapping the same
 *                                        N files of 272-byte paths, named to
 *                                        share one value of the path cache's
 *                                        fast hash
 *   vrix-bench-user-names random DIR N P the same with names drawn at random
 *
 * DIR must be 16 bytes long (the names' bytes that share the hash sit at
 * fixed offsets). Prints "ready" when all is mapped; stops with its standard
 * input, killing its processes.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const char *what)
{
    perror(what);
    exit(1);
}

static void map_path(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        die(path);
    if (mmap(NULL, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) == MAP_FAILED)
        die("mmap");
    close(fd);
}

static void make_file(const char *path)
{
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0755);
    if (fd < 0 || ftruncate(fd, 4096) != 0)
        die(path);
    close(fd);
}

/* Each 64 bits of a lane of the fast hash is multiplied by an odd number,
 * which carries a flipped top bit straight through: a top bit flipped in
 * two neighbouring words of one lane cancels. */
static void name_272(char *p, const char *dir, unsigned n, int shared)
{
    memset(p, 'x', 272);
    p[272] = '\0';
    memcpy(p, dir, 16);
    p[16] = '/';
    unsigned long long x = 0x9e3779b97f4a7c15ULL * (n + 1);
    for (unsigned bit = 0; bit < 14; bit++) {
        if (!shared) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            for (int i = 0; i < 16; i++)
                p[32 + 16 * bit + i] = (char)('a' + (x >> (i * 4)) % 16);
            continue;
        }
        if ((n >> bit & 1) == 0)
            continue;
        size_t at = 32 + 32 * (bit / 2) + (bit % 2 == 0 ? 7 : 15);
        p[at] = (char)(p[at] ^ 0x80);
        p[at + 16] = (char)(p[at + 16] ^ 0x80);
    }
}

/* About 900 bytes: three directories of 150 bytes, then a directory of 200
 * and a file of 200 for each. */
static void many(const char *dir, long n)
{
    char base[1024], path[1024];
    snprintf(base, sizeof base, "%s", dir);
    for (int k = 0; k < 3; k++) {
        size_t l = strlen(base);
        base[l] = '/';
        memset(base + l + 1, 'd', 150);
        base[l + 151] = '\0';
        mkdir(base, 0755);
    }
    for (long i = 0; i < n; i++) {
        snprintf(path, sizeof path, "%s/%0200ld", base, i);
        mkdir(path, 0755);
        snprintf(path + strlen(path), sizeof path - strlen(path), "/lib%0196ld.so", i);
        make_file(path);
        map_path(path);
        if (i % 2 == 1)
            unlink(path);
    }
}

static pid_t children[256];
static long nchildren;

static void mapped_by(const char *dir, long n, long procs, int shared)
{
    char path[300];
    int done[2];
    if (procs > 256 || pipe(done) != 0)
        die("processes");
    for (long i = 0; i < n; i++) {
        name_272(path, dir, (unsigned)i, shared);
        make_file(path);
    }
    for (long k = 0; k < procs; k++) {
        pid_t child = fork();
        if (child < 0)
            die("fork");
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (long i = 0; i < n; i++) {
                name_272(path, dir, (unsigned)i, shared);
                map_path(path);
            }
            if (write(done[1], "m", 1) != 1)
                _exit(1);
            for (;;)
                pause();
        }
        children[nchildren++] = child;
    }
    char c;
    for (long k = 0; k < procs; k++) {
        if (read(done[0], &c, 1) != 1)
            die("a mapping process");
    }
}

int main(int argc, char **argv)
{
    if (argc < 4 || strlen(argv[2]) != 16) {
        fprintf(stderr, "usage: vrix-bench-user-names many|shared|random DIR(16 bytes) N [P]\n");
        return 64;
    }
    long n = atol(argv[3]), procs = argc > 4 ? atol(argv[4]) : 1;
    mkdir(argv[2], 0755);
    if (strcmp(argv[1], "many") == 0)
        many(argv[2], n);
    else
        mapped_by(argv[2], n, procs, strcmp(argv[1], "shared") == 0);
    printf("ready\n");
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    for (long k = 0; k < nchildren; k++)
        kill(children[k], SIGKILL);
    return 0;
}
