// An open file has one owner: moving an os_file hands its handle over and leaves the source
// without one, so that only the new owner reads through it and closes it.
#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <utility>

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

}  // namespace
