#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "linux_procstat.h"

// readlink of exe failed with ENOENT: a kernel thread or a zombie has no
// executable, which FreeBSD answers with an empty path; a process that is
// gone altogether is ESRCH.
static int no_executable(int dir_fd, char *pathname)
{
    char stat_text[512];
    if (read_proc_file(dir_fd, "stat", stat_text, sizeof stat_text) < 0)
        return errno = ESRCH, -1;
    pathname[0] = '\0';
    return 0;
}

int procstat_getpathname(struct procstat *ps, struct kinfo_proc *kp, char *pathname,
                         size_t maxlen)
{
    int dir_fd = proc_dir(ps, kp->ki_pid);
    if (dir_fd < 0)
        return -1;
    char link[PATH_MAX + 1];
    ssize_t n = readlinkat(dir_fd, "exe", link, sizeof link);
    if (n < 0) {
        if (errno == ENOENT)
            return no_executable(dir_fd, pathname);
        if (errno == EPERM)
            errno = EACCES;
        return -1;
    }
    if ((size_t)n == sizeof link)
        return errno = ENAMETOOLONG, -1;
    link[n] = '\0';
    if (ends_with_deleted_marker(link)) {
        struct stat running;
        if (fstatat(dir_fd, "exe", &running, 0) != 0)
            return errno == ENOENT ? (errno = ESRCH, -1) : -1;
        strip_deleted_marker(link, running.st_dev, running.st_ino);
    }
    size_t len = strlen(link);
    if (len >= maxlen)
        return errno = ENAMETOOLONG, -1;
    memcpy(pathname, link, len + 1);
    return 0;
}
