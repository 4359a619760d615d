#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "whitelist_target.h"

int write_all(int fd, const char *data, size_t size)
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

// Copies bytes [start, end) of from to the same place in to.
static int copy_range(int from, int to, off_t start, off_t end)
{
    char buf[8192];
    if (lseek(to, start, SEEK_SET) != start)
        return errno;
    while (start < end) {
        size_t want = end - start < (off_t)sizeof buf ? (size_t)(end - start) : sizeof buf;
        ssize_t n = pread(from, buf, want, start);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        int error = write_all(to, buf, (size_t)n);
        if (error != 0)
            return error;
        start += n;
    }
    return 0;
}

// What lies past the old end is written and synced first: a full file
// system or a quota refuses it while the old contents are still whole, and
// the file is cut back to its old length. Only then are the old bytes
// overwritten, which on a file system that writes in place needs no new
// space.
int whitelist_overwrite(int fd, int lines_fd)
{
    struct stat old, lines;
    if (fstat(fd, &old) != 0 || fstat(lines_fd, &lines) != 0)
        return errno;
    if (lines.st_size > old.st_size) {
        int error = copy_range(lines_fd, fd, old.st_size, lines.st_size);
        if (error == 0 && fdatasync(fd) != 0)
            error = errno;
        if (error != 0) {
            if (ftruncate(fd, old.st_size) != 0) {
                // Nothing more can be done; the old bytes are untouched.
            }
            return error;
        }
    }
    off_t head = lines.st_size < old.st_size ? lines.st_size : old.st_size;
    int error = copy_range(lines_fd, fd, 0, head);
    if (error == 0 && lines.st_size < old.st_size && ftruncate(fd, lines.st_size) != 0)
        error = errno;
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    return error;
}
