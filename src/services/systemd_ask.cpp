#include <map>

#include "systemd_ask.h"

// A question to systemd's tools, asked once; once one has not answered in
// time, none is asked again in this run.
static int ask(const std::vector<std::string> &argv, std::string *out)
{
    static int silent;
    static std::map<std::vector<std::string>, std::pair<int, std::string>> asked;
    auto found = asked.find(argv);
    if (found == asked.end()) {
        std::string text;
        int status = silent ? -1 : run_bounded(argv, 2, &text, 4096);
        if (status == -2)
            silent = 1;
        found = asked.emplace(argv, std::make_pair(status, text)).first;
    }
    *out = found->second.second;
    return found->second.first;
}

// machinectl only where machined knows the machine; otherwise the
// machine's own unit where it exists; otherwise nothing.
static void machine_commands(thing *t)
{
    std::string out;
    if (!word_ok(t->name))
        return;
    if (t->booted != 0 && ask({"machinectl", "show", t->name}, &out) == 0) {
        t->commands.push_back({"machinectl", "reboot", t->name});
        t->merge = {"machinectl", "reboot"};
        return;
    }
    std::string unit = "systemd-nspawn@" + t->name + ".service";
    if (unit_name_ok(unit) &&
        ask({"systemctl", "show", "--property=LoadState", "--", unit}, &out) == 0 &&
        out.compare(0, 16, "LoadState=loaded") == 0) {
        t->commands.push_back({"systemctl", "restart", unit});
        t->merge = {"systemctl", "restart"};
    }
}

// NAME@INSTANCE.service started by NAME.socket with Accept=yes serves one
// connection: restarting it fails ("Got no socket"), and it ends with the
// connection anyway.
static void connection(thing *t)
{
    size_t at = t->name.find('@');
    std::string out;
    if (at == std::string::npos || at == 0 || !unit_name_ok(t->name))
        return;
    std::string socket = t->name.substr(0, at) + ".socket";
    if (ask({"systemctl", "show", "--property=Accept", "--", socket}, &out) != 0 ||
        out.compare(0, 10, "Accept=yes") != 0)
        return;
    t->kind = "connection";
    t->commands.clear();
    t->merge.clear();
}

void systemd_commands(thing *t)
{
    if (t->kind == "container" && t->runtime == "machine" && t->user.empty() && t->commands.empty())
        machine_commands(t);
    else if (t->kind == "service" && !t->ends_sessions)
        connection(t);
}
