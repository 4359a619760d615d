/*
 * A helper process for the tests run inside a virtual machine. Statically
 * linked: the machine has no shared libraries.
 *
 *   vrix-vm-helper [-r ROOT] FILE...
 *     forks a child that maps every FILE private, read+exec, and waits to be
 *     killed; prints the child's pid once it is ready. With -r, the child
 *     first enters a mount namespace of its own and chroots into ROOT, as a
 *     container's process would, and FILE names a path inside ROOT.
 *   vrix-vm-helper -s DIR
 *     creates the btrfs subvolume DIR.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <libgen.h>
#include <linux/btrfs.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <unistd.h>

static int fail(const char *what)
{
    fprintf(stderr, "vrix-vm-helper: %s: %m\n", what);
    return 120;
}

static int create_subvolume(char *path)
{
    char copy[BTRFS_PATH_NAME_MAX + 1];
    struct btrfs_ioctl_vol_args args;
    memset(&args, 0, sizeof args);
    snprintf(copy, sizeof copy, "%s", path);
    snprintf(args.name, sizeof args.name, "%s", basename(copy));
    snprintf(copy, sizeof copy, "%s", path);
    int dir = open(dirname(copy), O_RDONLY | O_DIRECTORY);
    if (dir < 0)
        return fail(path);
    if (ioctl(dir, BTRFS_IOC_SUBVOL_CREATE, &args) != 0)
        return fail("BTRFS_IOC_SUBVOL_CREATE");
    return 0;
}

// Our mounts stay ours: without MS_PRIVATE, mounts made in either namespace
// would propagate to the other one.
static int enter_container(const char *root)
{
    if (unshare(CLONE_NEWNS) != 0)
        return fail("unshare");
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0)
        return fail("mount --make-rprivate /");
    if (chroot(root) != 0 || chdir("/") != 0)
        return fail(root);
    return 0;
}

static int map_files(char **files)
{
    for (; *files != NULL; files++) {
        int fd = open(*files, O_RDONLY);
        if (fd < 0)
            return fail(*files);
        if (mmap(NULL, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) == MAP_FAILED)
            return fail(*files);
        close(fd);
    }
    return 0;
}

// The parent returns only once the child holds its mappings, so the caller
// may delete or replace the files as soon as it has the pid.
static int spawn_mapper(const char *root, char **files)
{
    int ready[2];
    if (pipe(ready) != 0)
        return fail("pipe");
    pid_t pid = fork();
    if (pid < 0)
        return fail("fork");
    if (pid == 0) {
        close(ready[0]);
        int status = root != NULL ? enter_container(root) : 0;
        if (status == 0)
            status = map_files(files);
        if (status != 0)
            _exit(status);
        if (write(ready[1], "ready", 5) != 5)
            _exit(fail("write"));
        close(ready[1]);
        close(STDOUT_FILENO);
        for (;;)
            pause();
    }
    close(ready[1]);
    char word[5];
    if (read(ready[0], word, sizeof word) != (ssize_t)sizeof word)
        return 120;  // the child said why
    printf("%d\n", (int)pid);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "-s") == 0)
        return create_subvolume(argv[2]);
    if (argc >= 4 && strcmp(argv[1], "-r") == 0)
        return spawn_mapper(argv[2], argv + 3);
    if (argc >= 2 && argv[1][0] != '-')
        return spawn_mapper(NULL, argv + 1);
    fprintf(stderr, "usage: vrix-vm-helper [-r root] file... | -s dir\n");
    return 64;
}
