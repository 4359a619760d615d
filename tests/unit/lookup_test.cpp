// A lookup that follows no symbolic link, beside the run's usual one.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lookup.h"
#include "subprocess.h"

namespace {

TEST(LookUpUnfollowed, ALinkAtTheNameIsItselfAndTheUsualLookupStillFollowsIt)
{
    std::string dir = make_temp_dir(), file = dir + "/lib.so.bak",
                link = dir + "/lib.so (deleted)";
    write_file(file, "x");
    ASSERT_EQ(symlink("lib.so.bak", link.c_str()), 0);
    struct stat target, itself;
    ASSERT_EQ(stat(file.c_str(), &target), 0);
    ASSERT_EQ(lstat(link.c_str(), &itself), 0);
    stat_cache_clear();

    struct file_id unfollowed = look_up_unfollowed(link.c_str());
    EXPECT_EQ(unfollowed.error, 0);
    EXPECT_EQ(unfollowed.ino, (uint64_t)itself.st_ino);
    // not remembered as the name's answer: the usual lookup follows
    struct file_id followed = look_up_path(link.c_str());
    EXPECT_EQ(followed.ino, (uint64_t)target.st_ino);
    EXPECT_EQ(look_up_unfollowed(link.c_str()).ino, (uint64_t)itself.st_ino);
    EXPECT_EQ(look_up_unfollowed((dir + "/none").c_str()).error, ENOENT);
    stat_cache_clear();
    remove_tree(dir);
}

}  // namespace
