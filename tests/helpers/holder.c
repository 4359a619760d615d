/*
 * Holds a directory as any user who may read it can: a getdents() of DIR
 * into a private mapping of PAGE, a file whose reads never answer
 * (vrix-stallfs --never-read), waits for the page with the directory's
 * lock held. A mkdir queued behind it then makes every lookup in DIR that
 * the kernel's caches cannot answer wait too. Says "holding" just before.
 *
 *   vrix-holder DIR PAGE
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { SIZE = 65536 };

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: vrix-holder DIR PAGE\n");
        return 2;
    }
    int dir = open(argv[1], O_RDONLY | O_DIRECTORY);
    int page = open(argv[2], O_RDONLY);
    if (dir < 0 || page < 0) {
        perror("open");
        return 1;
    }
    void *p = mmap(NULL, SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE, page, 0);
    if (p == MAP_FAILED) {
        perror("mmap");
        return 1;
    }
    printf("holding\n");
    fflush(stdout);
    syscall(SYS_getdents64, dir, p, SIZE);
    return 0;
}
