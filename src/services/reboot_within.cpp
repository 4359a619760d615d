#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process_facts.h"
#include "reboot.h"
#include "services.h"

// What the reader found, as length-prefixed strings through a pipe.
static void put(std::string *out, const std::string &s)
{
    out->append(std::to_string(s.size()));
    out->push_back(':');
    out->append(s);
}

static int get(const std::string &in, size_t *at, std::string *s)
{
    size_t colon = in.find(':', *at);
    if (colon == std::string::npos || colon == *at)
        return -1;
    char *end = nullptr;
    unsigned long len = strtoul(in.c_str() + *at, &end, 10);
    if (end != in.c_str() + colon || len > in.size() - colon - 1)
        return -1;
    *s = in.substr(colon + 1, len);
    *at = colon + 1 + len;
    return 0;
}

static std::string encode(const reboot_need &r)
{
    std::string out;
    for (const std::string *s : {&r.running, &r.installed, &r.running_build, &r.installed_build})
        put(&out, *s);
    put(&out, r.required ? "1" : "0");
    put(&out, r.kernel ? "1" : "0");
    for (const std::string &p : r.packages)
        put(&out, p);
    return out;
}

static int decode(const std::string &in, reboot_need *r)
{
    size_t at = 0;
    std::string required, kernel, package;
    for (std::string *s : {&r->running, &r->installed, &r->running_build, &r->installed_build,
                           &required, &kernel}) {
        if (get(in, &at, s) != 0)
            return -1;
    }
    r->required = required == "1";
    r->kernel = kernel == "1";
    while (at < in.size()) {
        if (get(in, &at, &package) != 0)
            return -1;
        r->packages.push_back(package);
    }
    return 0;
}

int read_reboot_within(const std::string &root, reboot_need *r, int bound_ms, reboot_reader reader)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t parent = getpid();
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (child == 0) {
        // left behind, it holds nothing of its caller's: no output of apt's
        die_with_parent(parent);
        close_all_but(&fds[1], 1);
        if (chdir("/") != 0)
            _exit(1);
        reboot_need found;
        reader(root, &found);
        std::string out = encode(found);
        for (size_t at = 0; at < out.size();) {
            ssize_t n = write(fds[1], out.data() + at, out.size() - at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                _exit(1);
            at += (size_t)n;
        }
        _exit(0);
    }
    close(fds[1]);
    std::string got;
    int result = read_until(fds[0], now_ms() + bound_ms, &got, 1 << 20);
    close(fds[0]);
    int status = 0;
    if (result != 0) {
        kill(child, SIGKILL);
        // one in uninterruptible sleep is left, not waited for
        waitpid(child, &status, WNOHANG);
        return -1;
    }
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return decode(got, r);
}
