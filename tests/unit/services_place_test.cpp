#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process_facts.h"
#include "services.h"
#include "verdict.h"

// A child that waits to be killed.
static pid_t waiting_child(void)
{
    pid_t pid = fork();
    if (pid == 0) {
        pause();
        _exit(0);
    }
    return pid;
}

static int placed(const services_run &run, pid_t pid, uint64_t start)
{
    taken_row row = {(unsigned)pid, 0, VERDICT_MISSING, "/usr/bin/x", start};
    thing t;
    return place_row(&run, &row, &t);
}

// A row is blamed only on the process that was judged: the same pid, the
// start the scan read, no later than the scan listed it. A pid that ended
// or that another process has taken since is no one's.
TEST(ServicesPlace, ARowIsBlamedOnlyOnTheProcessJudged)
{
    pid_t pid = waiting_child();
    ASSERT_GT(pid, 0);
    uint64_t start = 0;
    ASSERT_EQ(process_start(pid, &start), 0);
    services_run run;
    run.started_by = start_clock_now();
    run.from_table = 0;
    EXPECT_NE(placed(run, pid, start), PLACE_GONE);
    EXPECT_EQ(placed(run, pid, start + 1), PLACE_GONE) << "another process at the pid";
    EXPECT_EQ(placed(run, pid, 0), PLACE_GONE) << "a start the scan could not read";
    services_run earlier = run;
    earlier.started_by = start - 1;
    EXPECT_EQ(placed(earlier, pid, start), PLACE_GONE) << "started after the list was made";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(placed(run, pid, start), PLACE_GONE) << "ended";
}
