#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "whitelist_target.h"

// The directory entry of the renamed file survives a crash only once the
// directory itself is synced.
static void sync_directory(const char *path)
{
    const char *slash = strrchr(path, '/');
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%.*s", slash == nullptr ? 1 : (int)(slash - path) + 1,
             slash == nullptr ? "." : path);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// A signal that would end the run waits until the file is whole again: the
// overwrite is the one moment the old contents are not.
static int overwrite_unkilled(int fd, int lines_fd)
{
    sigset_t ending, old;
    sigemptyset(&ending);
    for (int sig : ENDING_SIGNALS)
        sigaddset(&ending, sig);
    sigprocmask(SIG_BLOCK, &ending, &old);
    int error = whitelist_overwrite(fd, lines_fd);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return error;
}

static int replace(struct whitelist_target *target, const char *path)
{
    if (fsync(target->lines_fd) != 0)
        return errno;
    if (rename(target->temp_path, path) != 0) {
        // A mount point, say, is never replaced: the file the kernel opened
        // is written in place instead.
        return overwrite_unkilled(target->fd, target->lines_fd);
    }
    target->temp_path[0] = '\0';
    sync_directory(path);
    return 0;
}

int whitelist_target_put(struct whitelist_target *target, const char *path, int error)
{
    if (error == 0 && target->kind == TARGET_REPLACE)
        error = replace(target, path);
    if (error == 0 && target->kind == TARGET_IN_PLACE)
        error = overwrite_unkilled(target->fd, target->lines_fd);
    if (error != 0)
        whitelist_target_remove_created(target, path);
    target->created = 0;
    if (target->lines_fd >= 0 && target->lines_fd != target->fd)
        close(target->lines_fd);
    // Only a device's close can report a write that failed on its way.
    if (close(target->fd) != 0 && error == 0 && target->kind == TARGET_DIRECT)
        error = errno;
    target->lines_fd = target->fd = -1;
    return error;
}
