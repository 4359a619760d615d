#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <map>

#include "cgroup_place.h"
#include "proc_linux.h"
#include "services.h"
#include "systemd_ask.h"

static std::string base_name(const std::string &s)
{
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

static int ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Whether one path names the file of the other: the same, or one seen
// from a root below the other.
static int same_file(const std::string &a, const std::string &b)
{
    const std::string &shorter = a.size() < b.size() ? a : b;
    const std::string &longer = a.size() < b.size() ? b : a;
    return !shorter.empty() && shorter[0] == '/' && ends_with(longer, shorter);
}

// A row of a table is blamed only while its pid runs the executable that
// the row names (or one that cannot be told).
static int same_executable(int dir, const std::string &path, const std::string &comm)
{
    if (path == "-")
        return 1;
    std::string exe = read_exe(dir);
    if (path.size() > 2 && path[0] == '(' && path.back() == ')')
        return path == "(" + comm + ")" || exe.empty();
    if (exe.empty() || same_file(path, exe))
        return 1;
    return ends_with(exe, " (deleted)") && same_file(path, exe.substr(0, exe.size() - 10));
}

// A starter runs as root of our user namespace from root's executable;
// or it is a user's conmon, a rootless podman's. Its user, "" for root;
// -1 when it counts for nothing.
static int trusted_starter(int dir, std::string *user, long *uid)
{
    int as = runs_as(dir, uid);
    if (as < 0 || !exe_of_root(dir))
        return -1;
    if (as == 1) {
        user->clear();
        return 0;
    }
    if (base_name(read_exe(dir)) != "conmon")
        return -1;
    *user = user_name(*uid);
    return 0;
}

// The lxcpath of container name from its monitor: "[lxc monitor] PATH NAME".
static std::string monitor_path(pid_t monitor, const std::string &name)
{
    std::string user;
    long uid;
    int dir = proc_dir(monitor);
    if (dir < 0)
        return "";
    int trusted = trusted_starter(dir, &user, &uid) == 0 && user.empty();
    std::vector<std::string> argv = read_cmdline(dir);
    close(dir);
    if (!trusted || argv.empty())
        return "";
    std::string expected = " " + name;
    if (argv[0].compare(0, 14, "[lxc monitor] ") != 0 || !ends_with(argv[0], expected))
        return "";
    std::string path = argv[0].substr(14, argv[0].size() - 14 - expected.size());
    return path.find(' ') == std::string::npos ? path : "";
}

static const std::vector<std::pair<pid_t, pid_t>> &parents(void)
{
    static int read;
    static std::vector<std::pair<pid_t, pid_t>> all;
    if (!read++)
        all = read_parents();
    return all;
}

int in_tree_of(pid_t top, pid_t pid)
{
    static std::map<pid_t, pid_t> parent;
    if (parent.empty()) {
        for (const auto &p : parents())
            parent[p.first] = p.second;
    }
    // a pid's parent was listed before the pid, so a chain has no loop;
    // the bound is for a list read while pids were reused
    for (int steps = 0; pid > 0 && steps < 4096; steps++) {
        if (pid == top)
            return 1;
        auto found = parent.find(pid);
        pid = found == parent.end() ? 0 : found->second;
    }
    return 0;
}

// The monitor of an LXC container seen from the host: root's process in
// the cgroup lxc.monitor.NAME.
static std::string lxcpath_of(const std::string &name)
{
    static std::map<std::string, std::string> known;
    auto found = known.find(name);
    if (found != known.end())
        return found->second;
    std::string path;
    for (const auto &p : parents()) {
        std::vector<std::string> c = cgroup_parts(cgroup_of(p.first));
        if (!c.empty() && c.back() == "lxc.monitor." + name && !(path = monitor_path(p.first, name)).empty())
            break;
    }
    return known[name] = path;
}

static void lxc_place(thing *t, pid_t starter, int booted)
{
    if (t->runtime != "lxc" || !t->user.empty())
        return;
    std::string path = starter > 0 ? monitor_path(starter, t->name) : "";
    if (path.empty())
        path = lxcpath_of(t->name);
    lxc_commands(t, path, booted);
}

// A runtime's monitor (conmon, containerd's shim) belongs to the container
// that its child runs in.
static int monitor_place(pid_t pid, const std::string &path, thing *t)
{
    std::string base = base_name(path);
    if (base != "conmon" && base.compare(0, 15, "containerd-shim") != 0)
        return 0;
    for (const auto &p : parents()) {
        thing child;
        if (p.second == pid && place_host(cgroup_parts(cgroup_of(p.first)), -1, &child) &&
            child.kind == "container") {
            *t = child;
            lxc_place(t, 0, -1);
            return 1;
        }
    }
    return 0;
}

static int host_place(const taken_row *row, const std::string &cgroup, thing *t)
{
    if (monitor_place((pid_t)row->pid, row->path, t))
        return 1;
    if (!place_host(cgroup_parts(cgroup), -1, t))
        return 0;
    lxc_place(t, 0, -1);
    return 1;
}

// A process of another PID namespace belongs to the container that its
// cgroups, those of the namespace's first process, or the process that
// started that namespace show; never to a unit of the host.
static int namespace_place(const taken_row *row, int dir, thing *t)
{
    pid_t jid = (pid_t)row->jid;
    proc_stat init;
    int init_dir = proc_dir(jid);
    int have_init = init_dir >= 0 && stat_of_dir(init_dir, &init) == 0;
    int booted = have_init && (init.comm == "systemd" || init.comm == "init");
    pid_t starter = have_init ? init.ppid : 0;
    std::string paths[2] = {read_cgroup(dir), have_init ? read_cgroup(init_dir) : ""};
    if (init_dir >= 0)
        close(init_dir);
    std::string unit;
    for (const std::string &path : paths) {
        std::string in;
        *t = thing();
        if (place_namespace(cgroup_parts(path), booted, t, &in)) {
            lxc_place(t, starter, booted);
            return 1;
        }
        if (unit.empty())
            unit = in;
    }
    *t = thing();
    std::string user;
    long uid = 0;
    int starter_dir = starter > 0 ? proc_dir(starter) : -1;
    int trusted = starter_dir >= 0 && trusted_starter(starter_dir, &user, &uid) == 0;
    std::vector<std::string> argv = trusted ? read_cmdline(starter_dir) : std::vector<std::string>();
    if (starter_dir >= 0)
        close(starter_dir);
    if (trusted && place_by_starter(argv, user, uid, t)) {
        std::string path = t->lxcpath;
        if (t->runtime == "lxc")
            lxc_commands(t, path, booted);
        if (t->label.empty())
            t->label = "nspawn container of process " + std::to_string(jid);
        return 1;
    }
    *t = thing();
    t->kind = "container";
    t->unit = unit;
    t->label = "container of process " + std::to_string(jid);
    if (!unit.empty())
        t->label += " in " + shown(unit);
    return 1;
}

// The process is the one judged when its start is the row's and no later
// than the scan's list (or the table); its cgroup, read after that through
// its own directory, is then its own. Read again after: it is still there.
static int place_process(const struct services_run *run, const taken_row *row, int dir,
                         int stat_fd, thing *t)
{
    proc_stat st;
    if (stat_of_fd(stat_fd, &st) != 0)
        return PLACE_GONE;
    uint64_t start = run->from_table ? st.start : row->start;
    if (start == 0 || st.start != start || start > run->started_by)
        return PLACE_GONE;
    if (run->from_table && !same_executable(dir, row->path, st.comm))
        return PLACE_GONE;
    int placed = row->jid != 0 ? namespace_place(row, dir, t) : host_place(row, read_cgroup(dir), t);
    if (placed)
        systemd_commands(t);
    if (stat_of_fd(stat_fd, &st) != 0 || st.start != start)
        return PLACE_GONE;
    return placed ? PLACE_THING : PLACE_NONE;
}

// A row that the scan judged on the host needs its cgroup alone, read by
// the pid's path, and the start read after it: a pid that names the judged
// process at that read has named it since the scan, so at the cgroup's read
// too. No directory is held for it.
static int place_scanned_host_row(const struct services_run *run, const taken_row *row, thing *t)
{
    if (row->start == 0 || row->start > run->started_by)
        return PLACE_GONE;
    std::string proc = "/proc/" + std::to_string(row->pid);
    int placed = host_place(row, cgroup_at(AT_FDCWD, (proc + "/cgroup").c_str()), t);
    if (placed)
        systemd_commands(t);
    proc_stat st;
    if (stat_at(AT_FDCWD, (proc + "/stat").c_str(), &st) != 0 || st.start != row->start)
        return PLACE_GONE;
    return placed ? PLACE_THING : PLACE_NONE;
}

int place_row(const struct services_run *run, const taken_row *row, thing *t)
{
    if (!run->from_table && row->jid == 0)
        return place_scanned_host_row(run, row, t);
    int dir = proc_dir((pid_t)row->pid);
    int stat_fd = dir >= 0 ? openat(dir, "stat", O_RDONLY | O_CLOEXEC) : -1;
    int placed = stat_fd >= 0 ? place_process(run, row, dir, stat_fd, t) : PLACE_GONE;
    if (stat_fd >= 0)
        close(stat_fd);
    if (dir >= 0)
        close(dir);
    return placed;
}

static uint64_t ticks(const struct timespec *t)
{
    long hz = sysconf(_SC_CLK_TCK);
    if (hz <= 0)
        return 0;
    return (uint64_t)t->tv_sec * (uint64_t)hz + (uint64_t)t->tv_nsec / (1000000000ull / (uint64_t)hz);
}

uint64_t start_clock_now(void)
{
    struct timespec t;
    return clock_gettime(CLOCK_BOOTTIME, &t) == 0 ? ticks(&t) : 0;
}

// Since boot first, the wall clock after: a delay between the two makes
// the time look earlier, never later.
uint64_t start_clock_at(const struct timespec *wall)
{
    struct timespec boot, now;
    if (clock_gettime(CLOCK_BOOTTIME, &boot) != 0 || clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0;
    long long ns = ((long long)boot.tv_sec - (now.tv_sec - wall->tv_sec)) * 1000000000LL +
                   (boot.tv_nsec - (now.tv_nsec - wall->tv_nsec));
    if (ns < 0)
        return 0;
    struct timespec at = {(time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL)};
    return ticks(&at);
}
