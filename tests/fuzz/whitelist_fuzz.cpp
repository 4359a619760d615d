// libFuzzer target: any bytes as a whitelist file must load or be refused
// cleanly, without a crash, a leak or undefined behaviour.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "run.h"
#include "whitelist.h"

const char *whitelist_path;

static char file_path[PATH_MAX];

// In the run's own directory: runs side by side never share the file.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = getenv("TMPDIR");
    snprintf(file_path, sizeof file_path, "%s/vrix-fuzz-%d", dir != nullptr ? dir : "/tmp",
             (int)getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *f = fopen(file_path, "w");
    if (f == nullptr)
        abort();
    fwrite(data, 1, size, f);
    fclose(f);
    whitelist_path = file_path;
    whitelist = nullptr;
    load_whitelist();
    for (const whitelist_entry *e = whitelist; e != nullptr; e = e->next_entry) {
        if (e->count == 0)
            abort();  // an entry never holds count 0
    }
    whitelist_free(whitelist);
    whitelist = nullptr;
    return 0;
}
