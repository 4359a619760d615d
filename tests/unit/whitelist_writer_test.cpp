// The writer in a forked child: once it has closed its copies, the child
// holds none of the writer's descriptors, and its exit removes nothing that
// the parent still needs.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "run.h"
#include "subprocess.h"
#include "whitelist.h"

namespace {

std::set<int> open_descriptors(void)
{
    std::set<int> fds;
    for (int fd = 0; fd < 256; fd++) {
        if (fcntl(fd, F_GETFD) != -1)
            fds.insert(fd);
    }
    return fds;
}

int entries(const std::string &dir)
{
    int count = 0;
    DIR *d = opendir(dir.c_str());
    for (struct dirent *de; d != nullptr && (de = readdir(d)) != nullptr;)
        count += strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0;
    if (d != nullptr)
        closedir(d);
    return count;
}

TEST(WriterInChild, ClosesItsCopiesAndTouchesNothing)
{
    const std::string dir = make_temp_dir(), path = dir + "/whitelist";
    create_path = path.c_str();
    const std::set<int> before = open_descriptors();
    whitelist_writer_start();
    whitelist_writer_add(1, "/usr/bin/a", 1);
    std::set<int> writers;
    for (int fd : open_descriptors())
        if (before.count(fd) == 0)
            writers.insert(fd);
    ASSERT_EQ(writers.size(), 2u) << "the file opened at the path, and the temporary file";
    ASSERT_EQ(entries(dir), 2);

    pid_t pid = fork();
    if (pid == 0) {
        whitelist_writer_close_in_child();
        for (int fd : writers)
            if (fcntl(fd, F_GETFD) != -1)
                _exit(1);
        exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a descriptor left open";
    EXPECT_EQ(entries(dir), 2) << "the child removed a file";

    EXPECT_EQ(whitelist_writer_finish(0), 0);
    EXPECT_EQ(read_file(path), "/usr/bin/a\t1\n");
    EXPECT_EQ(entries(dir), 1);
    create_path = nullptr;
    remove_tree(dir);
}

}  // namespace
