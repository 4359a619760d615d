// vrix on the fake platform: the table comes from the script named by
// VRIX_FAKE_SCRIPT, so tests can run the whole program as a subprocess.
#include <stdlib.h>

#include "fake_platform.h"
#include "run.h"

int main(int argc, char **argv)
{
    fake_reset();
    const char *script = getenv("VRIX_FAKE_SCRIPT");
    if (script != nullptr && fake_load_script(script) != 0)
        return 99;
    return vrix_main(argc, argv);
}
