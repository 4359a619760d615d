#include "proc_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

char *pid_path(char *buf, size_t size, pid_t pid, const char *suffix)
{
    char digits[16];
    int n = 0;
    unsigned value = (unsigned)pid;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    size_t len = 0;
    while (n > 0 && len + 1 < size)
        buf[len++] = digits[--n];
    size_t suffix_len = strlen(suffix);
    if (len + suffix_len >= size)
        suffix_len = size - 1 - len;
    memcpy(buf + len, suffix, suffix_len);
    buf[len + suffix_len] = '\0';
    return buf;
}

int read_ns_link(int dir_fd, const char *name, char *buf, size_t size)
{
    ssize_t n = readlinkat(dir_fd, name, buf, size - 1);
    buf[n < 0 ? 0 : n] = '\0';
    return n < 0 ? -1 : 0;
}

ssize_t read_proc_file(int dir_fd, const char *name, char *buf, size_t size)
{
    int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, buf, size - 1);
    int error = errno;
    close(fd);
    if (n < 0)
        return errno = error, -1;
    buf[n] = '\0';
    return n;
}

ssize_t read_whole_proc_file(int dir_fd, const char *name, char **text)
{
    int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t size = 4096, len = 0;
    char *buf = (char *)malloc(size);
    ssize_t n = 0;
    while (buf != nullptr && (n = read(fd, buf + len, size - 1 - len)) > 0) {
        len += (size_t)n;
        if (len + 1 == size) {
            char *grown = (char *)realloc(buf, size * 2);
            if (grown == nullptr)
                free(buf);
            buf = grown;
            size *= 2;
        }
    }
    int error = buf == nullptr ? ENOMEM : errno;
    close(fd);
    if (buf == nullptr || n < 0) {
        free(buf);
        return errno = error, -1;
    }
    buf[len] = '\0';
    *text = buf;
    return (ssize_t)len;
}

void read_comm(int proc_fd, struct kinfo_proc *kp)
{
    char name[40];
    pid_path(name, sizeof name, kp->ki_pid, "/comm");
    char comm[64];
    if (read_proc_file(proc_fd, name, comm, sizeof comm) < 0)
        return;
    size_t len = strcspn(comm, "\n");
    if (len > COMMLEN)
        len = COMMLEN;
    memcpy(kp->ki_comm, comm, len);
    kp->ki_comm[len] = '\0';
}

static int parse_pid(const char *name, pid_t *pid)
{
    if (*name < '1' || *name > '9')
        return 0;
    char *end = nullptr;
    long value = strtol(name, &end, 10);
    if (*end != '\0' || value <= 0)
        return 0;
    *pid = (pid_t)value;
    return 1;
}

int each_pid(int (*each)(pid_t pid, void *arg), void *arg)
{
    DIR *dir = opendir("/proc");
    if (dir == nullptr)
        return -1;
    int result = 0;
    struct dirent *de;
    while (result == 0 && (de = readdir(dir)) != nullptr) {
        pid_t pid;
        if (parse_pid(de->d_name, &pid))
            result = each(pid, arg);
    }
    int error = errno;
    closedir(dir);
    return result == 0 ? 0 : (errno = error, -1);
}
