// Path composition on this platform's rules.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/engine.h"

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
        char out[path_room];
        ASSERT_EQ(1, join_path(out, path_room, c.dir, c.name)) << c.dir << " + " << c.name;
        EXPECT_STREQ(c.expect, out) << c.dir << " + " << c.name;
    }
}

TEST(JoinPath, RefusesWhatDoesNotFitAndLeavesAnEmptyResult) {
    char out[10];
    EXPECT_EQ(1, join_path(out, sizeof out, "abc", "defgh"));  // 9 + terminator: just fits
    EXPECT_EQ(9u, strlen(out));
    EXPECT_EQ(0, join_path(out, sizeof out, "abc", "defghi"));  // one byte too many
    EXPECT_STREQ("", out);
}

TEST(JoinPath, JoinsOntoItsOwnBuffer) {
    char buf[64] = "folder";
    ASSERT_EQ(1, join_path(buf, sizeof buf, buf, "file"));
    EXPECT_EQ(std::string("folder") + path_separator + "file", buf);
}

TEST(DirectoryPart, Table) {
    for (const auto &c : dir_cases) {
        char buf[path_room];
        strcpy(buf, c[0]);
        directory_part(buf);
        EXPECT_STREQ(c[1], buf) << "from " << c[0];
    }
}

}  // namespace
