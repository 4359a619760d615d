#include "subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

extern char **environ;

[[noreturn]] static void exec_child(const std::string &program, const std::vector<std::string> &argv,
                                    const std::vector<std::string> &env, int in, int out, int err)
{
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char *> args, vars;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (char **e = environ; *e != nullptr; e++)
        vars.push_back(*e);
    for (const std::string &e : env)
        vars.push_back(const_cast<char *>(e.c_str()));
    vars.push_back(nullptr);
    execve(program.c_str(), args.data(), vars.data());
    _exit(127);
}

run_result run_program(const std::string &program, const std::vector<std::string> &argv,
                       const std::string &input, const std::vector<std::string> &env,
                       const std::string &stdout_path)
{
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        abort();
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        int out_fd = out[1];
        if (!stdout_path.empty())
            out_fd = open(stdout_path.c_str(), O_WRONLY);
        exec_child(program, argv, env, in[0], out_fd, err[1]);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    run_result result{0, "", ""};
    size_t written = 0;
    int in_fd = in[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        poll(fds, 3, -1);
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
            } else {
                sinks[i]->append(buf, (size_t)n);
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
            if (n > 0)
                written += (size_t)n;
            if (n <= 0 || written == input.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    if (fds[2].fd >= 0)
        close(fds[2].fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string make_temp_dir(void)
{
    char templ[] = "/tmp/vrix-test-XXXXXX";
    if (mkdtemp(templ) == nullptr)
        abort();
    return templ;
}

void remove_tree(const std::string &path)
{
    std::string command = "rm -rf '" + path + "'";
    if (system(command.c_str()) != 0) {
        // a leftover temporary directory is not a test failure
    }
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}
