#ifndef VRIX_CGROUP_PLACE_H
#define VRIX_CGROUP_PLACE_H

#include <string>
#include <vector>

#include "services.h"

// What a cgroup path says a process belongs to, by the names that root
// and systemd give: the outermost part of the path that names something
// wins, and nothing inside a unit is read but a user manager's own units,
// which are that user's. booted: whether the container's first process
// is an init (1), is not (0), or unknown (-1).

// The components of a cgroup path, empty ones and ".." left out.
std::vector<std::string> cgroup_parts(const std::string &path);

// A process of our PID namespace; 0 when the path names nothing.
int place_host(const std::vector<std::string> &c, int booted, thing *t);

// A process of another PID namespace: only a container, never a unit of
// the host; *unit gets the outermost unit it lies in when it names no
// container. 0 when it names none.
int place_namespace(const std::vector<std::string> &c, int booted, thing *t, std::string *unit);

// The things that a starter of a namespace names, when it is trusted:
// the monitor of LXC, conmon, docker's shim, systemd-nspawn. user: the
// name of the user it runs as, "" for root. 0 when argv names none.
int place_by_starter(const std::vector<std::string> &argv, const std::string &user, long uid,
                     thing *t);

// The commands of LXC for a container at lxcpath, booted or not.
void lxc_commands(thing *t, const std::string &lxcpath, int booted);

#endif
