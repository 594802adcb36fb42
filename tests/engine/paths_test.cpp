// Path composition on this platform's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/engine.h"
#include "platform/os.h"
#include "tests/common/files.h"

namespace {

struct join_case {
    const char *dir;
    const char *name;
    const char *expect;
};

#if defined(_WIN32)
const join_case join_cases[] = {
    {"C:\\", "notes.txt", "C:\\notes.txt"},
    {"C:\\data", "notes.txt", "C:\\data\\notes.txt"},
    {"C:/data/", "notes.txt", "C:/data/notes.txt"},
    {"C:/data", "*.*", "C:/data\\*.*"},
    {"", "notes.txt", "notes.txt"},
};
const char *const dir_cases[][2] = {
    {"C:\\data\\notes.txt", "C:\\data\\"},
    {"C:notes.txt", "C:"},
    {"notes.txt", ""},
    {"C:\\data\\", "C:\\data\\"},
    {"C:/data/notes.txt", "C:/data/"},
    {"", ""},
};
#else
const join_case join_cases[] = {
    {"/", "notes.txt", "/notes.txt"},
    {"/data", "notes.txt", "/data/notes.txt"},
    {"/data/", "notes.txt", "/data/notes.txt"},
    {"", "notes.txt", "notes.txt"},
    {"a\\b", "c", "a\\b/c"},  // a backslash is part of a name here
};
const char *const dir_cases[][2] = {
    {"/data/notes.txt", "/data/"}, {"notes.txt", ""},
    {"/data/", "/data/"},          {"C:notes.txt", ""},  // a colon is part of a name here
    {"dir\\name.txt", ""},         {"", ""},
};
#endif

TEST(JoinPath, Table) {
    for (const join_case &c : join_cases) {
        std::string out = "left over";
        join_path(&out, c.dir, c.name);
        EXPECT_EQ(c.expect, out) << c.dir << " + " << c.name;
    }
}

TEST(JoinPath, JoinsOntoItsOwnText) {
    std::string path = "folder";
    join_path(&path, path.c_str(), "file");
    EXPECT_EQ(std::string("folder") + path_separator + "file", path);
}

TEST(DirectoryPart, Table) {
    for (const auto &c : dir_cases) {
        std::string path = c[0];
        directory_part(&path);
        EXPECT_EQ(c[1], path) << "from " << c[0];
    }
}

// The limit is the system's, in its own unit: a path of exactly that many units fits, one more
// does not, and the message counts the same units. On Windows a character outside ASCII is one
// unit however many bytes it takes in UTF-8.
TEST(PathLimit, FitsUpToTheSystemsOwnLimitCountedInItsUnit) {
    const size_t longest = os_path_longest;
    // Three bytes and one UTF-16 unit, where the program's text is UTF-8 on Windows.
    const bool utf8_windows = path_separator == '\\' && testutil::program_code_page() == 65001;
    const std::string wide_char = utf8_windows ? "\xe6\x97\xa5" : "a";
    struct limit_case {
        std::string path;
        size_t reserve;
        bool fits;
        size_t counted;
    } cases[] = {
        {std::string(longest, 'a'), 0, true, longest},
        {std::string(longest + 1, 'a'), 0, false, longest + 1},
        {std::string(longest, 'a'), 1, false, longest},
        {std::string(longest - 1, 'a'), 1, true, longest - 1},
        {[&] { std::string p; for (size_t i = 0; i < longest; ++i) p += wide_char; return p; }(), 0,
         true, longest},
        {[&] { std::string p; for (size_t i = 0; i <= longest; ++i) p += wide_char; return p; }(),
         0, false, longest + 1},
    };
    for (const limit_case &c : cases) {
        SCOPED_TRACE(std::to_string(c.path.size()) + " bytes, reserve " + std::to_string(c.reserve));
        EXPECT_EQ(c.fits, path_fits(c.path, c.reserve));
        EXPECT_EQ("Path too long (" + std::to_string(c.counted) + " " + os_path_unit +
                      ", at most " + std::to_string(longest) + ")",
                  path_too_long(c.path));
    }
}

}  // namespace
