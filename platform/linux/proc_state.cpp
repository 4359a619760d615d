#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "proc_files.h"

int read_proc_stat(int dir_fd, char *state, unsigned long *flags)
{
    char text[1024];
    if (read_proc_file(dir_fd, "stat", text, sizeof text) < 0)
        return -1;
    // The command name may hold spaces and parentheses: fields start after
    // the last ')'. Then: state ppid pgrp session tty_nr tpgid flags.
    char *p = strrchr(text, ')');
    if (p == nullptr || p[1] != ' ')
        return errno = EINVAL, -1;
    *state = p[2];
    p += 3;
    for (int field = 0; field < 5; field++) {
        p = strchr(p + 1, ' ');
        if (p == nullptr)
            return errno = EINVAL, -1;
    }
    *flags = strtoul(p + 1, nullptr, 10);
    return 0;
}

pid_t live_thread(int dir_fd, pid_t leader)
{
    int task_fd = openat(dir_fd, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (task_fd < 0)
        return 0;
    DIR *dir = fdopendir(task_fd);
    if (dir == nullptr) {
        close(task_fd);
        return 0;
    }
    pid_t found = 0;
    struct dirent *de;
    while (found == 0 && (de = readdir(dir)) != nullptr) {
        pid_t tid = (pid_t)atoi(de->d_name);
        if (tid <= 0 || tid == leader)
            continue;
        int thread_fd = openat(dirfd(dir), de->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (thread_fd < 0)
            continue;
        char state;
        unsigned long flags;
        if (read_proc_stat(thread_fd, &state, &flags) == 0 && state != 'Z' && state != 'X')
            found = tid;
        close(thread_fd);
    }
    closedir(dir);
    return found;
}
