#include <stdio.h>

#include "run.h"

int print_usage(void)
{
    fprintf(stderr, "Lists processes running with outdated binaries or shared libraries\n");
    fprintf(stderr, "usage: vrix [ options ]\n");
    fprintf(stderr, "where options are:\n");
    fprintf(stderr, " -c path   create whitelist from system state\n");
    fprintf(stderr, " -w path   use existing whitelist\n");
    fprintf(stderr, " -h        omit table header\n");
    fprintf(stderr, "\n");
    fprintf(stderr, "exit codes:\n");
    fprintf(stderr, " %u  no processes need restarting\n", EXIT_NONE);
    fprintf(stderr, " %u  an error occured\n", EXIT_ERROR);
    fprintf(stderr, " %u  one or more processes need restarting\n", EXIT_RESTART);
    return EXIT_USAGE;
}
