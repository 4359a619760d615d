#include "escape.h"

// The length of the well-formed UTF-8 character at p, or 0: no overlong
// form, no surrogate, nothing past U+10FFFF. A NUL ends any sequence.
static int utf8_length(const unsigned char *p)
{
    int n = p[0] < 0x80 ? 1 : p[0] < 0xc2 ? 0 : p[0] < 0xe0 ? 2 : p[0] < 0xf0 ? 3 : p[0] < 0xf5 ? 4 : 0;
    for (int i = 1; i < n; i++) {
        if ((p[i] & 0xc0) != 0x80)
            return 0;
    }
    if ((p[0] == 0xe0 && p[1] < 0xa0) || (p[0] == 0xed && p[1] >= 0xa0) ||
        (p[0] == 0xf0 && p[1] < 0x90) || (p[0] == 0xf4 && p[1] >= 0x90))
        return 0;
    return n;
}

// How many bytes at p form one character, and in *control whether it is
// written escaped: a control character (C0, DEL or C1: a lone byte
// 0x80-0x9f, or U+0080-U+009F written in UTF-8), or the backslash itself,
// so that the text maps back to exactly one name. A byte of no well-formed
// character stands alone.
int escape_char_length(const unsigned char *p, int *control)
{
    if (*p < 0x80) {
        *control = *p < 0x20 || *p == 0x7f || *p == '\\';
        return 1;
    }
    int n = utf8_length(p);
    if (n == 0) {
        *control = *p <= 0x9f;
        return 1;
    }
    *control = n == 2 && p[0] == 0xc2 && p[1] <= 0x9f;
    return n;
}

void print_escaped(FILE *out, const char *text)
{
    const unsigned char *p = (const unsigned char *)text;
    while (*p != '\0') {
        const unsigned char *run = p;
        int control = 0, n = 0;
        for (;;) {
            // printable ASCII, most of any name, needs no more than this
            while (*p >= 0x20 && *p < 0x7f && *p != '\\')
                p++;
            if (*p == '\0' || (n = escape_char_length(p, &control), control))
                break;
            p += n;
        }
        fwrite(run, 1, (size_t)(p - run), out);
        if (*p == '\0')
            break;
        for (int i = 0; i < n; i++)
            fprintf(out, "\\%03o", *p++);
    }
}
