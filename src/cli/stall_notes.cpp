#include "stall_notes.h"

#include <signal.h>
#include <stdio.h>
#include <time.h>

#include "escape.h"
#include "process_facts.h"
#include "stall_record.h"
#include "watch.h"

// How long a process left behind is given to end once killed, before it is
// taken for stuck in the kernel.
enum { LEFT_BEHIND_CHECK_MS = 200 };

// What the run has said once and must not say again.
static int budget_announced;
static uint32_t recorded_announced[WATCH_RECORDED_MAX];

// Any user can mount a file system and name its files: the name goes out
// escaped, as in the table.
void warn_no_answer(const char *path, int pid)
{
    fputs("vrix: no answer for '", stderr);
    print_escaped(stderr, path);
    fprintf(stderr, "' (process %d) within %d seconds\n", pid, (int)LOOKUP_BOUND_SECONDS);
}

// What the run must say once, from what its workers met: the budget spent,
// a device that an earlier run's process still waits on.
void announce(void)
{
    if (!budget_announced && watch_budget_spent()) {
        budget_announced = 1;
        fprintf(stderr, "vrix: waited %d seconds in all on file systems: names the kernel "
                        "has not cached are not asked again\n",
                BUDGET_BOUNDS * (int)LOOKUP_BOUND_SECONDS);
    }
    for (uint32_t i = 0; i < watch->recorded_count; i++) {
        if (watch->recorded_refused[i] && !recorded_announced[i]) {
            recorded_announced[i] = 1;
            fprintf(stderr, "vrix: not asked: a file system on which process %d, left "
                            "behind by an earlier run, still waits\n",
                    (int)watch->recorded_pid[i]);
        }
    }
}

// A process stuck on a lookup is killed; one that does not end at once is
// asleep in the kernel and is left behind. The next run learns of its
// device or directory from the record instead of waiting on it again.
void leave_behind(pid_t stuck, struct stall_key key)
{
    kill(stuck, SIGKILL);
    uint64_t start;
    for (int waited = 0; waited < LEFT_BEHIND_CHECK_MS; waited += 10) {
        if (process_start(stuck, &start) != 0)
            return;
        struct timespec t = {0, 10 * 1000000L};
        nanosleep(&t, nullptr);
    }
    if (key.dev != NO_DEVICE)
        stall_record_add(key, stuck);
}
