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

static struct whitelist_target target;
static int write_error;  // errno of the first failed write, or 0

// Whatever ends the run before the whitelist is in place leaves the previous
// file as it was: the temporary file goes.
static void remove_temp(void)
{
    if (target.temp_path[0] != '\0')
        unlink(target.temp_path);
    target.temp_path[0] = '\0';
}

static void remove_temp_on_signal(int sig)
{
    if (target.temp_path[0] != '\0')
        unlink(target.temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

static void guard_temp(void)
{
    static const int SIGNALS[] = {SIGHUP, SIGINT, SIGPIPE, SIGTERM};
    atexit(remove_temp);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_temp_on_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : SIGNALS) {
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
        target.stream = stdout;
        table_stream = stderr;
        return;
    }
    guard_temp();
    if (whitelist_target_open(&target, create_path) != 0) {
        fprintf(stderr, "vrix: cannot create whitelist file '%s': %s\n", create_path,
                strerror(errno));
        exit(EXIT_ERROR);
    }
    if (target.is_stdout)
        table_stream = stderr;
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
    if (fprintf(target.stream, "%s\t%u\n", exe_path, (unsigned)missing) < 0 && write_error == 0)
        write_error = errno;
}

void whitelist_writer_abort(unsigned pid)
{
    fprintf(stderr, "vrix: whitelist not created: cannot get process %u path\n", pid);
    if (target.stream != nullptr && target.stream != stdout)
        fclose(target.stream);
    remove_temp();
    exit(EXIT_ERROR);
}

void whitelist_writer_close_in_child(void)
{
    if (target.stream != nullptr && target.stream != stdout)
        close(fileno(target.stream));
}

// The directory entry of the renamed file survives a crash only once the
// directory itself is synced.
static void sync_directory(const char *path)
{
    const char *slash = strrchr(path, '/');
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%.*s", slash == nullptr ? 1 : (int)(slash - path) + 1,
             slash == nullptr ? "." : path);
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// A completed run's lines go through the link in one ordinary open, which
// the kernel may refuse; the errno of the first failure, or 0.
static int write_through_link(int *create_failed)
{
    int fd = open(create_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        *create_failed = 1;
        return errno;
    }
    int error = whitelist_target_copy(target.stream, fd);
    if (close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

// Flushes, syncs and closes the stream, and puts the lines at the path; the
// errno of the first failure, or 0.
static int put_in_place(int *create_failed)
{
    int error = write_error;
    if (fflush(target.stream) != 0 && error == 0)
        error = errno;
    if (target.stream == stdout)
        return error;
    if (target.kind == TARGET_THROUGH_LINK && error == 0)
        error = write_through_link(create_failed);
    if (target.kind == TARGET_REPLACE && error == 0 && fsync(fileno(target.stream)) != 0)
        error = errno;
    if (fclose(target.stream) != 0 && error == 0)
        error = errno;
    target.stream = nullptr;
    if (target.kind != TARGET_REPLACE)
        return error;
    if (error == 0 && rename(target.temp_path, create_path) != 0)
        error = errno;
    if (error == 0) {
        target.temp_path[0] = '\0';
        sync_directory(create_path);
    }
    remove_temp();
    return error;
}

int whitelist_writer_finish(int error_seen)
{
    if (create_path == nullptr)
        return 0;
    int create_failed = 0;
    int error = put_in_place(&create_failed);
    if (create_failed)
        fprintf(stderr, "vrix: cannot create whitelist file '%s': %s\n", create_path,
                strerror(error));
    else if (error != 0)
        fprintf(stderr, "vrix: cannot write file '%s': %s\n", create_path, strerror(error));
    if (error_seen)
        fprintf(stderr, "vrix: be aware, that errors were encountered while creating this whitelist\n");
    return error == 0 ? 0 : -1;
}
