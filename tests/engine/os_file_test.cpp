// An open file has one owner: moving an os_file hands its handle over and leaves the source
// without one, so that only the new owner reads through it and closes it. A file's calls work
// in folders whose paths are far past the classic Windows limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "platform/os.h"
#include "tests/common/files.h"


using namespace testutil;

namespace {

static_assert(!std::is_copy_constructible<os_file>::value, "an open file is not copied");
static_assert(!std::is_copy_assignable<os_file>::value, "an open file is not copied");

// The first byte of the file f, or -1 when it cannot be read.
int first_byte(const os_file &f) {
    char c = 0;
    size_t got = 0;
    if (!os_rewind(f) || !os_read(f, &c, 1, &got) || got != 1) return -1;
    return c;
}

TEST(OsFile, MovingHandsTheHandleOverAndLeavesTheSourceWithout) {
    scratch_dir dir("os_file");
    std::string p = dir.file("a.txt");
    ASSERT_TRUE(write_file(p, "abc"));
    os_file opened;
    ASSERT_EQ(1, os_open_read(p.c_str(), &opened));
    const intptr_t handle = opened.handle;

    os_file taken(std::move(opened));
    EXPECT_EQ(-1, opened.handle);
    EXPECT_EQ(handle, taken.handle);
    EXPECT_EQ('a', first_byte(taken));

    os_file last;
    last = std::move(taken);
    EXPECT_EQ(-1, taken.handle);
    EXPECT_EQ(handle, last.handle);
    EXPECT_EQ('a', first_byte(last));

    // The moved-from files hold nothing to close; the owner's close is the only one.
    EXPECT_EQ(1, os_close(&opened));
    EXPECT_EQ(1, os_close(&taken));
    EXPECT_EQ(handle, last.handle);
    EXPECT_EQ(1, os_close(&last));
    EXPECT_EQ(-1, last.handle);
}

// --- paths of any length ----------------------------------------------------------------

// The calls a rewrite and its undo make, on a file whose folder's path is far past the classic
// Windows limit, with a backslash or a slash between its names (a long path reaches Windows in a
// form in which the system itself no longer turns a slash into a backslash, nor resolves "..").
TEST(DeepPaths, EveryCallOfARewriteWorksPastTheClassicLimit) {
    struct row {
        size_t reach;
        char separator;
    } rows[] = {{300, path_separator}, {1000, '/'}};
    for (const row &r : rows) {
        SCOPED_TRACE(std::to_string(r.reach) + " bytes, '" + r.separator + "'");
        scratch_dir base("os_file");
        std::string dir = long_paths::make_chain(base.str(), r.reach, std::string(100, 'd'));
        std::replace(dir.begin() + long(base.str().size()), dir.end(), path_separator, r.separator);
        const std::string sep(1, r.separator), file = dir + sep + "file.txt",
                          second = dir + sep + "second.txt", link = dir + sep + "link.txt";
        ASSERT_TRUE(long_paths::write(file, "first\n"));
        std::vector<os_dir_entry> listed;
        ASSERT_EQ(1, os_list_dir(dir.c_str(), &listed, nullptr));
        ASSERT_EQ(1u, listed.size());
        EXPECT_EQ("file.txt", listed[0].name);
        EXPECT_EQ(6u, listed[0].size);
        os_stat st, around;
        ASSERT_EQ(1, os_stat_path(file.c_str(), &st, 0));
        const std::string up = dir + sep + ".." + dir.substr(dir.find_last_of("\\/")) + sep;
        ASSERT_EQ(1, os_stat_path((up + "file.txt").c_str(), &around, 0));
        EXPECT_EQ(st.id, around.id);
        std::string target;
        ASSERT_EQ(1, os_link_target(file.c_str(), &target));
        ASSERT_EQ(1, os_stat_path(target.c_str(), &around, 1)) << target;
        EXPECT_EQ(st.id, around.id);
        EXPECT_EQ(std::string::npos, target.find("\\\\?\\")) << target;
        int64_t t = old_time, got = 0;
        ASSERT_EQ(1, os_path_mtime(file.c_str(), &t, 1));
        ASSERT_EQ(1, os_path_mtime(file.c_str(), &got, 0));
        EXPECT_EQ(old_time, got);
        ASSERT_TRUE(long_paths::write(second, "second\n"));
        ASSERT_EQ(1, os_replace(second.c_str(), file.c_str()));
        EXPECT_EQ("second\n", long_paths::read(file));
        ASSERT_EQ(1, os_hard_link(file.c_str(), link.c_str()));
        EXPECT_EQ("second\n", long_paths::read(link));
        ASSERT_EQ(1, os_remove(link.c_str()));
        long_paths::remove(base.str());
        EXPECT_EQ(0, os_stat_path(base.str().c_str(), &st, 1));
    }
}

}  // namespace
