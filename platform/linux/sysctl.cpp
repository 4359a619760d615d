#include <errno.h>

#include "platform.h"

// Linux has no jails: no setting of that name can be read.
int sysctlbyname(const char *, void *, size_t *, const void *, size_t)
{
    errno = ENOENT;
    return -1;
}
