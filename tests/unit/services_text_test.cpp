#include <gtest/gtest.h>

#include "services.h"

// Names as users chose them, shown in a line, written in JSON and as a
// word for sh: no byte reads as a second line, a second word or a
// command, and JSON keeps every byte (a byte of no character as the lone
// surrogate \udcXX).
TEST(ServicesText, NamesShownQuotedAndKeptIntact)
{
    const struct {
        std::string name, shown, json, sh;
    } cases[] = {
        {"nginx.service", "nginx.service", "\"nginx.service\"", "nginx.service"},
        {"a b", "'a b'", "\"a b\"", "'a b'"},
        {"it's", "'it\\047s'", "\"it's\"", "'it'\\''s'"},
        {"x\ny", "'x\\012y'", "\"x\\u000ay\"", "'x\ny'"},
        {"\x01\x7f", "'\\001\\177'", "\"\\u0001\\u007f\"", "'\x01\x7f'"},
        {"\\", "'\\134'", "\"\\\\\"", "'\\'"},
        {"\"", "'\"'", "\"\\\"\"", "'\"'"},
        {"\xc2\x85", "'\\302\\205'", "\"\\u0085\"", "'\xc2\x85'"},
        {"\x85\xff", "'\\205\\377'", "\"\\udc85\\udcff\"", "'\x85\xff'"},
        {"caf\xc3\xa9", "'caf\xc3\xa9'", "\"caf\xc3\xa9\"", "'caf\xc3\xa9'"},
        {std::string("a\0b", 3), "'a\\000b'", "\"a\\u0000b\"", std::string("'a\0b'", 5)},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(shown(c.name), c.shown) << c.shown;
        EXPECT_EQ(json_string(c.name), c.json) << c.shown;
        EXPECT_EQ(sh_word(c.name), c.sh) << c.shown;
    }
}

TEST(ServicesText, OnlyUnitAndContainerNamesReachACommand)
{
    for (const char *ok : {"nginx.service", "getty@tty1.service", "a\\x2db.scope", "x@.service"})
        EXPECT_TRUE(unit_name_ok(ok)) << ok;
    for (const char *bad : {"nginx", ".service", "a b.service", "a@b@c.service", "-x;y.service"})
        EXPECT_FALSE(unit_name_ok(bad)) << bad;
    for (const char *ok : {"web", "/srv/lxc", "a_b-1.2"})
        EXPECT_TRUE(word_ok(ok)) << ok;
    for (const char *bad : {"", "-r", ".x", "a b", "a;b", "$(id)"})
        EXPECT_FALSE(word_ok(bad)) << bad;
}
