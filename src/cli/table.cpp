#include <stdio.h>

#include "run.h"
#include "verdict.h"

const char *verdict_label(int verdict)
{
    switch (verdict) {
    case VERDICT_ERROR:
        return "err";
    case VERDICT_OUTDATED:
        return "outd";
    case VERDICT_MISSING:
        return "miss";
    }
    return "";
}

// A file name may hold any byte but NUL: control bytes are written as a
// backslash and three octal digits, so that a crafted name can neither break
// the one-row-per-line table nor reach the terminal as an escape sequence.
static void print_escaped(FILE *out, const char *text)
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

void print_row(struct run_flags *flags, unsigned pid, unsigned jid, const char *label,
               const char *path)
{
    if (!header_done) {
        fprintf(table_stream, "%6s %6s %4s %s\n", "pid", "jid", "stat", "command");
        header_done = 1;
    }
    flags->rows_printed++;
    fprintf(table_stream, "%6u %6u %4s ", pid, jid, label);
    print_escaped(table_stream, path);
    putc('\n', table_stream);
}
