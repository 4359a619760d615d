#ifndef VRIX_PROC_LINUX_H
#define VRIX_PROC_LINUX_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

// What /proc says of a process, for placing its row. Each is read through
// the process's directory in /proc, held open: what is read through it is
// that process's or nothing, whoever takes its pid after it.

struct proc_stat {
    pid_t ppid;
    std::string comm;
    uint64_t start;  // process_start()'s unit
};

// The directory of pid in /proc, or -1; closed with close().
int proc_dir(pid_t pid);

// 0, or -1 when the process is gone: from its stat file, open at fd
// (read again from its start each time), or through its directory.
int stat_of_fd(int fd, proc_stat *st);
int stat_of_dir(int dir, proc_stat *st);
// The same of a file name at dir (AT_FDCWD: a path), where no directory
// is held.
int stat_at(int dir, const char *name, proc_stat *st);
// Its cgroup path: systemd's own hierarchy where one is mounted (a hybrid
// or legacy host), else the v2 one; "" when gone.
std::string read_cgroup(int dir);
std::string cgroup_at(int dir, const char *name);
// Its arguments.
std::vector<std::string> read_cmdline(int dir);
// The target of its exe link, "" when it cannot be had.
std::string read_exe(int dir);
// Whether it runs as root in our own user namespace (1), as another user
// of it (0; *uid gets the user), or neither of these (-1).
int runs_as(int dir, long *uid);
// Whether its executable is a file of root's that no one else may write.
int exe_of_root(int dir);

// The same of a pid, its directory opened for the one question.
std::string cgroup_of(pid_t pid);
// Every pid under /proc with its parent.
std::vector<std::pair<pid_t, pid_t>> read_parents(void);

#endif
