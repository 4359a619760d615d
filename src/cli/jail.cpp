#include "platform.h"
#include "run.h"

// The value of security.jail.jailed, or -1 when the setting cannot be read
// (as on systems without jails).
int jail_state(void)
{
    int jailed = 0;
    size_t len = sizeof jailed;
    if (sysctlbyname("security.jail.jailed", &jailed, &len, nullptr, 0) != 0)
        return -1;
    return jailed;
}
