#include "stall_record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process_facts.h"
#include "watch.h"

// A line: device, pid, start time, PID namespace, and the directory's
// inode (0: the whole device; an older record's lines lack it).
struct record_entry {
    struct stall_key key;
    pid_t pid;
    uint64_t start;
    uint64_t pid_ns;  // where pid names the process
};

static const char RECORD_NAME[] = "stalled";
// An entry whose process still waits is never dropped: a run would ask
// there again and leave another process behind. There are never more of
// them than the cap (WATCH_LEFT_MAX), as no wait starts at the cap.
// Entries of other PID namespaces cannot be checked from here; they are
// kept for runs there, the newest of them, in the room left.
enum { RECORD_MAX = 64 };

// The directory, made if need be, when only root can write it.
static int safe_dir(void)
{
    if (geteuid() != 0)
        return -1;
    if (mkdir(STALL_RECORD_DIR, 0700) != 0 && errno != EEXIST)
        return -1;
    struct stat sb;
    if (lstat(STALL_RECORD_DIR, &sb) != 0 || !S_ISDIR(sb.st_mode) || sb.st_uid != 0 ||
        (sb.st_mode & 022) != 0)
        return -1;
    return 0;
}

static int alive(const struct record_entry &e)
{
    uint64_t start;
    return process_start(e.pid, &start) == 0 && start == e.start;
}

// The entries of the record whose process lives, and those of other PID
// namespaces.
static std::vector<struct record_entry> read_record(uint64_t pid_ns)
{
    std::vector<struct record_entry> entries;
    std::string path = std::string(STALL_RECORD_DIR) + "/" + RECORD_NAME;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return entries;
    struct stat sb;
    FILE *in = nullptr;
    if (fstat(fd, &sb) != 0 || !S_ISREG(sb.st_mode) || sb.st_uid != 0 ||
        (sb.st_mode & 022) != 0 || (in = fdopen(fd, "r")) == nullptr) {
        close(fd);
        return entries;
    }
    char line[256];
    while (fgets(line, sizeof line, in) != nullptr) {
        unsigned long long dev, start, ns, ino = 0;
        int pid;
        if (sscanf(line, "%llu %d %llu %llu %llu", &dev, &pid, &start, &ns, &ino) < 4)
            continue;
        struct record_entry e = {{dev, ino}, (pid_t)pid, start, ns};
        if (pid > 0 && (ns != pid_ns || alive(e)))
            entries.push_back(e);
    }
    fclose(in);
    return entries;
}

void stall_record_load(void)
{
    if (safe_dir() != 0)
        return;
    uint64_t pid_ns = own_pid_namespace();
    for (const struct record_entry &e : read_record(pid_ns)) {
        if (e.pid_ns == pid_ns)
            watch_recorded(e.key, e.pid);
    }
}

// Beyond the record's room, the oldest entries of other PID namespaces go;
// ours, whose processes were just found alive, all stay.
static void drop_others(std::vector<struct record_entry> *entries, uint64_t pid_ns)
{
    size_t excess = entries->size() > RECORD_MAX ? entries->size() - RECORD_MAX : 0;
    for (auto e = entries->begin(); e != entries->end() && excess > 0;) {
        if (e->pid_ns != pid_ns) {
            e = entries->erase(e);
            excess--;
        } else {
            ++e;
        }
    }
}

// Written whole to a file of its own and renamed into place: a reader sees
// the old record or the new one.
void stall_record_add(struct stall_key key, pid_t pid)
{
    struct record_entry added = {key, pid, 0, own_pid_namespace()};
    if (safe_dir() != 0 || process_start(pid, &added.start) != 0)
        return;
    std::vector<struct record_entry> entries = read_record(added.pid_ns);
    entries.push_back(added);
    drop_others(&entries, added.pid_ns);
    std::string dir = STALL_RECORD_DIR;
    std::string temp = dir + "/" + RECORD_NAME + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        return;
    std::string text;
    for (const struct record_entry &e : entries)
        text += std::to_string(e.key.dev) + " " + std::to_string(e.pid) + " " +
                std::to_string(e.start) + " " + std::to_string(e.pid_ns) + " " +
                std::to_string(e.key.ino) + "\n";
    ssize_t n = write(fd, text.data(), text.size());
    if (close(fd) != 0 || n != (ssize_t)text.size() ||
        rename(temp.c_str(), (dir + "/" + RECORD_NAME).c_str()) != 0)
        unlink(temp.c_str());
}
