#include "helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "subprocess.h"

pid_t start_helper(const std::vector<std::string> &args, const std::string &program)
{
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return -1;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
        // a group of its own, so that whatever it starts ends with it
        setpgid(0, 0);
        dup2(out[1], 1);
        std::vector<char *> cargv;
        for (const std::string &a : argv)
            cargv.push_back(const_cast<char *>(a.c_str()));
        cargv.push_back(nullptr);
        execv(program.c_str(), cargv.data());
        _exit(127);
    }
    close(out[1]);
    char buf[16] = "";
    ssize_t n = read(out[0], buf, sizeof buf - 1);
    close(out[0]);
    if (n != 6 || strncmp(buf, "ready\n", 6) != 0) {
        stop_helper(pid);
        return -1;
    }
    return pid;
}

void stop_helper(pid_t pid)
{
    if (pid <= 0)
        return;
    // its group, or the process alone when it has none of its own
    if (kill(-pid, SIGKILL) != 0)
        kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

std::map<pid_t, vrix_row> vrix_rows(const std::vector<std::string> &args, const std::string &input)
{
    std::vector<std::string> argv{"vrix", "-h"};
    argv.insert(argv.end(), args.begin(), args.end());
    return parse_rows(run_program(VRIX_BIN, argv, input).out);
}

std::map<pid_t, vrix_row> parse_rows(const std::string &table)
{
    std::map<pid_t, vrix_row> rows;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        pid_t pid;
        vrix_row row;
        fields >> pid >> row.jid >> row.stat;
        fields.get();
        std::getline(fields, row.path);
        rows[pid] = row;
    }
    return rows;
}

void copy_file(const std::string &from, const std::string &to)
{
    write_file(to, read_file(from));
    chmod(to.c_str(), 0755);
}

void replace_file(const std::string &from, const std::string &path)
{
    copy_file(from, path + ".new");
    rename((path + ".new").c_str(), path.c_str());
}
