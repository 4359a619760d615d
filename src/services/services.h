#ifndef VRIX_SERVICES_H
#define VRIX_SERVICES_H

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

// vrix-services: the rows of the scan grouped by what restarts them.

// A row as taken from the scan or read from a table.
struct taken_row {
    unsigned pid;
    unsigned jid;
    int verdict;       // VERDICT_*
    std::string path;  // raw bytes, as the kernel gave them
    uint64_t start;    // process_start()'s; 0 when unknown
};

// What a process belongs to, with what restarts it. Every name is data;
// commands are argument vectors.
struct thing {
    std::string kind;     // service, user-service, container, jail, ...
    std::string label;    // as the human lines show it, quoted and escaped
    std::string name;     // intact
    std::string runtime;  // containers: podman, docker, lxc, ...
    std::string user;     // users' things
    long uid = -1;
    bool of_manager = false;  // under user@UID.service: covered by its restart
    std::string lxcpath;
    std::string path;  // a jail's
    std::string unit;  // the host's unit that a container of no name lies in
    std::vector<std::vector<std::string>> commands;
    // the first words of a command that takes several names at once
    std::vector<std::string> merge;
    bool ends_sessions = false;
    bool monitor = false;  // LXC: the row is its monitor's
    int booted = -1;       // a machine's: whether its first process is an init
    std::string after;     // the label of the container that this one joined

    std::vector<unsigned> pids;
    int under = -1;  // index of the user manager that covers it
};

// How a row was placed.
enum { PLACE_NONE = 0, PLACE_THING = 1, PLACE_GONE = 2 };

// What the whole run has: rows in order, and where each went.
struct services_run {
    std::vector<taken_row> rows;
    // where start times are compared: the rows' starts may not be later
    uint64_t started_by;
    int from_table;  // rows read from standard input (no start times)
    int print_table = 0;     // the table as vrix prints it, before the rest
    pid_t caller = 0;        // the rows of this process and its own end with its run
    std::string root = "/";  // where the machine's kernel and images are read
};

// The entry point: argument vector in, exit status out.
int services_main(int argc, char **argv);

// The platform's part: places one row, filling *t; PLACE_*.
int place_row(const struct services_run *run, const taken_row *row, thing *t);
// Whether pid is top or one of its descendants.
int in_tree_of(pid_t top, pid_t pid);
// Containers that others joined (their PID or network namespace) are
// restarted first, and those that joined them after them, in their
// commands; those joined are marked after. The platform's part.
void order_joins(std::vector<thing> *things);
// The time now in process_start()'s unit, or 0 when it cannot be had.
uint64_t start_clock_now(void);
// A time of the wall clock (seconds, nanoseconds) in process_start()'s unit.
uint64_t start_clock_at(const struct timespec *wall);

// The scan through the core; its exit status, the rows in *run.
int scan_rows(const char *whitelist, struct services_run *run);
// A table that vrix printed, from standard input; its status as vrix gives
// it, or -1 after a line on standard error when it is no such table.
int table_rows(struct services_run *run);

// Groups the placed rows and prints them; -j as JSON, -l as pid and label.
enum { OUT_HUMAN, OUT_JSON, OUT_LABELS };
void report(const struct services_run *run, int form);

// Text.
std::string json_string(const std::string &s);
std::string printable(const std::string &s);  // \ooo as vrix writes it
std::string shown(const std::string &s);      // a name in a line
std::string table_text(const std::string &s);  // a path as vrix shows it
std::string sh_word(const std::string &s);    // a word as sh reads it
int unit_name_ok(const std::string &s);
int word_ok(const std::string &s);
// The pieces of s between seps; a sep at the end ends the last piece.
std::vector<std::string> split_at(const std::string &s, char sep);

// The name of a user, or the number.
std::string user_name(long uid);
// The primary group of a user; -1 when unknown.
long user_group(long uid);

// An outside command as an argument vector, bounded: its standard output
// (at most limit bytes); -1 when it could not run or did not end well, -2
// when it did not end within seconds (then it is killed, with its process
// group).
int run_bounded(const std::vector<std::string> &argv, int seconds, std::string *out,
                size_t limit);

// The monotonic clock in milliseconds, and what fd gives until its end or
// the deadline on that clock (at most limit bytes kept): 0 at the end, -1
// at the deadline or on an error.
long long now_ms(void);
int read_until(int fd, long long deadline, std::string *out, size_t limit);

#endif
