#ifndef VRIX_RC_PLACE_H
#define VRIX_RC_PLACE_H

#include <sys/types.h>

#include <map>
#include <string>

#include "services.h"

// FreeBSD's things, from what the system answered: jails and rc.d services.

// The services that "service -e" lists (their scripts' paths, a line
// each), by the pids that their pidfiles name: NAME.pid or NAME/NAME.pid
// under run_dir, as pid_in reads them (0 for none).
std::map<pid_t, std::string> rc_service_pids(const std::string &enabled, const std::string &run_dir,
                                             pid_t (*pid_in)(const std::string &path));

// The service of pid or of one of its ancestors (parent_of gives 0 at the
// end); 0 when none.
int rc_thing(pid_t pid, const std::map<pid_t, std::string> &services, pid_t (*parent_of)(pid_t),
             thing *t);

// A jail by its name (its jid when the kernel gave none) and path.
void jail_thing(const std::string &name, const std::string &path, thing *t);

#endif
