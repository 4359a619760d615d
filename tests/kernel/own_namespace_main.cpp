// The kernel tests scan every process they can see: they run in a PID and
// mount namespace of their own (when root can make one), so that nothing
// else on the machine, another test's stalled file system included, can
// change what they find. The first process of the namespace is this
// program executed afresh there, so that it maps nothing through the
// mounts of the namespace left behind.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

static const char INSIDE[] = "VRIX_KERNEL_TESTS_INSIDE";

// Outside CI, a machine that cannot make one runs the tests in its own
// namespaces; under CI that is a failure, as they would then see the host.
static void enter_own_namespace(char **argv)
{
    if (getenv(INSIDE) != nullptr)
        return;
    if (geteuid() != 0 || unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
        const char *ci = getenv("CI");
        if (ci == nullptr || ci[0] == '\0')
            return;
        fprintf(stderr, "kernel tests: no PID and mount namespace of their own: %s\n",
                geteuid() != 0 ? "not root" : "unshare failed");
        _exit(1);
    }
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        _exit(1);
    }
    if (child == 0) {
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
            perror("mount");
            _exit(1);
        }
        setenv(INSIDE, "1", 1);
        execv("/proc/self/exe", argv);
        perror("execv");
        _exit(1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

int main(int argc, char **argv)
{
    enter_own_namespace(argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
