#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "run.h"

// Standard output was closed when vrix started: what is written there is
// lost, which must not look like a result.
static int stdout_closed;
// Something was written to standard output.
static int stdout_used;
// errno of the first write, flush or close of standard output that failed.
static int stdout_error;

static void note_error(int error)
{
    if (stdout_error == 0)
        stdout_error = error;
}

void std_fds_open(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // the lowest free descriptor: this one, as those below it are open
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd)
            close(null_fd);
        if (fd == 1)
            stdout_closed = 1;
    }
}

void stdout_wrote(int result)
{
    stdout_used = 1;
    if (result < 0)
        note_error(errno);
}

void stdout_flush(void)
{
    if (fflush(stdout) != 0)
        note_error(errno);
}

int stdout_close(void)
{
    stdout_flush();
    // a failed write whose errno is gone (stdio does not keep it)
    if (ferror(stdout))
        note_error(EIO);
    if (fclose(stdout) != 0)
        note_error(errno);
    if (stdout_closed && stdout_used)
        stdout_error = EBADF;
    if (stdout_error == 0)
        return 0;
    fprintf(stderr, "vrix: stdout: %s\n", strerror(stdout_error));
    return -1;
}
