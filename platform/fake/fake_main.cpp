// vrix on the fake platform: the table comes from the script named by
// VRIX_FAKE_SCRIPT, so tests can run the whole program as a subprocess.
// VRIX_FAKE_BOUND_MS shortens the watch's bound; see fake_lookup for the
// file systems that answer slowly or never.
#include <stdlib.h>

#include "fake_platform.h"
#include "lookup.h"
#include "run.h"
#include "watch.h"

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
    return vrix_main(argc, argv);
}
