#include "rc_place.h"

std::map<pid_t, std::string> rc_service_pids(const std::string &enabled, const std::string &run_dir,
                                             pid_t (*pid_in)(const std::string &path))
{
    std::map<pid_t, std::string> pids;
    for (const std::string &line : split_at(enabled, '\n')) {
        size_t slash = line.rfind('/');
        std::string name = slash == std::string::npos ? line : line.substr(slash + 1);
        if (!word_ok(name) || name.find('/') != std::string::npos)
            continue;
        for (const std::string &file : {run_dir + "/" + name + ".pid", run_dir + "/" + name + "/" + name + ".pid"}) {
            pid_t pid = pid_in(file);
            if (pid > 0 && !pids.count(pid))
                pids[pid] = name;
        }
    }
    return pids;
}

int rc_thing(pid_t pid, const std::map<pid_t, std::string> &services, pid_t (*parent_of)(pid_t),
             thing *t)
{
    for (int steps = 0; pid > 1 && steps < 10000; steps++, pid = parent_of(pid)) {
        auto found = services.find(pid);
        if (found == services.end())
            continue;
        t->kind = "rc-service";
        t->name = found->second;
        t->label = "service " + shown(t->name);
        t->commands.push_back({"service", t->name, "restart"});
        return 1;
    }
    return 0;
}

void jail_thing(const std::string &name, const std::string &path, thing *t)
{
    t->kind = "jail";
    t->name = name;
    t->path = path;
    t->label = "jail " + shown(name);
    if (word_ok(name)) {
        t->commands.push_back({"service", "jail", "restart", name});
        t->merge = {"service", "jail", "restart"};
    }
}
