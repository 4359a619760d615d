#include <errno.h>

#include <gtest/gtest.h>

#include <string>

#include "path_cache.h"

// Paths that share long beginnings and differ in one byte anywhere, well
// past the point where the table grows and where it starts over: each is
// found with its own answer, and none with another's.
TEST(PathCache, FindsEachPathItsOwnAnswerAcrossGrowthAndStartingOver)
{
    path_cache_clear();
    const std::string dir = "/usr/lib/x86_64-linux-gnu/a-rather-long-directory-name/";
    auto path_of = [&](int n) {
        std::string p = dir + "lib-0000000.so";
        p[dir.size() + 4 + n % 7] = (char)('a' + n % 26);
        return p + std::to_string(n);
    };
    for (int n = 0; n < 5000; n++)
        path_cache_put(path_of(n).c_str(), file_id{0, 1, (uint64_t)n, 1});
    for (int n = 0; n < 5000; n++) {
        const struct file_id *id = path_cache_find(path_of(n).c_str());
        ASSERT_NE(id, nullptr) << path_of(n);
        EXPECT_EQ(id->ino, (uint64_t)n);
    }
    EXPECT_EQ(path_cache_find((dir + "lib-0000000.so").c_str()), nullptr);
    EXPECT_EQ(path_cache_find(dir.c_str()), nullptr);
    // a path asked again takes the newer answer
    path_cache_put(path_of(7).c_str(), file_id{ENOENT, 0, 0, 0});
    EXPECT_EQ(path_cache_find(path_of(7).c_str())->error, ENOENT);
    // bounded: beyond its limit it starts over, and what comes after is kept
    for (int n = 5000; n < 20000; n++)
        path_cache_put(path_of(n).c_str(), file_id{0, 1, (uint64_t)n, 1});
    ASSERT_NE(path_cache_find(path_of(19999).c_str()), nullptr);
    EXPECT_EQ(path_cache_find(path_of(19999).c_str())->ino, 19999u);
    EXPECT_EQ(path_cache_find(path_of(0).c_str()), nullptr);
    path_cache_clear();
    EXPECT_EQ(path_cache_find(path_of(19999).c_str()), nullptr);
    // the empty path and short ones
    path_cache_put("", file_id{ENOENT, 0, 0, 0});
    path_cache_put("/", file_id{0, 2, 2, 1});
    EXPECT_EQ(path_cache_find("")->error, ENOENT);
    EXPECT_EQ(path_cache_find("/")->ino, 2u);
    path_cache_clear();
}
