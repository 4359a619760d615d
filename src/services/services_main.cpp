#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "run.h"
#include "services.h"

enum { EXIT_NOT_A_TABLE = 65 };

static int usage(void)
{
    fprintf(stderr, "usage: vrix-services [-j | -l] [-w whitelist | -]\n");
    return EXIT_USAGE;
}

// vrix-services [-j | -l] [-w whitelist | -]: the scan of vrix, or the
// table that it printed, grouped by what restarts each process.
int services_main(int argc, char **argv)
{
    std_fds_open();
    int form = OUT_HUMAN, ch;
    const char *whitelist_file = nullptr;
    while ((ch = getopt(argc, argv, ":jlw:")) != -1) {
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
        default:
            return usage();
        }
    }
    int from_stdin = argc - optind == 1 && strcmp(argv[optind], "-") == 0;
    if (form < 0 || (from_stdin && whitelist_file != nullptr) || (!from_stdin && argc != optind))
        return usage();
    struct services_run run;
    int status = from_stdin ? table_rows(&run) : scan_rows(whitelist_file, &run);
    if (status < 0)
        return EXIT_NOT_A_TABLE;
    report(&run, form);
    if (stdout_close() != 0)
        return EXIT_ERROR;
    return status;
}
