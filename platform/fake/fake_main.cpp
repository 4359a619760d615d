// vrix on the fake platform: the table comes from the script named by
// VRIX_FAKE_SCRIPT, so tests can run the whole program as a subprocess.
// VRIX_FAKE_BOUND_MS shortens the watch's bound; see fake_lookup for the
// file systems that answer slowly or never, and VRIX_FAKE_UIDS for the
// owners of processes.
#include <stdlib.h>

#include "fake_platform.h"
#include "lookup.h"
#include "run.h"
#include "watch.h"

// The owners of the script's processes, from VRIX_FAKE_UIDS ("PID=UID
// ..."); root for any other.
static int fake_owner(pid_t pid, uid_t *real, uid_t *effective)
{
    const char *uids = getenv("VRIX_FAKE_UIDS");
    *real = *effective = 0;
    for (const char *p = uids; p != nullptr && *p != '\0';) {
        char *end;
        long listed = strtol(p, &end, 10);
        if (*end != '=')
            break;
        long uid = strtol(end + 1, &end, 10);
        if (listed == (long)pid)
            *real = *effective = (uid_t)uid;
        p = *end == ' ' ? end + 1 : end;
    }
    return 0;
}

int main(int argc, char **argv)
{
    fake_reset();
    const char *script = getenv("VRIX_FAKE_SCRIPT");
    if (script != nullptr && fake_load_script(script) != 0)
        return 99;
    const char *bound = getenv("VRIX_FAKE_BOUND_MS");
    if (bound != nullptr)
        watch_bound_ms = atoi(bound);
    lookup_call = fake_lookup;
    lookup_place = fake_place;
    lookup_can_cache = 1;
    watch_owner_call = fake_owner;
    return vrix_main(argc, argv);
}
