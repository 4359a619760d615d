#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "run.h"
#include "services.h"

enum { EXIT_NOT_A_TABLE = 65 };

static int pid_arg(const char *s, pid_t *pid)
{
    char *end;
    long v = strtol(s, &end, 10);
    if (*s < '0' || *s > '9' || *end != '\0' || v <= 0 || v > 0x3fffffff)
        return 0;
    *pid = (pid_t)v;
    return 1;
}

static int usage(void)
{
    fprintf(stderr, "usage: vrix-services [-j | -l] [-t] [-a pid] [-R root] [-w whitelist | -]\n");
    return EXIT_USAGE;
}

// vrix-services [-j | -l] [-t] [-a pid] [-R root] [-w whitelist | -]: the
// scan of vrix, or the table that it printed, grouped by what restarts
// each process; and whether the machine needs a reboot.
int services_main(int argc, char **argv)
{
    std_fds_open();
    int form = OUT_HUMAN, ch;
    const char *whitelist_file = nullptr;
    struct services_run run;
    while ((ch = getopt(argc, argv, ":jltw:a:R:")) != -1) {
        switch (ch) {
        case 'j':
            form = form == OUT_LABELS ? -1 : OUT_JSON;
            break;
        case 'l':
            form = form == OUT_JSON ? -1 : OUT_LABELS;
            break;
        case 'w':
            whitelist_file = optarg;
            break;
        case 't':
            run.print_table = 1;
            break;
        case 'a':
            if (!pid_arg(optarg, &run.caller))
                return usage();
            break;
        case 'R':
            if (optarg[0] != '/')
                return usage();
            run.root = optarg;
            break;
        default:
            return usage();
        }
    }
    int from_stdin = argc - optind == 1 && strcmp(argv[optind], "-") == 0;
    if (form < 0 || (from_stdin && (whitelist_file != nullptr || run.print_table)) ||
        (!from_stdin && argc != optind))
        return usage();
    int status = from_stdin ? table_rows(&run) : scan_rows(whitelist_file, &run);
    if (status < 0)
        return EXIT_NOT_A_TABLE;
    report(&run, form);
    if (stdout_close() != 0)
        return EXIT_ERROR;
    return status;
}
