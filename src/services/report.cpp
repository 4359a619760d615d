#include <stdio.h>
#include <string.h>

#include <map>

#include "reboot.h"
#include "services.h"
#include "verdict.h"

// The rows placed: things in the order of their first rows, then the
// processes of none, then the err rows.
struct grouped {
    std::vector<thing> things;
    std::vector<std::string> loose;  // lines, or JSON objects
    std::vector<std::string> errs;
};

static std::string row_object(const char *kind, const taken_row &row)
{
    return std::string("{\"kind\":\"") + kind + "\",\"pid\":" + std::to_string(row.pid) +
           ",\"jid\":" + std::to_string(row.jid) + ",\"path\":" + json_string(row.path) + "}";
}

static std::string row_line(const char *what, const taken_row &row, const char *after)
{
    return std::string(what) + " " + std::to_string(row.pid) + " " + table_text(row.path) + after;
}

static grouped group(const struct services_run *run, int json)
{
    grouped g;
    std::map<std::string, size_t> by_label;
    for (const taken_row &row : run->rows) {
        if (row.verdict == VERDICT_ERROR) {
            g.errs.push_back(json ? row_object("err", row) : row_line("err", row, ""));
            continue;
        }
        thing t;
        int placed = place_row(run, &row, &t);
        if (placed != PLACE_GONE && run->caller > 0 && in_tree_of(run->caller, (pid_t)row.pid)) {
            g.loose.push_back(json ? row_object("caller", row)
                                   : row_line("process", row, ", ends with the run that called vrix-services"));
            continue;
        }
        if (placed != PLACE_THING) {
            int gone = placed == PLACE_GONE;
            g.loose.push_back(json ? row_object(gone ? "gone" : "process", row)
                                   : row_line("process", row, gone ? ", no longer running" : ""));
            continue;
        }
        auto found = by_label.find(t.label);
        if (found == by_label.end()) {
            found = by_label.emplace(t.label, g.things.size()).first;
            g.things.push_back(t);
        } else if (t.monitor && !g.things[found->second].monitor) {
            // a monitor that needs restarting takes a stop and a start
            g.things[found->second].monitor = true;
            g.things[found->second].commands = t.commands;
        }
        g.things[found->second].pids.push_back(row.pid);
    }
    // restarting a user manager restarts what runs under it
    std::map<long, int> managers;
    for (size_t i = 0; i < g.things.size(); i++) {
        if (g.things[i].kind == "user-manager")
            managers[g.things[i].uid] = (int)i;
    }
    for (thing &t : g.things) {
        if (t.of_manager && t.kind != "user-manager" && managers.count(t.uid))
            t.under = managers[t.uid];
    }
    order_joins(&g.things);
    return g;
}

static std::string sh_command(const std::vector<std::string> &words)
{
    std::string out;
    for (const std::string &w : words)
        out += (out.empty() ? "" : " ") + sh_word(w);
    return out;
}

static std::string commands_text(const thing &t)
{
    std::string out;
    for (const auto &c : t.commands)
        out += (out.empty() ? "" : " && ") + sh_command(c);
    return out;
}

static std::string pids_text(const thing &t, const char *sep)
{
    std::string out;
    for (unsigned pid : t.pids)
        out += (out.empty() ? "" : sep) + std::to_string(pid);
    return out;
}

static std::string thing_line(const thing &t, const char *indent)
{
    std::string line = indent + t.label + (t.pids.size() > 1 ? " (pids " : " (pid ") +
                       pids_text(t, " ") + ")";
    std::string text = t.under < 0 ? commands_text(t) : "";
    if (t.kind == "connection")
        text = "ends with its connection";
    else if (!t.after.empty())
        text = "started again after " + t.after;
    return text.empty() ? line : line + ": " + text;
}

static std::string thing_json(const grouped &g, const thing &t)
{
    std::string o = "{\"kind\":" + json_string(t.kind) + ",\"label\":" + json_string(t.label) +
                    ",\"name\":" + json_string(t.name);
    if (!t.runtime.empty())
        o += ",\"runtime\":" + json_string(t.runtime);
    if (t.uid >= 0)
        o += ",\"user\":" + json_string(t.user) + ",\"uid\":" + std::to_string(t.uid);
    if (!t.lxcpath.empty())
        o += ",\"lxcpath\":" + json_string(t.lxcpath);
    if (!t.path.empty())
        o += ",\"path\":" + json_string(t.path);
    if (!t.unit.empty())
        o += ",\"unit\":" + json_string(t.unit);
    o += ",\"pids\":[" + pids_text(t, ",") + "],\"commands\":[";
    for (size_t i = 0; t.under < 0 && i < t.commands.size(); i++) {
        o += i > 0 ? ",[" : "[";
        for (size_t w = 0; w < t.commands[i].size(); w++)
            o += (w > 0 ? "," : "") + json_string(t.commands[i][w]);
        o += "]";
    }
    o += "]";
    if (t.ends_sessions && t.under < 0)
        o += ",\"ends\":\"sessions\"";
    if (t.under >= 0)
        o += ",\"under\":" + json_string(g.things[(size_t)t.under].label);
    if (!t.after.empty())
        o += ",\"after\":" + json_string(t.after);
    return o + "}";
}

// The place of a restart that cuts others off in the last line: the
// system bus, logind, gettys, display managers, then users' buses and
// their managers.
static int deferred_rank(const thing &t)
{
    if (t.kind == "user-manager")
        return 5;
    if (t.kind != "service")
        return 4;
    const std::string &n = t.name;
    if (n == "dbus.service" || n == "dbus-broker.service")
        return 0;
    if (n == "systemd-logind.service")
        return 1;
    for (const char *getty : {"getty@", "serial-getty@", "autovt@", "container-getty@", "console-getty."}) {
        if (n.compare(0, strlen(getty), getty) == 0)
            return 2;
    }
    return 3;
}

// The restarts that end nothing, one command for the names that it takes
// together; those that cut others off each on their own, last.
static void restart_lines(const grouped &g)
{
    std::vector<std::string> slots, last[6];
    std::map<std::vector<std::string>, size_t> merged;
    for (const thing &t : g.things) {
        if (t.under >= 0 || t.commands.empty())
            continue;
        if (t.ends_sessions) {
            last[deferred_rank(t)].push_back(commands_text(t));
        } else if (!t.merge.empty() && t.commands.size() == 1) {
            auto found = merged.find(t.merge);
            if (found != merged.end()) {
                slots[found->second] += " " + sh_word(t.commands[0].back());
                continue;
            }
            merged[t.merge] = slots.size();
            slots.push_back(sh_command(t.commands[0]));
        } else {
            slots.push_back(commands_text(t));
        }
    }
    std::string all, ending;
    for (const std::string &s : slots)
        all += (all.empty() ? "" : "; ") + s;
    for (const auto &rank : last) {
        for (const std::string &s : rank)
            ending += (ending.empty() ? "" : "; ") + s;
    }
    if (!all.empty())
        printf("restart: %s\n", all.c_str());
    if (!ending.empty())
        printf("restart last, ends sessions: %s\n", ending.c_str());
}

void report(const struct services_run *run, int form)
{
    grouped g = group(run, form == OUT_JSON);
    for (size_t i = 0; i < g.things.size(); i++) {
        const thing &t = g.things[i];
        if (t.under >= 0)
            continue;
        for (size_t j = i; j < g.things.size(); j++) {
            const thing &u = g.things[j];
            if (j != i && u.under != (int)i)
                continue;
            if (form == OUT_JSON)
                printf("%s\n", thing_json(g, u).c_str());
            else if (form == OUT_HUMAN)
                printf("%s\n", thing_line(u, j == i ? "" : "  ").c_str());
            for (size_t k = 0; form == OUT_LABELS && k < u.pids.size(); k++)
                printf("%u %s\n", u.pids[k], u.label.c_str());
        }
    }
    reboot_need r;
    if (read_reboot_within(run->root, &r, REBOOT_BOUND_MS, read_reboot) != 0) {
        r = reboot_need();
        fprintf(stderr, "vrix-services: the installed kernels could not be read within %d seconds: "
                        "whether the machine needs a reboot is not said\n",
                REBOOT_BOUND_MS / 1000);
    }
    if (form == OUT_LABELS) {
        if (reboot_needed(r))
            printf("%s\n", reboot_line(r).c_str());
        return;
    }
    for (const std::string &line : g.loose)
        printf("%s\n", line.c_str());
    for (const std::string &line : g.errs)
        printf("%s\n", line.c_str());
    if (form == OUT_HUMAN)
        restart_lines(g);
    if (reboot_needed(r))
        printf("%s\n", form == OUT_JSON ? reboot_json(r).c_str() : reboot_line(r).c_str());
}
