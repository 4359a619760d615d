#include "escape.h"

void print_escaped(FILE *out, const char *text)
{
    const unsigned char *p = (const unsigned char *)text;
    while (*p != '\0') {
        const unsigned char *run = p;
        while (*p >= 0x20 && *p != 0x7f)
            p++;
        fwrite(run, 1, (size_t)(p - run), out);
        if (*p != '\0')
            fprintf(out, "\\%03o", *p++);
    }
}
