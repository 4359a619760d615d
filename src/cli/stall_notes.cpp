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
static int system_announced, users_announced, cap_announced;
static const char *const CAP_WHOSE[] = {"users' processes", "it"};
static uint8_t user_announced[WATCH_USERS_MAX];
static uint32_t recorded_announced[WATCH_RECORDED_MAX];

// Any user can mount a file system and name its files: the name goes out
// escaped, as in the table.
void warn_no_answer(const char *path, int pid)
{
    fputs("vrix: no answer for '", stderr);
    print_escaped(stderr, path);
    fprintf(stderr, "' (process %d) within %d seconds\n", pid, (int)LOOKUP_BOUND_SECONDS);
}

static void say_spent(int *said, int spent, int bounds, const char *whose)
{
    if (*said || !spent)
        return;
    *said = 1;
    fprintf(stderr, "vrix: waited %d seconds in all on file systems for %s: names the kernel "
                    "has not cached are not asked again for them\n",
            bounds * (int)LOOKUP_BOUND_SECONDS, whose);
}

// Whose share is spent, once each: root's and the system users', a user's,
// all users'.
static void announce_shares(void)
{
    say_spent(&system_announced, watch_system_spent(), BUDGET_BOUNDS,
              "the processes of root and system users");
    for (uint32_t i = 0; i < watch->user_count && i < WATCH_USERS_MAX; i++) {
        if (user_announced[i] || !watch_user_spent(i))
            continue;
        user_announced[i] = 1;
        char whose[64];
        snprintf(whose, sizeof whose, "the processes of user %u", (unsigned)watch->users[i].uid);
        int said = 0;
        say_spent(&said, 1, BUDGET_BOUNDS, whose);
    }
    say_spent(&users_announced, watch_users_spent(), USERS_BUDGET_BOUNDS,
              "the processes of all users");
}

// What the run must say once, from what its workers met: a share spent,
// the cap of processes left behind reached, a device that an earlier run's
// process still waits on.
void announce(void)
{
    announce_shares();
    for (int whose = 0; whose < 2; whose++) {
        int bit = whose == 0 ? CAP_USERS : CAP_SYSTEM;
        if ((cap_announced & bit) || !(watch->cap_refused & bit))
            continue;
        cap_announced |= bit;
        fprintf(stderr, "vrix: not asked: %d processes that vrix left behind still wait, "
                        "as many as %s may leave\n",
                (int)watch->left_count, CAP_WHOSE[whose]);
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
// asleep in the kernel and is left behind, and counts against the cap. The
// next run learns of its device or directory from the record instead of
// waiting on it again.
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
    watch->left_count++;
    stall_record_add(key.dev != NO_DEVICE ? key : COUNT_ONLY, stuck);
}
