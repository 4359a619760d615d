// Loading whitelist files, and looking entries up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "run.h"
#include "subprocess.h"
#include "whitelist.h"

namespace {

struct loaded {
    int result;
    std::string err;
    std::vector<std::pair<std::string, uint64_t>> entries;
};

// Loads the whitelist at path with stderr captured; the list is freed.
loaded load(const char *path)
{
    fflush(stderr);
    FILE *capture = tmpfile();
    int saved = dup(2);
    dup2(fileno(capture), 2);
    whitelist_path = path;
    whitelist = nullptr;
    loaded l;
    l.result = load_whitelist();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    rewind(capture);
    char buf[4096];
    size_t n = fread(buf, 1, sizeof buf, capture);
    l.err.assign(buf, n);
    fclose(capture);
    for (const whitelist_entry *e = whitelist; e != nullptr; e = e->next_entry)
        l.entries.emplace_back(e->path, e->count);
    whitelist_free(whitelist);
    whitelist = nullptr;
    return l;
}

struct file_case {
    const char *name;
    std::string bytes;
    int result;
    bool bad_format;
    std::vector<std::pair<std::string, uint64_t>> entries;
};

const uint64_t U64_MAX = UINT64_MAX;

// A line of exactly `length` bytes, LF included, with a 1023-byte path.
std::string line_of(size_t length)
{
    std::string path(1023, 'p');
    return path + "\t" + std::string(length - 1023 - 3, '0') + "1\n";
}

TEST(WhitelistLoad, FileContents)
{
    const std::string long_path(1023, 'p');
    const std::vector<file_case> cases = {
        {"empty file", "", 0, false, {}},
        {"one line", "/usr/sbin/sshd\t1\n", 0, false, {{"/usr/sbin/sshd", 1}}},
        {"lines in file order", "/b\t2\n/a\t10\n/b\t3\n", 0, false, {{"/b", 2}, {"/a", 10}, {"/b", 3}}},
        {"path taken byte for byte", " /a b \\t\t4\n", 0, false, {{" /a b \\t", 4}}},
        {"empty path", "\t1\n", 0, false, {{"", 1}}},
        {"blank line", "/a\t1\n\n", -1, true, {{"/a", 1}}},
        {"no TAB", "/a 1\n", -1, true, {}},
        {"count 0", "/a\t0\n", -1, true, {}},
        {"no digits", "/a\t\n", -1, true, {}},
        {"garbage after count", "/a\t1x\n", -1, true, {}},
        {"blank after count", "/a\t1 \n", -1, true, {}},
        {"last line without LF", "/a\t1\n/b\t1", -1, true, {{"/a", 1}}},
        {"plus sign", "/a\t+1\n", 0, false, {{"/a", 1}}},
        {"leading blanks and TABs", "/a\t \t 7\n", 0, false, {{"/a", 7}}},
        {"minus wraps", "/a\t-1\n", 0, false, {{"/a", U64_MAX}}},
        {"too large saturates", "/a\t99999999999999999999999\n", 0, false, {{"/a", U64_MAX}}},
        {"1043-byte line", line_of(1043), 0, false, {{long_path, 1}}},
        {"1044-byte line", line_of(1044), -1, true, {}},
        {"path longer than 1023 bytes", std::string(1024, 'p') + "\t1\n", -1, true, {}},
        {"NUL-first line ends reading quietly", std::string("/a\t1\n\0junk\n/b\t1\n", 16), 0, false,
         {{"/a", 1}}},
    };
    std::string dir = make_temp_dir(), path = dir + "/whitelist";
    for (const file_case &c : cases) {
        write_file(path, c.bytes);
        loaded l = load(path.c_str());
        EXPECT_EQ(l.result, c.result) << c.name;
        EXPECT_EQ(l.err, c.bad_format ? "vrix: cannot read '" + path + "': bad file format\n" : "")
            << c.name;
        EXPECT_EQ(l.entries, c.entries) << c.name;
    }
    remove_tree(dir);
}

TEST(WhitelistLoad, FileThatCannotBeOpened)
{
    loaded l = load("/nonexistent/whitelist");
    EXPECT_EQ(l.result, -1);
    EXPECT_EQ(l.err, "vrix: cannot open file '/nonexistent/whitelist': No such file or directory\n");
}

TEST(WhitelistLoad, StandardInputIsReadAndLeftOpen)
{
    std::string dir = make_temp_dir(), path = dir + "/whitelist";
    write_file(path, "/a\t1\n");
    int saved = dup(0);
    int fd = open(path.c_str(), O_RDONLY);
    dup2(fd, 0);
    close(fd);
    clearerr(stdin);
    loaded l = load("-");
    EXPECT_NE(fcntl(0, F_GETFD), -1);
    dup2(saved, 0);
    close(saved);
    clearerr(stdin);
    EXPECT_EQ(l.result, 0);
    EXPECT_EQ(l.entries, (std::vector<std::pair<std::string, uint64_t>>{{"/a", 1}}));
    remove_tree(dir);
}

TEST(WhitelistFind, FirstExactMatch)
{
    whitelist_entry third{nullptr, "/usr/bin/a", 3};
    whitelist_entry second{&third, "/usr/bin/a", 2};
    whitelist_entry first{&second, "/usr/bin/b", 1};
    EXPECT_EQ(whitelist_find(&first, "/usr/bin/a"), &second);
    EXPECT_EQ(whitelist_find(&first, "/usr/bin/b"), &first);
    EXPECT_EQ(whitelist_find(&first, "/usr/bin/a/"), nullptr);
    EXPECT_EQ(whitelist_find(&first, "/usr/bin/A"), nullptr);
    EXPECT_EQ(whitelist_find(&first, "/usr/bin"), nullptr);
    EXPECT_EQ(whitelist_find(nullptr, "/usr/bin/a"), nullptr);
}

}  // namespace
