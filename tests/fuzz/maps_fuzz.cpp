// libFuzzer target for the reader of /proc/PID/maps lines, whose names any
// user chooses. Every line must parse or be refused without reading past its
// end, and the same regardless of the root prefix. A file name written as the
// kernel writes it must read back as a name that the kernel would write as
// the very same text.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>

#include <string>
#include <vector>

#include "process_map.h"

static const size_t PATH_SIZE = sizeof(kinfo_vmentry::kve_path);

// A file mapping's head as the kernel pads it; the name's leading '/' is the
// first byte of the name.
static const char HEAD[] = "7f0000000000-7f0000001000 r-xp 00000000 08:01 1234                      ";

// No prefix, a container's root, and prefixes that leave room for exactly
// "/", for nothing, or that do not fit themselves.
static std::vector<std::string> prefixes;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    prefixes = {"", "/proc/123/root", "/proc/123/root/../../..", std::string(PATH_SIZE - 2, 'p'),
                std::string(PATH_SIZE - 1, 'p'), std::string(PATH_SIZE, 'p')};
    return 0;
}

// The kernel writes a file name with seq_file_path(m, file, "\n"): LF as \012,
// every other byte as itself (a backslash too).
static std::string kernel_escape(const char *name, size_t len)
{
    std::string out;
    for (size_t i = 0; i < len; i++) {
        if (name[i] == '\n')
            out += "\\012";
        else
            out += name[i];
    }
    return out;
}

// The length of the name the text stands for: each \012 is one byte.
static size_t unescaped_length(const std::string &text)
{
    size_t len = text.size();
    for (size_t at = text.find("\\012"); at != std::string::npos; at = text.find("\\012", at + 4))
        len -= 3;
    return len;
}

// The line in a heap block of exactly its size, so that reading past it is
// caught.
static int parse(const std::string &line, const std::string &prefix, kinfo_vmentry *kve)
{
    char *copy = (char *)malloc(line.size());
    if (copy == nullptr && !line.empty())
        abort();
    if (!line.empty())
        memcpy(copy, line.data(), line.size());
    memset(kve, 0xa5, sizeof *kve);
    int rc = parse_maps_line(copy, line.size(), prefix.c_str(), kve);
    free(copy);
    if (rc != 1 && rc != 0 && rc != -1)
        abort();
    if (rc == 1 && memchr(kve->kve_path, '\0', PATH_SIZE) == nullptr)
        abort();  // an unterminated path
    return rc;
}

// A record on the heap: writing past its path, the last field, is caught.
static_assert(offsetof(kinfo_vmentry, kve_path) + PATH_SIZE == sizeof(kinfo_vmentry),
              "kve_path is no longer the record's end");

static kinfo_vmentry *new_record(void)
{
    kinfo_vmentry *kve = (kinfo_vmentry *)malloc(sizeof(kinfo_vmentry));
    if (kve == nullptr)
        abort();
    return kve;
}

// The fields read from the line's head, filled even when the path is refused.
static int same_head(const kinfo_vmentry *a, const kinfo_vmentry *b)
{
    return a->kve_protection == b->kve_protection && a->kve_shadow_count == b->kve_shadow_count &&
           a->kve_vn_fsid == b->kve_vn_fsid && a->kve_vn_fileid == b->kve_vn_fileid;
}

// Any bytes as a line: the prefix changes nothing but the path of a file, and
// can make it too long, never anything else.
static void fuzz_line(const std::string &line)
{
    kinfo_vmentry *bare = new_record(), *kve = new_record();
    int bare_rc = parse(line, "", bare);
    for (const std::string &prefix : prefixes) {
        int rc = parse(line, prefix, kve);
        if ((rc == 0) != (bare_rc == 0))
            abort();  // whether a line is well formed depends on the prefix
        if (rc == 0)
            continue;
        if (!same_head(bare, kve) || (rc == bare_rc && bare->kve_type != kve->kve_type))
            abort();  // fields other than the path depend on the prefix
        if (rc == -1 && kve->kve_type != KVME_TYPE_VNODE)
            abort();
        if (bare_rc == -1 && rc != -1)
            abort();  // a longer path fits where a shorter one did not
        if (bare_rc != 1)
            continue;
        int is_file = bare->kve_path[0] == '/';
        if (rc == -1) {
            if (!is_file)
                abort();  // a prefix given to a name that is no file
            continue;
        }
        std::string want = (is_file ? prefix : std::string()) + bare->kve_path;
        if (want != kve->kve_path)
            abort();
    }
    free(bare);
    free(kve);
}

// The bytes up to any NUL as a file name, written by the kernel: its text
// must come back, or the name must be refused exactly when it cannot fit.
static void fuzz_name(const char *data, size_t size)
{
    const char *nul = (const char *)memchr(data, '\0', size);
    std::string text = "/" + kernel_escape(data, nul != nullptr ? (size_t)(nul - data) : size);
    std::string line = HEAD + text;
    size_t name_len = unescaped_length(text);
    kinfo_vmentry *kve = new_record();
    for (const std::string &prefix : prefixes) {
        int rc = parse(line, prefix, kve);
        int fits = prefix.size() + name_len < PATH_SIZE;
        if (rc != (fits ? 1 : -1))
            abort();  // refused though it fits, or cut though it does not
        if (kve->kve_protection != (KVME_PROT_READ | KVME_PROT_EXEC) ||
            kve->kve_shadow_count != 1 || kve->kve_vn_fsid != makedev(8, 1) ||
            kve->kve_vn_fileid != 1234 || kve->kve_type != KVME_TYPE_VNODE)
            abort();
        if (rc != 1)
            continue;
        const char *path = kve->kve_path;
        if (strncmp(path, prefix.c_str(), prefix.size()) != 0)
            abort();
        const char *name = path + prefix.size();
        if (kernel_escape(name, strlen(name)) != text)
            abort();  // the name does not write back as the line's text
    }
    free(kve);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_line(std::string((const char *)data, size));
    fuzz_name((const char *)data, size);
    return 0;
}
