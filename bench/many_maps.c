/*
 * One process holding many executable file mappings, as any user can make
 * one: maps the first page of FILE COUNT times, private and read+exec, says
 * "ready" and waits for its standard input to close.
 *
 *   vrix-bench-many-maps FILE COUNT
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: vrix-bench-many-maps FILE COUNT\n");
        return 64;
    }
    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    long count = atol(argv[2]);
    for (long i = 0; i < count; i++) {
        /* the same page every time: neighbours never merge into one mapping */
        if (mmap(NULL, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0) == MAP_FAILED) {
            perror("mmap");
            return 1;
        }
    }
    printf("ready\n");
    fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0)
        ;
    return 0;
}
