// The fake's script: one directive a line, fields separated by TAB, with
// \t, \n, \\ and \ooo escapes inside fields.
//
//   jail VALUE | jail_error ERRNO | open_error ERRNO | list_error ERRNO
//   proc PID JID COMM PATH          a process; PATH may be empty
//   path_error ERRNO                the last process's path call fails
//   map_error ERRNO                 the last process's map call fails
//   map_hang                        the last process's map call never returns
//   map_busy MS                     the last process's map call works MS ms
//   frame KEY PREFIX                the last process's names lie under PREFIX
//   map TYPE PROT SHADOW PATH [FSID FILEID]
//        TYPE: vnode, default, swap, device; PROT: letters of "rwx";
//        without FSID and FILEID, those of the file now at PATH.
#include <errno.h>
#include <fstream>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fake_platform.h"

static std::string unescape(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        if (next == 't')
            out += '\t';
        else if (next == 'n')
            out += '\n';
        else if (next >= '0' && next <= '7' && i + 2 < text.size()) {
            out += (char)strtol(text.substr(i, 3).c_str(), nullptr, 8);
            i += 2;
        } else
            out += next;
    }
    return out;
}

static std::vector<std::string> split_fields(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(unescape(line.substr(start, tab - start)));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

static int errno_value(const std::string &name)
{
    static const struct {
        const char *name;
        int value;
    } NAMES[] = {{"ENOENT", ENOENT}, {"ESRCH", ESRCH},   {"EACCES", EACCES},
                 {"EPERM", EPERM},   {"ENOMEM", ENOMEM}, {"ENAMETOOLONG", ENAMETOOLONG},
                 {"EIO", EIO}};
    for (const auto &n : NAMES) {
        if (name == n.name)
            return n.value;
    }
    return atoi(name.c_str());
}

static int map_type(const std::string &name)
{
    if (name == "vnode")
        return KVME_TYPE_VNODE;
    if (name == "swap")
        return KVME_TYPE_SWAP;
    if (name == "device")
        return KVME_TYPE_DEVICE;
    return KVME_TYPE_DEFAULT;
}

static int protection(const std::string &letters)
{
    return (letters.find('r') != std::string::npos ? KVME_PROT_READ : 0) |
           (letters.find('w') != std::string::npos ? KVME_PROT_WRITE : 0) |
           (letters.find('x') != std::string::npos ? KVME_PROT_EXEC : 0);
}

static struct kinfo_vmentry mapping(const std::vector<std::string> &f)
{
    struct kinfo_vmentry kve = fake_current_mapping(f[4].c_str());
    kve.kve_type = map_type(f[1]);
    kve.kve_protection = protection(f[2]);
    kve.kve_shadow_count = atoi(f[3].c_str());
    if (f.size() >= 7) {
        kve.kve_vn_fsid = strtoull(f[5].c_str(), nullptr, 10);
        kve.kve_vn_fileid = strtoull(f[6].c_str(), nullptr, 10);
    }
    return kve;
}

static int apply(const std::vector<std::string> &f)
{
    const std::string &what = f[0];
    bool have_process = !fake.processes.empty();
    if (what == "jail" && f.size() == 2)
        fake.jailed = atoi(f[1].c_str()), fake.jail_errno = 0;
    else if (what == "jail_error" && f.size() == 2)
        fake.jail_errno = errno_value(f[1]);
    else if (what == "open_error" && f.size() == 2)
        fake.open_errno = errno_value(f[1]);
    else if (what == "list_error" && f.size() == 2)
        fake.list_errno = errno_value(f[1]);
    else if (what == "proc" && f.size() == 5)
        fake_add_process(atoi(f[1].c_str()), atoi(f[2].c_str()), f[3].c_str(), f[4].c_str());
    else if (what == "path_error" && f.size() == 2 && have_process)
        fake.processes.back().path_errno = errno_value(f[1]);
    else if (what == "map_error" && f.size() == 2 && have_process)
        fake.processes.back().map_errno = errno_value(f[1]);
    else if (what == "map_hang" && f.size() == 1 && have_process)
        fake.processes.back().map_hangs = true;
    else if (what == "map_busy" && f.size() == 2 && have_process)
        fake.processes.back().map_busy_ms = atoi(f[1].c_str());
    else if (what == "frame" && f.size() == 3 && have_process) {
        fake.processes.back().frame_key = strtoull(f[1].c_str(), nullptr, 10);
        fake.processes.back().frame_prefix = f[2];
    } else if (what == "map" && (f.size() == 5 || f.size() == 7) && have_process)
        fake.processes.back().map.push_back(mapping(f));
    else
        return -1;
    return 0;
}

int fake_load_script(const char *path)
{
    fake_reset();
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "fake: cannot open script '%s'\n", path);
        return -1;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); number++) {
        if (line.empty() || line[0] == '#')
            continue;
        if (apply(split_fields(line)) != 0) {
            fprintf(stderr, "fake: %s:%d: bad directive\n", path, number);
            return -1;
        }
    }
    return 0;
}
