#include "whitelist_target.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// With -c /dev/stdout or -c FILE > FILE the table must not go into the
// whitelist.
static int is_standard_output(const struct stat *sb)
{
    struct stat out;
    return fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == sb->st_dev &&
           out.st_ino == sb->st_ino;
}

static int same_file(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

// The open of a shell's ">", without O_TRUNC: the old contents stay until
// the run completes. O_EXCL first tells a file this run creates (never
// through a link) from one that stood there; O_CREAT on the second open is
// what makes the kernel check a file planted in a sticky directory.
static int open_as_shell(struct whitelist_target *target, const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        target->created = 1;
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    return open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666);
}

// A hidden temporary file in the directory of path, looking as the file at
// path does: its mode and owner. Fails when it cannot be made, or cannot
// take that owner (only root can give a file away).
static int open_temp_beside(struct whitelist_target *target, const char *path,
                            const struct stat *old)
{
    const char *slash = strrchr(path, '/');
    int dir_len = slash == nullptr ? 0 : (int)(slash - path) + 1;
    if (snprintf(target->temp_path, sizeof target->temp_path, "%.*s.%s.vrix-XXXXXX", dir_len,
                 path, path + dir_len) >= (int)sizeof target->temp_path) {
        target->temp_path[0] = '\0';
        return -1;
    }
    int fd = mkostemp(target->temp_path, O_CLOEXEC);
    if (fd < 0) {
        target->temp_path[0] = '\0';
        return -1;
    }
    if (fchown(fd, old->st_uid, old->st_gid) != 0 || fchmod(fd, old->st_mode & 07777) != 0) {
        close(fd);
        unlink(target->temp_path);
        target->temp_path[0] = '\0';
        return -1;
    }
    return fd;
}

// The lines of an in-place write wait where no one else can see them.
static int open_unlinked_temp(void)
{
    char name[] = P_tmpdir "/vrix-XXXXXX";
    int fd = mkostemp(name, O_CLOEXEC);
    if (fd >= 0)
        unlink(name);
    return fd;
}

// Chooses how the lines reach the file the kernel opened.
static int choose_kind(struct whitelist_target *target, const char *path)
{
    struct stat sb, at;
    if (fstat(target->fd, &sb) != 0)
        return -1;
    target->is_stdout = is_standard_output(&sb);
    if (!S_ISREG(sb.st_mode)) {
        target->kind = TARGET_DIRECT;
        target->lines_fd = target->fd;
        return 0;
    }
    if (lstat(path, &at) == 0 && same_file(&at, &sb)) {
        target->lines_fd = open_temp_beside(target, path, &sb);
        if (target->lines_fd >= 0) {
            target->kind = TARGET_REPLACE;
            return 0;
        }
    }
    target->kind = TARGET_IN_PLACE;
    target->lines_fd = open_unlinked_temp();
    return target->lines_fd >= 0 ? 0 : -1;
}

int whitelist_target_open(struct whitelist_target *target, const char *path)
{
    target->fd = -1;
    target->lines_fd = -1;
    target->kind = TARGET_DIRECT;
    target->is_stdout = 0;
    target->created = 0;
    target->temp_path[0] = '\0';
    if (path[0] == '\0')
        return errno = ENOENT, -1;

    target->fd = open_as_shell(target, path);
    if (target->fd < 0)
        return -1;
    if (choose_kind(target, path) == 0)
        return 0;
    int error = errno;
    whitelist_target_remove_created(target, path);
    close(target->fd);
    target->fd = -1;
    return errno = error, -1;
}

void whitelist_target_remove_created(struct whitelist_target *target, const char *path)
{
    struct stat ours, at;
    if (target->created && fstat(target->fd, &ours) == 0 && lstat(path, &at) == 0 &&
        same_file(&ours, &at))
        unlink(path);
    target->created = 0;
}
