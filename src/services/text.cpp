#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "escape.h"
#include "services.h"

// One character of s at i: its length, and whether it is a control
// character (C0, DEL, C1, the backslash) or a byte of no character.
static size_t char_at(const std::string &s, size_t i, int *control, int *stray)
{
    const unsigned char *p = (const unsigned char *)s.c_str() + i;
    if (*p == '\0') {  // a NUL inside the string: a control byte
        *control = 1;
        *stray = 0;
        return 1;
    }
    size_t n = (size_t)escape_char_length(p, control);
    *stray = n == 1 && *p >= 0x80;
    return n;
}

static void octal(std::string *out, const std::string &s, size_t i, size_t n)
{
    char buf[8];
    for (size_t k = i; k < i + n; k++) {
        snprintf(buf, sizeof buf, "\\%03o", (unsigned char)s[k]);
        *out += buf;
    }
}

// Bytes as vrix writes them: control characters, backslashes and bytes of
// no character as \ and three octal digits.
std::string printable(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size();) {
        int control, stray;
        size_t n = char_at(s, i, &control, &stray);
        if (control || stray)
            octal(&out, s, i, n);
        else
            out.append(s, i, n);
        i += n;
    }
    return out;
}

static int only_of(const std::string &s, const char *set)
{
    return !s.empty() && strspn(s.c_str(), set) == s.size();
}

static const char UNIT_CHARS[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789:_.@-";

// A name shown in a line: as it is when it holds only the characters of a
// unit name, else quoted, its quotes written \047 too, so that no line
// reads as two.
std::string shown(const std::string &s)
{
    if (only_of(s, UNIT_CHARS))
        return s;
    std::string out = "'";
    for (char c : printable(s)) {
        if (c == '\'')
            out += "\\047";
        else
            out += c;
    }
    return out + "'";
}

// A word as sh reads it, quoted only when it needs to be. Only names that
// passed unit_name_ok() or word_ok() reach a command.
std::string sh_word(const std::string &s)
{
    if (only_of(s, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789@%+=:,./_-"))
        return s;
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// NAME.service or NAME.scope, templates included, as systemd takes them.
int unit_name_ok(const std::string &s)
{
    const char *chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789:_.\\-";
    size_t dot = s.rfind('.');
    if (s.size() > 255 || dot == std::string::npos ||
        (s.compare(dot, std::string::npos, ".service") != 0 &&
         s.compare(dot, std::string::npos, ".scope") != 0))
        return 0;
    std::string base = s.substr(0, dot);
    size_t at = base.find('@');
    std::string prefix = base.substr(0, at);
    std::string instance = at == std::string::npos ? "" : base.substr(at + 1);
    return only_of(prefix, chars) && (instance.empty() || only_of(instance, chars));
}

// The name or path of a container, fit for a command line.
int word_ok(const std::string &s)
{
    const char *first = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_/";
    return s.size() <= 255 && !s.empty() && strchr(first, s[0]) != nullptr &&
           only_of(s, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789:_.@+=,/-");
}

// JSON: well-formed UTF-8 as it is, control characters as \u escapes, and
// a byte of no character as \udcXX, the lone surrogate that Python's
// surrogateescape reads back as that byte.
std::string json_string(const std::string &s)
{
    std::string out = "\"";
    char buf[8];
    for (size_t i = 0; i < s.size();) {
        int control, stray;
        size_t n = char_at(s, i, &control, &stray);
        unsigned char c = (unsigned char)s[i];
        if (stray) {
            snprintf(buf, sizeof buf, "\\udc%02x", c);
            out += buf;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += (char)c;
        } else if (control) {
            snprintf(buf, sizeof buf, "\\u%04x", n == 1 ? c : (unsigned char)s[i + 1]);
            out += buf;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + "\"";
}

// A path as vrix's table shows it.
std::string table_text(const std::string &s)
{
    char *buf = nullptr;
    size_t size = 0;
    FILE *f = open_memstream(&buf, &size);
    if (f == nullptr)
        return printable(s);
    print_escaped(f, s.c_str());
    fclose(f);
    std::string out(buf, size);
    free(buf);
    return out;
}

std::vector<std::string> split_at(const std::string &s, char sep)
{
    std::vector<std::string> pieces;
    size_t at = 0;
    while (at < s.size()) {
        size_t end = s.find(sep, at);
        if (end == std::string::npos)
            end = s.size();
        pieces.push_back(s.substr(at, end - at));
        at = end + 1;
    }
    return pieces;
}
