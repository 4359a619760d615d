#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "services.h"

extern char **environ;

long long now_ms(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// The program in a process group of its own, its standard input on
// /dev/null, its output into a pipe, its errors dropped.
static pid_t start(const std::vector<std::string> &argv, int out_fd)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return pid;
}

// Reads until the end of output or the deadline; 0 at the end.
int read_until(int fd, long long deadline, std::string *out, size_t limit)
{
    char buf[4096];
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0)
            return -1;
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, (int)left);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        if (out->size() < limit)
            out->append(buf, (size_t)n < limit - out->size() ? (size_t)n : limit - out->size());
    }
}

// Waits for pid until the deadline; its status, or -1.
static int reap_until(pid_t pid, long long deadline)
{
    for (;;) {
        int status;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0 && errno != EINTR)
            return -1;
        if (now_ms() >= deadline)
            return -1;
        struct timespec nap = {0, 10 * 1000000L};
        nanosleep(&nap, nullptr);
    }
}

// A command that has not ended within its time gets SIGTERM, and SIGKILL
// after a grace time of a second; whatever it started in its group too.
int run_bounded(const std::vector<std::string> &argv, int seconds, std::string *out,
                size_t limit)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    pid_t pid = start(argv, fds[1]);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    long long deadline = now_ms() + seconds * 1000LL;
    int ended = read_until(fds[0], deadline, out, limit) == 0;
    close(fds[0]);
    int status = ended ? reap_until(pid, deadline) : -1;
    if (status == -1) {
        kill(-pid, SIGTERM);
        status = reap_until(pid, now_ms() + 1000);
        if (status == -1) {
            kill(-pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        return -2;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}
