#include <ctype.h>
#include <string.h>

#include <map>

#include "cgroup_place.h"

static int ends_with(const std::string &s, const char *end)
{
    size_t n = strlen(end);
    return s.size() >= n && s.compare(s.size() - n, n, end) == 0;
}

static int starts_with(const std::string &s, const char *start)
{
    return s.compare(0, strlen(start), start) == 0;
}

static int all_of(const std::string &s, const char *set)
{
    return !s.empty() && strspn(s.c_str(), set) == s.size();
}

static const char HEX[] = "0123456789abcdef";

std::vector<std::string> cgroup_parts(const std::string &path)
{
    std::vector<std::string> parts;
    for (const std::string &part : split_at(path, '/'))
        if (!part.empty() && part != "..")
            parts.push_back(part);
    return parts;
}

// systemd writes bytes of a name in a unit name as \xHH ("\x2d" for "-").
static std::string unescaped(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s.compare(i, 2, "\\x") == 0 && i + 3 < s.size() && isxdigit((unsigned char)s[i + 2]) &&
            isxdigit((unsigned char)s[i + 3])) {
            out += (char)std::stoi(s.substr(i + 2, 2), nullptr, 16);
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The argument vector that runs a program as a user, through the user's
// own runtime directory: no D-Bus, no login.
static std::vector<std::string> as_user(long uid, long gid)
{
    std::string u = std::to_string(uid);
    return {"setpriv", "--reuid=" + u, "--regid=" + std::to_string(gid), "--init-groups", "env",
            "XDG_RUNTIME_DIR=/run/user/" + u};
}

static void command(thing *t, std::vector<std::string> words, size_t merged_words)
{
    if (merged_words > 0)
        t->merge.assign(words.begin(), words.begin() + (long)merged_words);
    t->commands.push_back(words);
}

static void for_user(thing *t, const std::string &user, long uid)
{
    t->user = user;
    t->uid = uid;
}

// A container of a user: theirs, without a command of root's.
static int owned(thing *t, const std::string &user)
{
    if (user.empty())
        return 1;
    t->label += " of " + shown(user);
    t->commands.clear();
    t->merge.clear();
    return 1;
}

// A podman container by its name when podman answers within a second,
// asked once per container; once it has not answered, it is not asked again.
static std::string podman_name(const std::string &id)
{
    static int silent;
    static std::map<std::string, std::string> names;
    auto found = names.find(id);
    if (found != names.end())
        return found->second;
    std::string name = id.substr(0, 12), out;
    if (!silent && run_bounded({"podman", "container", "inspect", "--format", "{{.Name}}", id}, 1,
                               &out, 4096) == 0 &&
        word_ok(out.substr(0, out.find('\n'))))
        name = out.substr(0, out.find('\n'));
    else
        silent = 1;
    return names[id] = name;
}

static int podman(thing *t, const std::string &id, const std::string &user)
{
    t->kind = "container";
    t->runtime = "podman";
    t->name = user.empty() ? podman_name(id) : id.substr(0, 12);
    t->label = "podman " + shown(t->name);
    command(t, {"podman", "restart", t->name}, 2);
    return owned(t, user);
}

static int docker(thing *t, const std::string &id, const std::string &user)
{
    t->kind = "container";
    t->runtime = "docker";
    t->name = id.substr(0, 12);
    t->label = "docker " + t->name;
    command(t, {"docker", "restart", t->name}, 2);
    return owned(t, user);
}

// A Kubernetes pod by the UID in its slice's name, and its container.
static int kube(const std::vector<std::string> &c, size_t i, thing *t, const std::string &user)
{
    for (size_t j = i; j < c.size(); j++) {
        const std::string &s = c[j];
        for (size_t at = s.find("pod"); at != std::string::npos; at = s.find("pod", at + 1)) {
            size_t len = strspn(s.c_str() + at + 3, "0123456789abcdef_-");
            if (len < 2 || strchr(HEX, s[at + 3]) == nullptr)
                continue;
            std::string pod = s.substr(at + 3, len);
            for (char &ch : pod)
                ch = ch == '_' ? '-' : ch;
            t->kind = "container";
            t->runtime = "kubernetes";
            t->name = pod;
            t->label = "pod " + pod;
            if (j + 1 < c.size()) {
                std::string id = c.back();
                if (ends_with(id, ".scope"))
                    id.resize(id.size() - 6);
                id = id.substr(id.rfind('-') == std::string::npos ? 0 : id.rfind('-') + 1);
                t->label += " container " + shown(id.substr(0, 12));
            }
            return owned(t, user);
        }
    }
    return 0;
}

static int lxc(thing *t, const std::string &name, const std::string &user)
{
    t->kind = "container";
    t->monitor = false;
    t->runtime = "lxc";
    t->name = name;
    t->label = "lxc " + shown(name);
    return owned(t, user);
}

// Part i as a container that root's runtimes name: Kubernetes, podman,
// docker, systemd-nspawn and LXC.
static int container(const std::vector<std::string> &c, size_t i, int booted, thing *t,
                     const std::string &user)
{
    const std::string &s = c[i];
    int last = i + 1 == c.size();
    if (starts_with(s, "kubepods"))
        return kube(c, i, t, user);
    if (starts_with(s, "libpod-")) {
        std::string id = s.substr(starts_with(s, "libpod-conmon-") ? 14 : 7);
        if (ends_with(id, ".scope"))
            id.resize(id.size() - 6);
        if (all_of(id, HEX))
            return podman(t, id, user);
    }
    if (starts_with(s, "docker-") && ends_with(s, ".scope") && all_of(s.substr(7, s.size() - 13), HEX))
        return docker(t, s.substr(7, s.size() - 13), user);
    if (s == "docker" && !last && all_of(c[i + 1], HEX))
        return docker(t, c[i + 1], user);
    if (i > 0 && c[i - 1] == "machine.slice" && starts_with(s, "machine-") &&
        ends_with(s, ".scope") && s.size() > 14) {
        t->kind = "container";
        t->runtime = "machine";
        t->name = unescaped(s.substr(8, s.size() - 14));
        t->label = "machine " + shown(t->name);
        // what restarts it is asked of the machine's manager later
        t->booted = booted;
        return owned(t, user);
    }
    if (starts_with(s, "systemd-nspawn@") && ends_with(s, ".service") && s.size() > 23 && !last &&
        (c[i + 1] == "payload" || c[i + 1] == "supervisor")) {
        t->kind = "container";
        t->runtime = "nspawn";
        t->name = unescaped(s.substr(15, s.size() - 23));
        t->label = "nspawn " + shown(t->name);
        if (unit_name_ok(s))
            command(t, {"systemctl", "restart", s}, 2);
        return owned(t, user);
    }
    if (starts_with(s, "lxc.payload.") && s.size() > 12)
        return lxc(t, s.substr(12), user);
    if (starts_with(s, "lxc.monitor.") && s.size() > 12) {
        lxc(t, s.substr(12), user);
        t->monitor = true;
        return 1;
    }
    if ((s == "lxc" || s == "lxc.payload") && !last)
        return lxc(t, c[i + 1], user);
    return 0;
}

static int is_unit(const std::string &s)
{
    return ends_with(s, ".service") || ends_with(s, ".scope");
}

// The uid of user@UID.service, or -1.
static long manager_uid(const std::string &s)
{
    if (!starts_with(s, "user@") || !ends_with(s, ".service"))
        return -1;
    std::string digits = s.substr(5, s.size() - 13);
    if (!all_of(digits, "0123456789") || digits.size() > 9)
        return -1;
    return std::stol(digits);
}

// What runs under a user manager belongs to that user: their services,
// their (rootless) containers, which root's commands do not reach, their
// apps; and the manager itself.
static int user_unit(const std::vector<std::string> &c, size_t u, long uid, int booted, thing *t)
{
    std::string user = user_name(uid);
    for_user(t, user, uid);
    t->of_manager = true;
    if (u + 1 == c.size() || (u + 2 == c.size() && c.back() == "init.scope")) {
        t->kind = "user-manager";
        t->name = t->label = c[u];
        command(t, {"systemctl", "restart", c[u]}, 0);
        t->ends_sessions = true;
        return 1;
    }
    for (size_t i = u + 1; i < c.size(); i++) {
        if (container(c, i, booted, t, user))
            return 1;
        if (!is_unit(c[i]))
            continue;
        t->name = c[i];
        t->label = shown(c[i]) + " of " + shown(user);
        t->kind = ends_with(c[i], ".service") ? "user-service" : "user-scope";
        if (t->kind == "user-service" && unit_name_ok(c[i]) && user_group(uid) >= 0) {
            std::vector<std::string> words = as_user(uid, user_group(uid));
            words.insert(words.end(), {"systemctl", "--user", "restart"});
            size_t merged = words.size();
            words.push_back(c[i]);
            if (c[i] == "dbus.service" || c[i] == "dbus-broker.service")
                merged = 0, t->ends_sessions = true;
            command(t, words, merged);
        }
        return 1;
    }
    t->kind = "user-cgroup";
    t->name = c.back();
    t->label = "cgroup " + shown(c.back()) + " of " + shown(user);
    return 1;
}

// The restarts that cut others off: never merged, always last.
static int ends_sessions(const std::string &unit)
{
    static const char *const ENDING[] = {
        "dbus.service", "dbus-broker.service", "systemd-logind.service", "display-manager.service",
        "gdm.service", "gdm3.service", "lightdm.service", "sddm.service", "xdm.service",
        "console-getty.service"};
    for (const char *name : ENDING) {
        if (unit == name)
            return 1;
    }
    static const char *const TEMPLATES[] = {"getty@", "serial-getty@", "autovt@",
                                            "container-getty@", "user@"};
    for (const char *prefix : TEMPLATES) {
        if (starts_with(unit, prefix) && ends_with(unit, ".service"))
            return 1;
    }
    return 0;
}

static int session(const std::vector<std::string> &c, size_t i, thing *t)
{
    const std::string &s = c[i];
    t->kind = "session";
    t->name = s.substr(8, s.size() - 14);
    t->label = "session " + shown(t->name);
    const std::string slice = i > 0 ? c[i - 1] : "";
    std::string digits = slice.size() > 11 ? slice.substr(5, slice.size() - 11) : "";
    if (starts_with(slice, "user-") && ends_with(slice, ".slice") && all_of(digits, "0123456789") &&
        digits.size() <= 9) {
        long uid = std::stol(digits);
        for_user(t, user_name(uid), uid);
        t->label += " of " + shown(t->user);
    }
    return 1;
}

int place_host(const std::vector<std::string> &c, int booted, thing *t)
{
    for (size_t i = 0; i < c.size(); i++) {
        const std::string &s = c[i];
        long uid = manager_uid(s);
        if (uid >= 0)
            return user_unit(c, i, uid, booted, t);
        if (container(c, i, booted, t, ""))
            return 1;
        if (starts_with(s, "session-") && ends_with(s, ".scope") && s.size() > 14)
            return session(c, i, t);
        if (ends_with(s, ".service")) {
            t->kind = "service";
            t->name = s;
            t->label = shown(s);
            if (unit_name_ok(s)) {
                t->ends_sessions = ends_sessions(s);
                command(t, {"systemctl", "restart", s}, t->ends_sessions ? 0 : 2);
            }
            return 1;
        }
        if (s == "init.scope" && i + 1 == c.size()) {
            t->kind = "init";
            t->name = t->label = s;
            command(t, {"systemctl", "daemon-reexec"}, 0);
            return 1;
        }
        if (ends_with(s, ".scope")) {
            t->kind = "scope";
            t->name = s;
            t->label = shown(s);
            return 1;
        }
    }
    return 0;
}

int place_namespace(const std::vector<std::string> &c, int booted, thing *t, std::string *unit)
{
    for (size_t i = 0; i < c.size(); i++) {
        long uid = manager_uid(c[i]);
        if (uid >= 0) {
            thing mine;
            if (user_unit(c, i, uid, booted, &mine) && mine.kind == "container") {
                *t = mine;
                return 1;
            }
            *unit = c[i];
            return 0;
        }
        if (container(c, i, booted, t, ""))
            return 1;
        // what a unit holds below it is its own, named as it likes
        if (is_unit(c[i])) {
            *unit = c[i];
            return 0;
        }
    }
    return 0;
}

void lxc_commands(thing *t, const std::string &lxcpath, int booted)
{
    t->lxcpath.clear();
    if (t->runtime != "lxc" || !t->user.empty() || !word_ok(lxcpath) || !word_ok(t->name))
        return;
    t->lxcpath = lxcpath;
    if (booted == 1 && !t->monitor) {
        command(t, {"lxc-stop", "-r", "-P", lxcpath, "-n", t->name}, 0);
    } else if (booted == 0 || t->monitor) {
        command(t, {"lxc-stop", "-P", lxcpath, "-n", t->name}, 0);
        command(t, {"lxc-start", "-P", lxcpath, "-n", t->name}, 0);
    }
}

// The value of option a (or b); with hex, the first that is a hex id.
static std::string option(const std::vector<std::string> &argv, const char *a, const char *b,
                          int hex = 0)
{
    for (size_t i = 1; i + 1 < argv.size(); i++) {
        if ((argv[i] == a || (b != nullptr && argv[i] == b)) && (!hex || all_of(argv[i + 1], HEX)))
            return argv[i + 1];
    }
    return "";
}

static std::string base_name(const std::string &s)
{
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

int place_by_starter(const std::vector<std::string> &argv, const std::string &user, long uid,
                     thing *t)
{
    if (argv.empty())
        return 0;
    std::string first = base_name(argv[0]);
    if (first == "conmon") {
        std::string id = option(argv, "-c", "--cid", 1);
        if (!all_of(id, HEX))
            return 0;
        podman(t, id, user);
        if (!user.empty())
            for_user(t, user, uid);
        if (!user.empty() && user_group(uid) >= 0) {
            // a rootless podman's container: its user's to restart
            std::vector<std::string> words = as_user(uid, user_group(uid));
            words.insert(words.end(), {"podman", "restart", id.substr(0, 12)});
            command(t, words, words.size() - 1);
        }
        return 1;
    }
    if (!user.empty())
        return 0;
    if (starts_with(argv[0], "[lxc monitor] ")) {
        std::string rest = argv[0].substr(14);
        size_t space = rest.find(' ');
        if (space == std::string::npos || rest.find(' ', space + 1) != std::string::npos)
            return 0;
        lxc(t, rest.substr(space + 1), "");
        t->lxcpath = rest.substr(0, space);  // checked by lxc_commands
        return 1;
    }
    if (starts_with(first, "containerd-shim")) {
        std::string ns = option(argv, "-namespace", nullptr);
        std::string id = option(argv, "-id", nullptr, 1);
        if ((!ns.empty() && ns != "moby") || !all_of(id, HEX))
            return 0;
        return docker(t, id, "");
    }
    if (first == "systemd-nspawn") {
        t->kind = "container";
        t->runtime = "nspawn";
        t->name = option(argv, "-M", "--machine");
        for (const std::string &a : argv) {
            if (starts_with(a, "--machine="))
                t->name = a.substr(10);
        }
        t->label = t->name.empty() ? "" : "nspawn " + shown(t->name);
        return 1;
    }
    return 0;
}
