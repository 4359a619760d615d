#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "run.h"
#include "services.h"
#include "verdict.h"

static const char HEADER[] = "   pid    jid stat command";

// The bytes of a path that vrix wrote \ooo.
static std::string unescaped(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += (char)((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

static const char *number(const char *p, unsigned *value)
{
    while (*p == ' ')
        p++;
    if (!isdigit((unsigned char)*p))
        return nullptr;
    unsigned long v = 0;
    for (; isdigit((unsigned char)*p); p++) {
        v = v * 10 + (unsigned)(*p - '0');
        if (v > 0xffffffffu)
            return nullptr;
    }
    *value = (unsigned)v;
    return p;
}

// One row as vrix prints it: pid, jid, stat, the escaped path.
static int parse_row(const std::string &line, taken_row *row)
{
    const char *p = number(line.c_str(), &row->pid);
    if (p == nullptr || *p != ' ' || (p = number(p, &row->jid)) == nullptr || *p != ' ')
        return -1;
    while (*p == ' ')
        p++;
    static const struct {
        const char *label;
        int verdict;
    } STATS[] = {{"miss ", VERDICT_MISSING}, {"outd ", VERDICT_OUTDATED}, {"err ", VERDICT_ERROR}};
    for (const auto &s : STATS) {
        if (strncmp(p, s.label, strlen(s.label)) == 0) {
            row->verdict = s.verdict;
            row->path = unescaped(p + strlen(s.label));
            row->start = 0;
            return 0;
        }
    }
    return -1;
}

// The table was made before its last byte was written: when the file or
// pipe that holds it was last written.
static uint64_t table_time(void)
{
    struct stat sb;
    if (fstat(0, &sb) != 0 || !(S_ISFIFO(sb.st_mode) || S_ISREG(sb.st_mode)))
        return start_clock_now();
    return start_clock_at(&sb.st_mtim);
}

int table_rows(struct services_run *run)
{
    std::string all;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stdin)) > 0)
        all.append(buf, n);
    run->started_by = table_time();
    run->from_table = 1;
    int err = 0;
    size_t line_no = 0;
    for (const std::string &line : split_at(all, '\n')) {
        line_no++;
        taken_row row;
        if (line.empty() || (line_no == 1 && line == HEADER))
            continue;
        if (line.find('\0') != std::string::npos || parse_row(line, &row) != 0) {
            fprintf(stderr, "vrix-services: standard input, line %zu: not a row of vrix's table\n",
                    line_no);
            return -1;
        }
        err |= row.verdict == VERDICT_ERROR;
        run->rows.push_back(row);
    }
    return err ? EXIT_ERROR : run->rows.empty() ? EXIT_NONE : EXIT_RESTART;
}
