#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "linux_procstat.h"

typedef std::string namespace_id;

static int pid_namespace(int proc_fd, pid_t pid, namespace_id *id)
{
    char name[40], link[64];
    pid_path(name, sizeof name, pid, "/ns/pid");
    if (read_ns_link(proc_fd, name, link, sizeof link) != 0)
        return -1;
    *id = link;
    return 0;
}

// Whether the process is the first of its PID namespace: its innermost pid,
// the last one on the NSpid line of its status, is 1. The status is read
// whole: a process with many groups has a long one, NSpid after them.
static int is_namespace_init(int proc_fd, pid_t pid)
{
    char name[40], *text = nullptr;
    pid_path(name, sizeof name, pid, "/status");
    if (read_whole_proc_file(proc_fd, name, &text) < 0)
        return 0;
    const char *line = strstr(text, "\nNSpid:");
    int first = 0;
    if (line != nullptr) {
        const char *end = strchr(line + 1, '\n');
        const char *last = end == nullptr ? line + strlen(line) : end;
        while (last > line && (last[-1] < '0' || last[-1] > '9'))
            last--;
        while (last > line && last[-1] >= '0' && last[-1] <= '9')
            last--;
        first = atoi(last) == 1;
    }
    free(text);
    return first;
}

// Linux has no jails; its containers are PID namespaces. A process in ours
// gets jail ID 0; one in another namespace gets the pid, as we see it, of the
// first process of that namespace, which container tools show as the
// container's pid.
void assign_jail_ids(struct procstat *ps, struct kinfo_proc *procs, size_t count)
{
    int proc_fd = ps->proc_fd;
    if (ps->pid_ns[0] == '\0')
        return;
    const namespace_id own = ps->pid_ns;
    std::vector<std::pair<size_t, namespace_id>> outside;
    std::map<namespace_id, pid_t> inits;
    for (size_t i = 0; i < count; i++) {
        namespace_id id;
        if (pid_namespace(proc_fd, procs[i].ki_pid, &id) != 0 || id == own)
            continue;
        outside.emplace_back(i, id);
        if (is_namespace_init(proc_fd, procs[i].ki_pid))
            inits[id] = procs[i].ki_pid;
    }
    for (const auto &member : outside) {
        auto init = inits.find(member.second);
        if (init != inits.end())
            procs[member.first].ki_jid = (int)init->second;
    }
}
