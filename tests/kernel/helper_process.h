#ifndef VRIX_TEST_HELPER_PROCESS_H
#define VRIX_TEST_HELPER_PROCESS_H

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// Starts vrix-mapper (or program) with args, in a process group of its own,
// and waits until it says "ready"; the pid, or -1 when it did not get there.
pid_t start_helper(const std::vector<std::string> &args, const std::string &program = VRIX_MAPPER);
// Kills the helper's whole process group (or the process, without one).
void stop_helper(pid_t pid);

// Runs the real vrix; its rows by pid (stat column and path).
struct vrix_row {
    unsigned jid;
    std::string stat;
    std::string path;
};
std::map<pid_t, vrix_row> vrix_rows(const std::vector<std::string> &args = {},
                                    const std::string &input = "");
// The same from the table of a finished run.
std::map<pid_t, vrix_row> parse_rows(const std::string &table);

// Copies a file, e.g. the test library, to a new path.
void copy_file(const std::string &from, const std::string &to);
// Replaces path by a fresh copy of from, as a package manager does (rename).
void replace_file(const std::string &from, const std::string &path);

#endif
