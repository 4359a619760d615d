#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process_facts.h"

// A child's parent may end before the child asks to end with it (a vrix
// killed right after forking a worker): the child must end at once, not
// live on under another parent. Here the parent has surely ended first;
// the child's status is reported by the reaper it was handed to, as an
// exit code: 0 ended as it should, 1 lived on.
static int orphan_lives_on(void)
{
    pid_t reaper = fork();
    if (reaper != 0) {
        int status = 0;
        waitpid(reaper, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    int gone[2];
    if (pipe(gone) != 0)
        _exit(2);
    pid_t middle = fork();
    if (middle == 0) {
        pid_t parent = getpid();
        if (fork() == 0) {
            close(gone[1]);
            char c;
            while (read(gone[0], &c, 1) > 0) {
            }
            // the parent's end has closed its descriptors
            alarm(5);
            die_with_parent(parent);
            pause();
            _exit(0);
        }
        _exit(0);
    }
    close(gone[0]);
    close(gone[1]);
    int status = 0;
    pid_t child;
    while ((child = wait(&status)) > 0) {
        if (child != middle)
            _exit(WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM ? 1 : 0);
    }
    _exit(2);
}

TEST(DieWithParent, AChildWhoseParentEndedFirstEndsAtOnce)
{
    EXPECT_EQ(orphan_lives_on(), 0);
}
