#include <stdio.h>
#include <unistd.h>

#include "platform.h"
#include "run.h"
#include "whitelist.h"

const char *create_path;
const char *whitelist_path;
int header_done;
FILE *table_stream;

// Returns -1 when the options were read, or the exit status of bad usage.
static int parse_options(int argc, char **argv)
{
    int ch;
    while ((ch = getopt(argc, argv, VRIX_GETOPT_OPTIONS)) != -1) {
        switch (ch) {
        case 'c':
            create_path = optarg;
            break;
        case 'w':
            whitelist_path = optarg;
            break;
        case 'h':
            header_done = 1;
            break;
        default:
            return print_usage();
        }
    }
    return -1;
}

int vrix_main(int argc, char **argv)
{
    std_fds_open();
    table_stream = stdout;
    int status = parse_options(argc, argv);
    if (status >= 0)
        return status;
    if (create_path != nullptr && whitelist_path != nullptr) {
        fprintf(stderr, "vrix: -c and -w cannot be applied simultaneously\n");
        return EXIT_ERROR;
    }
    if (jail_state() > 0) {
        fprintf(stderr, "vrix does not currently work in a jail\n");
        return EXIT_ERROR;
    }
    if (whitelist_path != nullptr && load_whitelist() != 0)
        return EXIT_ERROR;

    struct run_flags flags = {0, 0};
    run_scan(&flags);

    whitelist_free(whitelist);
    whitelist = nullptr;
    int failed = whitelist_writer_finish(flags.error_seen) != 0;
    // a lost table must not look like a result
    if (stdout_close() != 0)
        failed = 1;
    if (failed || flags.error_seen)
        return EXIT_ERROR;
    return flags.rows_printed > 0 ? EXIT_RESTART : EXIT_NONE;
}
