/*
 * A helper process for real-kernel tests: maps what it is told, says "ready"
 * on stdout and waits to be killed.
 *
 *   vrix-mapper [option...] [lib...] [--run PROGRAM ARG...]
 *     lib             dlopen it
 *     --map FILE      map FILE private, read+exec
 *     --shared FILE   map FILE shared, read+exec
 *     --map-times N FILE
 *                     map N pages of FILE private, read+exec, each apart
 *                     from the others
 *     --memfd         map an anonymous memfd private, read+exec
 *     --hugetlb       map anonymous huge pages private, read+exec
 *     --unlink        unlink every lib and FILE once mapped
 *     --exit-leader   end the main thread, leaving another one running
 *     --then-mount-ns SCRIPT
 *                     once mapped, move into a mount namespace of its own
 *                     and run sh -c SCRIPT there
 *     --then-join PID once mapped, join the mount namespace of process PID
 *                     (as an engine's exec joins a container's)
 *     --reexec-memfd  first run again from a memfd copy of this program
 *     --run ...       instead of waiting, run PROGRAM and exit with its status
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static void die(const char *what)
{
    perror(what);
    exit(120);
}

static void map_file(const char *path, int flags)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        die(path);
    if (mmap(NULL, 4096, PROT_READ | PROT_EXEC, flags, fd, 0) == MAP_FAILED)
        die("mmap");
    close(fd);
}

// Each at file offset 0, so that no two neighbours merge into one mapping.
static void map_file_times(const char *path, long times)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        die(path);
    for (long i = 0; i < times; i++) {
        if (mmap(NULL, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) == MAP_FAILED)
            die("mmap");
    }
    close(fd);
}

static void map_memfd(void)
{
    int fd = memfd_create("vrix-jit", 0);
    if (fd < 0 || ftruncate(fd, 4096) != 0)
        die("memfd");
    if (mmap(NULL, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) == MAP_FAILED)
        die("mmap memfd");
}

static void map_huge_pages(void)
{
    void *p = mmap(NULL, 2 << 20, PROT_READ | PROT_WRITE | PROT_EXEC,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_HUGETLB, -1, 0);
    if (p == MAP_FAILED)
        die("mmap huge pages");
    *(volatile char *)p = 0;
}

static void reexec_from_memfd(char **argv)
{
    int in = open("/proc/self/exe", O_RDONLY);
    int fd = memfd_create("vrix-mapper", MFD_CLOEXEC);
    struct stat sb;
    if (in < 0 || fd < 0 || fstat(in, &sb) != 0)
        die("memfd copy");
    if (sendfile(fd, in, NULL, (size_t)sb.st_size) != sb.st_size)
        die("sendfile");
    close(in);
    extern char **environ;
    fexecve(fd, argv, environ);
    die("fexecve");
}

static void *wait_forever(void *arg)
{
    (void)arg;
    for (;;)
        pause();
    return NULL;
}

static void join_mount_ns(const char *pid)
{
    char name[64];
    snprintf(name, sizeof name, "/proc/%s/ns/mnt", pid);
    int fd = open(name, O_RDONLY);
    if (fd < 0 || setns(fd, CLONE_NEWNS) != 0)
        die(name);
    close(fd);
}

static int run(char **command);

// Mounts made there stay there.
static void enter_mount_ns(const char *script)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
        die("unshare");
    char *command[] = {"/bin/sh", "-c", (char *)script, NULL};
    if (run(command) != 0)
        exit(120);
}

static int run(char **command)
{
    pid_t pid = fork();
    if (pid == 0) {
        execv(command[0], command);
        _exit(127);
    }
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int main(int argc, char **argv)
{
    int unlink_after = 0, exit_leader = 0;
    const char *ns_script = NULL, *join_pid = NULL;
    const char *mapped[64];
    int n_mapped = 0;
    int i;
    for (i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--reexec-memfd") == 0) {
            argv[i] = "--memfd-run";
            reexec_from_memfd(argv);
        } else if (strcmp(argv[i], "--memfd-run") == 0) {
            continue;
        } else if (strcmp(argv[i], "--unlink") == 0) {
            unlink_after = 1;
        } else if (strcmp(argv[i], "--exit-leader") == 0) {
            exit_leader = 1;
        } else if (strcmp(argv[i], "--then-mount-ns") == 0 && i + 1 < argc) {
            ns_script = argv[++i];
        } else if (strcmp(argv[i], "--then-join") == 0 && i + 1 < argc) {
            join_pid = argv[++i];
        } else if (strcmp(argv[i], "--memfd") == 0) {
            map_memfd();
        } else if (strcmp(argv[i], "--hugetlb") == 0) {
            map_huge_pages();
        } else if (strcmp(argv[i], "--map") == 0 && i + 1 < argc) {
            map_file(argv[++i], MAP_PRIVATE);
            mapped[n_mapped++] = argv[i];
        } else if (strcmp(argv[i], "--map-times") == 0 && i + 2 < argc) {
            map_file_times(argv[i + 2], atol(argv[i + 1]));
            i += 2;
            mapped[n_mapped++] = argv[i];
        } else if (strcmp(argv[i], "--shared") == 0 && i + 1 < argc) {
            map_file(argv[++i], MAP_SHARED);
            mapped[n_mapped++] = argv[i];
        } else if (strcmp(argv[i], "--run") == 0) {
            break;
        } else {
            if (dlopen(argv[i], RTLD_NOW) == NULL) {
                fprintf(stderr, "%s\n", dlerror());
                return 120;
            }
            mapped[n_mapped++] = argv[i];
        }
        if (n_mapped == 64)
            return 120;
    }
    if (unlink_after) {
        for (int k = 0; k < n_mapped; k++)
            unlink(mapped[k]);
    }
    if (ns_script != NULL)
        enter_mount_ns(ns_script);
    if (join_pid != NULL)
        join_mount_ns(join_pid);
    if (i < argc)
        return run(argv + i + 1);
    printf("ready\n");
    fflush(stdout);
    if (exit_leader) {
        pthread_t thread;
        pthread_create(&thread, NULL, wait_forever, NULL);
        pthread_exit(NULL);
    }
    wait_forever(NULL);
    return 0;
}
