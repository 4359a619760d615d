#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "run.h"
#include "whitelist.h"
#include "whitelist_target.h"

static struct whitelist_target target = {-1, -1, TARGET_DIRECT, 0, 0, ""};
static int to_stdout;    // -c -
static int write_error;  // errno of the first failed write, or 0

// Lines wait here and go to target.lines_fd in large writes; no stdio
// stream, whose buffer a forked child could flush into a reused descriptor.
static char pending[65536];
static size_t pending_size;

// Whatever ends the run before the whitelist is in place leaves the previous
// file as it was: the temporary file goes, and so does a file this run
// created at the path.
static void remove_leftovers(void)
{
    if (target.temp_path[0] != '\0')
        unlink(target.temp_path);
    target.temp_path[0] = '\0';
    whitelist_target_remove_created(&target, create_path);
}

static void remove_leftovers_on_signal(int sig)
{
    remove_leftovers();
    signal(sig, SIG_DFL);
    raise(sig);
}

static void guard_leftovers(void)
{
    atexit(remove_leftovers);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_leftovers_on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : ENDING_SIGNALS) {
        // A signal ignored by whoever started vrix (nohup, a background job)
        // stays ignored.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(sig, &action, nullptr);
    }
}

void whitelist_writer_start(void)
{
    if (create_path == nullptr)
        return;
    if (strcmp(create_path, "-") == 0) {
        to_stdout = 1;
        table_stream = stderr;
        return;
    }
    guard_leftovers();
    if (whitelist_target_open(&target, create_path) != 0) {
        fprintf(stderr, "vrix: cannot create whitelist file '%s': %s\n", create_path,
                strerror(errno));
        exit(EXIT_ERROR);
    }
    if (target.is_stdout)
        table_stream = stderr;
}

static void flush_pending(void)
{
    if (pending_size > 0 && write_error == 0)
        write_error = write_all(target.lines_fd, pending, pending_size);
    pending_size = 0;
}

void whitelist_writer_add(unsigned pid, const char *exe_path, uint64_t missing)
{
    if (create_path == nullptr)
        return;
    // A TAB or newline cannot be written in a line, and a crafted name could
    // forge an entry for another program: such a process stays reported.
    if (strpbrk(exe_path, "\t\n") != nullptr) {
        fprintf(stderr, "vrix: process %u not recorded in whitelist: path holds a TAB or newline\n",
                pid);
        return;
    }
    if (to_stdout) {
        stdout_wrote(printf("%s\t%u\n", exe_path, (unsigned)missing));
        return;
    }
    char line[EXE_PATH_SIZE + 32];
    int size = snprintf(line, sizeof line, "%s\t%u\n", exe_path, (unsigned)missing);
    if (size < 0 || size >= (int)sizeof line)
        return;
    if (pending_size + (size_t)size > sizeof pending)
        flush_pending();
    memcpy(pending + pending_size, line, (size_t)size);
    pending_size += (size_t)size;
}

void whitelist_writer_abort(unsigned pid)
{
    fprintf(stderr, "vrix: whitelist not created: cannot get process %u path\n", pid);
    remove_leftovers();
    exit(EXIT_ERROR);
}

int whitelist_writer_finish(int error_seen)
{
    if (create_path == nullptr)
        return 0;
    int error = 0;
    // standard output is flushed and closed, and its failure told, with the
    // table's
    if (!to_stdout) {
        flush_pending();
        error = whitelist_target_put(&target, create_path, write_error);
        remove_leftovers();
    }
    if (error != 0)
        fprintf(stderr, "vrix: cannot write file '%s': %s\n", create_path, strerror(error));
    if (error_seen)
        fprintf(stderr, "vrix: be aware, that errors were encountered while creating this whitelist\n");
    return error == 0 ? 0 : -1;
}

void whitelist_writer_close_in_child(void)
{
    // The child's copies only: the parent still owns the files, their names
    // and the lines waiting in memory.
    if (target.lines_fd >= 0 && target.lines_fd != target.fd)
        close(target.lines_fd);
    if (target.fd >= 0)
        close(target.fd);
    target.lines_fd = target.fd = -1;
    target.temp_path[0] = '\0';
    target.created = 0;
    pending_size = 0;
}
