#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <map>
#include <string>

#include "linux_procstat.h"
#include "proc_files.h"

// From <linux/nsfs.h> of Linux 6.10, which older headers lack: the pid, in
// the caller's PID namespace, of the thread group whose pid in the
// namespace of the handle is the argument.
#define VRIX_NS_GET_TGID_FROM_PIDNS _IOR(0xb7, 0x7, int)

typedef std::string namespace_id;

static int pid_namespace(int proc_fd, pid_t pid, namespace_id *id)
{
    char name[40], link[64];
    pid_path(name, sizeof name, pid, "/ns/pid");
    if (read_ns_link(proc_fd, name, link, sizeof link) != 0)
        return -1;
    *id = link;
    return 0;
}

// Whether the process is the first of its PID namespace: its innermost pid,
// the last one on the NSpid line of its status, is 1. The status is read
// whole: a process with many groups has a long one, NSpid after them.
static int is_namespace_init(int proc_fd, pid_t pid)
{
    char name[40], *text = nullptr;
    pid_path(name, sizeof name, pid, "/status");
    if (read_whole_proc_file(proc_fd, name, &text) < 0)
        return 0;
    const char *line = strstr(text, "\nNSpid:");
    int first = 0;
    if (line != nullptr) {
        const char *end = strchr(line + 1, '\n');
        const char *last = end == nullptr ? line + strlen(line) : end;
        while (last > line && (last[-1] < '0' || last[-1] > '9'))
            last--;
        while (last > line && last[-1] >= '0' && last[-1] <= '9')
            last--;
        first = atoi(last) == 1;
    }
    free(text);
    return first;
}

static int note_init(pid_t pid, void *arg)
{
    struct procstat *ps = (struct procstat *)arg;
    namespace_id id;
    if (pid_namespace(ps->proc_fd, pid, &id) == 0 && id != ps->pid_ns &&
        is_namespace_init(ps->proc_fd, pid))
        ps->jails.inits[id] = pid;
    return 0;
}

static void read_inits(struct procstat *ps)
{
    ps->jails.inits_read = true;
    each_pid(note_init, ps);
}

// The pid, as we see it, of the first process of the namespace whose link
// of process pid reads id; 0 when there is none.
static pid_t namespace_init(struct procstat *ps, pid_t pid, const namespace_id &id)
{
    if (!ps->jails.no_pid_translation) {
        char name[40];
        pid_path(name, sizeof name, pid, "/ns/pid");
        int fd = openat(ps->proc_fd, name, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return 0;
        int init = ioctl(fd, VRIX_NS_GET_TGID_FROM_PIDNS, 1);
        int error = errno;
        close(fd);
        if (init >= 0 || (error != ENOTTY && error != EINVAL))
            return init > 0 ? init : 0;
        ps->jails.no_pid_translation = true;
    }
    if (!ps->jails.inits_read)
        read_inits(ps);
    auto found = ps->jails.inits.find(id);
    return found == ps->jails.inits.end() ? 0 : found->second;
}

// Linux has no jails; its containers are PID namespaces. A process in ours
// gets jail ID 0; one in another namespace gets the pid, as we see it, of the
// first process of that namespace, which container tools show as the
// container's pid. ESRCH once the process is gone.
int jail_id_of(struct procstat *ps, pid_t pid, int *jid)
{
    *jid = 0;
    namespace_id id;
    if (pid_namespace(ps->proc_fd, pid, &id) != 0)
        return errno == ENOENT ? (errno = ESRCH, -1) : 0;
    if (ps->pid_ns[0] != '\0' && id != ps->pid_ns)
        *jid = (int)namespace_init(ps, pid, id);
    return 0;
}
