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

static mode_t current_umask(void)
{
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// A hidden temporary file in the directory of path.
static int make_temp(struct whitelist_target *target, const char *path)
{
    const char *slash = strrchr(path, '/');
    int dir_len = slash == nullptr ? 0 : (int)(slash - path) + 1;
    if (snprintf(target->temp_path, sizeof target->temp_path, "%.*s.%s.vrix-XXXXXX", dir_len,
                 path, path + dir_len) >= (int)sizeof target->temp_path) {
        target->temp_path[0] = '\0';
        return errno = ENAMETOOLONG, -1;
    }
    int fd = mkstemp(target->temp_path);
    if (fd < 0)
        target->temp_path[0] = '\0';
    return fd;
}

// The regular file at path (old, or null when there is none) is replaced by
// a new one that looks as it did, or as a plain open would make it. The
// rename replaces whatever stands at path then, never what a link names.
static int open_replacing(struct whitelist_target *target, const char *path,
                          const struct stat *old)
{
    int fd = make_temp(target, path);
    if (fd < 0)
        return -1;
    if (old != nullptr) {
        if (fchown(fd, old->st_uid, old->st_gid) != 0) {
            // Only root can give a file away; then it stays the caller's.
        }
        fchmod(fd, old->st_mode & 07777);
        target->is_stdout = is_standard_output(old);
    } else {
        fchmod(fd, 0666 & ~current_umask());
    }
    target->stream = fdopen(fd, "w");
    if (target->stream == nullptr) {
        int error = errno;
        close(fd);
        unlink(target->temp_path);
        target->temp_path[0] = '\0';
        return errno = error, -1;
    }
    target->kind = TARGET_REPLACE;
    return 0;
}

// A device, a FIFO or a terminal: an ordinary open. As for a shell's
// redirection, a FIFO waits here for its reader.
static int open_direct(struct whitelist_target *target, const char *path, int flags)
{
    int fd = open(path, O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC | flags);
    if (fd < 0)
        return -1;
    struct stat sb;
    if (fstat(fd, &sb) == 0)
        target->is_stdout = is_standard_output(&sb);
    target->stream = fdopen(fd, "w");
    if (target->stream == nullptr) {
        int error = errno;
        close(fd);
        return errno = error, -1;
    }
    target->kind = TARGET_DIRECT;
    return 0;
}

// A link is only ever followed by the kernel. Its stat and access already
// meet what the final open will meet (a link refused in a sticky directory,
// a read-only file system, a running executable), so such a refusal comes
// before any row; neither creates nor changes anything. A link that leads
// nowhere yet is created through at the end.
static int open_through_link(struct whitelist_target *target, const char *path)
{
    struct stat sb;
    if (stat(path, &sb) == 0) {
        if (!S_ISREG(sb.st_mode))
            return open_direct(target, path, 0);
        if (access(path, W_OK) != 0)
            return -1;
        target->is_stdout = is_standard_output(&sb);
    } else if (errno != ENOENT) {
        return -1;
    }
    target->stream = tmpfile();
    if (target->stream == nullptr)
        return -1;
    target->kind = TARGET_THROUGH_LINK;
    return 0;
}

int whitelist_target_open(struct whitelist_target *target, const char *path)
{
    target->stream = nullptr;
    target->kind = TARGET_DIRECT;
    target->is_stdout = 0;
    target->temp_path[0] = '\0';
    if (path[0] == '\0')
        return errno = ENOENT, -1;

    struct stat sb;
    if (lstat(path, &sb) != 0)
        return errno == ENOENT ? open_replacing(target, path, nullptr) : -1;
    if (S_ISREG(sb.st_mode))
        return open_replacing(target, path, &sb);
    if (S_ISLNK(sb.st_mode))
        return open_through_link(target, path);
    // Not a link a moment ago: should one stand there now, it is refused.
    return open_direct(target, path, O_NOFOLLOW);
}

static int write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        data += n;
        size -= (size_t)n;
    }
    return 0;
}

int whitelist_target_copy(FILE *lines, int fd)
{
    int from = fileno(lines);
    if (fflush(lines) != 0 || lseek(from, 0, SEEK_SET) != 0)
        return errno;
    char buf[8192];
    for (;;) {
        ssize_t n = read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            break;
        int error = write_all(fd, buf, (size_t)n);
        if (error != 0)
            return error;
    }
    struct stat sb;
    if (fstat(fd, &sb) == 0 && S_ISREG(sb.st_mode) && fsync(fd) != 0)
        return errno;
    return 0;
}
