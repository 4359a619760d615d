#include <sys/types.h>

#include "process_facts.h"
#include "watch.h"

// Whose share a wait spends: the rule is written down in watch.h.

owner_call watch_owner_call = process_uids;

static int64_t bounds_us(int bounds)
{
    return (int64_t)bounds * watch_bound_ms * 1000;
}

static int system_uid(uid_t uid)
{
    return uid <= (uid_t)SYSTEM_UID_MAX;
}

// The owner of the process at hand, asked once for it. A process that
// cannot be asked (gone, or a pid of another view) is taken for a user's
// without a slot: it never draws on root's share.
static int32_t owner_of_process(void)
{
    if (watch->owner != OWNER_UNKNOWN)
        return watch->owner;
    uid_t real, effective;
    if (watch_owner_call(watch->pid, &real, &effective) != 0)
        return watch->owner = OWNER_UNLISTED;
    if (system_uid(real) && system_uid(effective))
        return watch->owner = OWNER_SYSTEM;
    uid_t uid = system_uid(real) ? effective : real;
    for (uint32_t i = 0; i < watch->user_count; i++) {
        if (watch->users[i].uid == (uint32_t)uid)
            return watch->owner = (int32_t)i;
    }
    if (watch->user_count >= WATCH_USERS_MAX)
        return watch->owner = OWNER_UNLISTED;
    watch->users[watch->user_count].uid = (uint32_t)uid;
    watch->users[watch->user_count].used_us = 0;
    return watch->owner = (int32_t)watch->user_count++;
}

int watch_owner_is_system(void)
{
    return owner_of_process() == OWNER_SYSTEM;
}

int watch_system_spent(void)
{
    return watch->system_used_us >= bounds_us(BUDGET_BOUNDS);
}

int watch_user_spent(uint32_t i)
{
    return i < watch->user_count && watch->users[i].used_us >= bounds_us(BUDGET_BOUNDS);
}

int watch_users_spent(void)
{
    return watch->users_used_us >= bounds_us(USERS_BUDGET_BOUNDS);
}

void watch_charge(int64_t us)
{
    if (watch->owner == OWNER_UNKNOWN && !watch->owners_eager &&
        watch->pending_us + us < OWNER_AFTER_US) {
        watch->pending_us += us;
        return;
    }
    int32_t owner = owner_of_process();
    us += watch->pending_us;
    watch->pending_us = 0;
    if (owner == OWNER_SYSTEM) {
        watch->system_used_us += us;
    } else {
        watch->users_used_us += us;
        if (owner >= 0)
            watch->users[owner].used_us += us;
    }
    if (watch_system_spent() || watch_users_spent() ||
        (owner >= 0 && watch_user_spent((uint32_t)owner)))
        watch->owners_eager = 1;
}

// The next process: what the last one waited, too little to have asked
// whose it was, goes to the pool.
void watch_shares_next(void)
{
    watch->pooled_us += watch->pending_us;
    watch->pending_us = 0;
    watch->owner = OWNER_UNKNOWN;
    if (watch->pooled_us >= bounds_us(1) / POOL_BOUND_PART)
        watch->owners_eager = 1;
}

int watch_share_spent(void)
{
    // no share spent, and the pool not full: nobody's is
    if (!watch->owners_eager)
        return 0;
    int32_t owner = owner_of_process();
    if (owner == OWNER_SYSTEM)
        return watch_system_spent();
    return watch_users_spent() || (owner >= 0 && watch_user_spent((uint32_t)owner));
}
