#ifndef VRIX_ESCAPE_H
#define VRIX_ESCAPE_H

#include <stdio.h>

// Writes text with each byte of a control character as a backslash and three
// octal digits: a file name may hold any byte but NUL, and a crafted one must
// neither break a one-line-per-record output nor reach the terminal as an
// escape sequence. Control characters are C0 and DEL, and C1 both as a lone
// byte (0x80-0x9f, which a terminal may take as 8-bit CSI) and written in
// UTF-8 (U+0080-U+009F); the letters of UTF-8 names stay as they are.
void print_escaped(FILE *out, const char *text);

// How many bytes at p form one character (1 for a byte of none), and in
// *control whether print_escaped writes them escaped.
int escape_char_length(const unsigned char *p, int *control);

#endif
