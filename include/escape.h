#ifndef VRIX_ESCAPE_H
#define VRIX_ESCAPE_H

#include <stdio.h>

// Writes text with each control byte as a backslash and three octal digits:
// a file name may hold any byte but NUL, and a crafted one must neither break
// a one-line-per-record output nor reach the terminal as an escape sequence.
void print_escaped(FILE *out, const char *text);

#endif
