#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "cgroup_place.h"
#include "proc_linux.h"
#include "services.h"

// A process of a container of root's runtimes, with its namespaces.
struct member {
    std::string label;
    thing container;
    uint64_t start;
    ino_t ns[2];  // PID, network
};

static ino_t ns_of(int dir, const char *name)
{
    struct stat sb;
    return fstatat(dir, name, &sb, 0) == 0 ? sb.st_ino : 0;
}

static const char *const NAMESPACES[2] = {"ns/pid", "ns/net"};

// Every process that a container's cgroup holds, read once for the run.
static std::vector<member> members(void)
{
    std::vector<member> all;
    ino_t own[2];
    int self = open("/proc/1", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int k = 0; k < 2; k++)
        own[k] = self >= 0 ? ns_of(self, NAMESPACES[k]) : 0;
    if (self >= 0)
        close(self);
    for (const auto &p : read_parents()) {
        int dir = proc_dir(p.first);
        proc_stat st;
        thing t;
        if (dir < 0)
            continue;
        if (stat_of_dir(dir, &st) == 0 && place_host(cgroup_parts(read_cgroup(dir)), -1, &t) &&
            t.kind == "container" && (t.runtime == "docker" || t.runtime == "podman")) {
            member m = {t.label, t, st.start, {0, 0}};
            for (int k = 0; k < 2; k++) {
                ino_t ns = ns_of(dir, NAMESPACES[k]);
                m.ns[k] = ns == own[k] ? 0 : ns;  // the host's own are no one's
            }
            all.push_back(m);
        }
        close(dir);
    }
    return all;
}

// A namespace belongs to the container whose process in it started first
// (the one that made it); others in it joined that container, and end
// when it is restarted.
void order_joins(std::vector<thing> *things)
{
    int any = 0;
    for (const thing &t : *things)
        any |= t.kind == "container" && (t.runtime == "docker" || t.runtime == "podman") &&
               !t.commands.empty() && t.under < 0;
    if (!any)
        return;
    std::vector<member> all = members();
    std::map<std::pair<int, ino_t>, const member *> first;
    for (const member &m : all) {
        for (int k = 0; k < 2; k++) {
            const member *&f = first[{k, m.ns[k]}];
            if (m.ns[k] != 0 && (f == nullptr || m.start < f->start))
                f = &m;
        }
    }
    std::map<std::string, std::vector<const member *>> joined;  // by the label joined
    std::set<std::pair<std::string, std::string>> seen;
    for (const member &m : all) {
        for (int k = 0; k < 2; k++) {
            const member *f = m.ns[k] != 0 ? first[{k, m.ns[k]}] : nullptr;
            if (f != nullptr && f->label != m.label && seen.insert({f->label, m.label}).second)
                joined[f->label].push_back(&m);
        }
    }
    std::map<std::string, std::string> after;
    for (thing &t : *things) {
        auto found = joined.find(t.label);
        if (found == joined.end() || t.commands.empty() || t.under >= 0)
            continue;
        t.merge.clear();
        for (const member *m : found->second) {
            for (const auto &c : m->container.commands)
                t.commands.push_back(c);
            after[m->label] = t.label;
        }
    }
    for (thing &t : *things) {
        // one that others joined restarts them itself, whatever it joined
        auto found = after.find(t.label);
        if (found != after.end() && !joined.count(t.label)) {
            t.after = found->second;
            t.commands.clear();
            t.merge.clear();
        }
    }
}
