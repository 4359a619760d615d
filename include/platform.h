#ifndef VRIX_PLATFORM_H
#define VRIX_PLATFORM_H

// The one switch between platforms: FreeBSD's own process-information
// library, or the project's stand-in with the same names everywhere else.
#if defined(__FreeBSD__)
#include <sys/param.h>
#include <sys/queue.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <libprocstat.h>
// FreeBSD's getopt stops at the first operand by itself.
#define VRIX_GETOPT_OPTIONS "c:w:h"
#else
#include "procstat_compat.h"
// GNU getopt permutes operands unless told to follow POSIX with "+".
#define VRIX_GETOPT_OPTIONS "+c:w:h"
#endif

#endif
