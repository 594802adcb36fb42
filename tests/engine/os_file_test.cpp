// An open file has one owner: moving an os_file hands its handle over and leaves the source
// without one, so that only the new owner reads through it and closes it. A file's whole life
// through the seam works in folders whose paths are far past the classic Windows limit, or
// whose names are Japanese.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/os.h"
#include "tests/common/files.h"

#if defined(_WIN32)
#include <windows.h>
#endif

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

struct deep_row {
    const char *name;     // the test's
    const char *letters;  // UTF-8: each folder's name, the last one cut to fit
    size_t reach;         // the folder chain's path in bytes, at least (less a character's bytes)
    char separator;       // between names on Windows ('/' must work as '\\' does); '/' elsewhere
    const char *file;     // the names of the files made in the deepest folder
    const char *second;
    const char *link;
    bool beyond_latin;  // the names need UTF-8 as the program's code page
};

// The row's name in gtest's messages.
void PrintTo(const deep_row &row, std::ostream *os) { *os << row.name; }

std::string hundred(char c) { return std::string(100, c); }

// Under Wine every name becomes a Unix name of at most 255 bytes, and the whole Unix path must
// stay under 4,096 bytes: folder names of at most 100 characters, paths of about 1,000.
const deep_row deep_rows[] = {
    {"Latin300", "", 300, '\\', "file.txt", "second.txt", "link.txt", false},
    {"Latin1000", "", 1000, '/', "file.txt", "second.txt", "link.txt", false},
    // 17 characters of 3 bytes: under 260 UTF-16 units, over 259 bytes.
    {"Japanese",
     "\xe9\x95\xb7\xe3\x81\x84\xe5\x90\x8d\xe5\x89\x8d\xe3\x81\xae\xe3\x83\x95\xe3\x82\xa9\xe3"
     "\x83\xab\xe3\x83\x80\xe3\x82\x92\xe4\xbd\x9c\xe3\x81\xa3\xe3\x81\xa6\xe7\xa2\xba\xe3\x81"
     "\x8b\xe3\x82\x81\xe3\x82\x8b",
     300, '\\', "\xe3\x83\x95\xe3\x82\xa1\xe3\x82\xa4\xe3\x83\xab.txt",
     "\xe4\xba\x8c\xe3\x81\xa4\xe7\x9b\xae.txt", "\xe3\x83\xaa\xe3\x83\xb3\xe3\x82\xaf.txt", true},
};

// The longest start of the UTF-8 text s that has at most n bytes and ends with a whole
// character.
std::string utf8_prefix(const std::string &s, size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// How many UTF-16 units the UTF-8 text s takes.
size_t utf16_units(const std::string &s) {
    size_t n = 0;
    for (unsigned char c : s) {
        if ((c & 0xC0) != 0x80) ++n;  // a character starts
        if (c >= 0xF0) ++n;           // beyond the BMP: a surrogate pair
    }
    return n;
}

std::string last_error() {
    uint32_t code = os_last_error();
    return std::to_string(code) + ": " + os_error_text(code);
}

// The whole file through the seam; false when it cannot be read.
bool read_through_seam(const std::string &path, std::string *out) {
    os_file f;
    if (!os_open_read(path.c_str(), &f)) return false;
    out->clear();
    char buf[256];
    size_t got = 0;
    bool ok;
    while ((ok = os_read(f, buf, sizeof buf, &got) == 1) && got > 0) out->append(buf, got);
    return os_close(&f) == 1 && ok;
}

bool write_new_through_seam(const std::string &path, const std::string &bytes) {
    os_file f;
    if (!os_create_new(path.c_str(), &f)) return false;
    bool ok = os_write_all(f, bytes.data(), bytes.size()) == 1;
    return os_close(&f) == 1 && ok;
}

// Folders made below a scratch folder and the files in the deepest one, removed again through
// the seam (deepest first) whatever the test left: the test's own folder is then short enough
// for any means to remove.
class folder_chain {
  public:
    ~folder_chain() {
        for (const std::string &f : files_) os_remove(f.c_str());
        for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) os_remove_dir(it->c_str());
    }
    bool make(const std::string &path) {
        if (!os_make_dir(path.c_str())) return false;
        folders_.push_back(path);
        return true;
    }
    std::string file(const std::string &path) {
        files_.push_back(path);
        return path;
    }
    const std::vector<std::string> &folders() const { return folders_; }
    void forget() {
        files_.clear();
        folders_.clear();
    }

  private:
    std::vector<std::string> folders_;
    std::vector<std::string> files_;
};

class DeepPaths : public ::testing::TestWithParam<deep_row> {};

TEST_P(DeepPaths, AFileLivesItsWholeLifeThroughTheSeam) {
    const deep_row &row = GetParam();
#if defined(_WIN32)
    // Names beyond Latin reach the system only where the program's code page is UTF-8, as the
    // program's manifest makes it; the test programs have no manifest.
    if (row.beyond_latin && GetACP() != CP_UTF8)
        GTEST_SKIP() << "the code page is " << GetACP() << ", not UTF-8";
    const char sep = row.separator;
#else
    const char sep = '/';
#endif
    const std::string letters = row.letters;
    scratch_dir base("os_file");
    folder_chain chain;
    std::string dir = base.str(), deepest;
    for (char level = 'a'; dir.size() < row.reach; ++level) {
        std::string name =
            utf8_prefix(letters.empty() ? hundred(level) : letters, row.reach - dir.size() - 1);
        if (name.empty()) break;  // not one more character fits
        dir += sep + name;
        deepest = name;
        ASSERT_TRUE(chain.make(dir)) << dir.size() << " bytes: " << last_error();
    }
    ASSERT_GE(dir.size() + 3, row.reach);
    const std::string file = chain.file(dir + sep + row.file);
    const std::string second = chain.file(dir + sep + row.second);
    const std::string link = chain.file(dir + sep + row.link);
    if (row.beyond_latin) {  // past the classic limit in bytes, within it in UTF-16 units
        EXPECT_GT(file.size(), 259u);
        EXPECT_LT(utf16_units(file), 260u);
    }

    // Made, written and read back.
    ASSERT_TRUE(write_new_through_seam(file, "first\n")) << last_error();
    std::string text;
    ASSERT_TRUE(read_through_seam(file, &text)) << last_error();
    EXPECT_EQ("first\n", text);

    // Listed by its own name; looked at by path.
    std::vector<os_dir_entry> listed;
    ASSERT_EQ(1, os_list_dir(dir.c_str(), &listed, nullptr)) << last_error();
    ASSERT_EQ(1u, listed.size());
    EXPECT_EQ(row.file, listed[0].name);
    EXPECT_FALSE(listed[0].unrepresentable);
    EXPECT_TRUE(listed[0].is_regular);
    EXPECT_EQ(6u, listed[0].size);
    os_stat st;
    ASSERT_EQ(1, os_stat_path(file.c_str(), &st, 0)) << last_error();
    EXPECT_TRUE(st.is_regular);
    EXPECT_FALSE(st.is_link);
    EXPECT_EQ(6u, st.size);
    os_stat folder;
    ASSERT_EQ(1, os_stat_path(dir.c_str(), &folder, 1)) << last_error();
    EXPECT_TRUE(folder.is_dir);
    // The same file by a path that goes up a folder and down again.
    const std::string around = dir + sep + ".." + sep + deepest + sep + row.file;
    os_stat by_around;
    ASSERT_EQ(1, os_stat_path(around.c_str(), &by_around, 0)) << last_error();
    EXPECT_EQ(st.id, by_around.id);

    // A plain file is its own target, whatever the length of the path it is finally known by.
    std::string target;
    ASSERT_EQ(1, os_link_target(file.c_str(), &target)) << last_error();
    os_stat at_target;
    ASSERT_EQ(1, os_stat_path(target.c_str(), &at_target, 1)) << target << ": " << last_error();
    EXPECT_EQ(st.id, at_target.id) << target;

    // Its last-write time set and read again.
    int64_t t = old_time;
    ASSERT_EQ(1, os_path_mtime(file.c_str(), &t, 1)) << last_error();
    int64_t got = 0;
    ASSERT_EQ(1, os_path_mtime(file.c_str(), &got, 0)) << last_error();
    EXPECT_EQ(old_time, got);

    // A second file put in its place.
    ASSERT_TRUE(write_new_through_seam(second, "second\n")) << last_error();
    ASSERT_EQ(1, os_replace(second.c_str(), file.c_str())) << last_error();
    ASSERT_TRUE(read_through_seam(file, &text)) << last_error();
    EXPECT_EQ("second\n", text);
    EXPECT_EQ(0, os_stat_path(second.c_str(), &st, 0));

    // A second name for it.
    ASSERT_EQ(1, os_hard_link(file.c_str(), link.c_str())) << last_error();
    os_stat of_file, of_link;
    ASSERT_EQ(1, os_stat_path(file.c_str(), &of_file, 1)) << last_error();
    ASSERT_EQ(1, os_stat_path(link.c_str(), &of_link, 1)) << last_error();
    EXPECT_EQ(of_file.id, of_link.id);
    ASSERT_TRUE(read_through_seam(link, &text)) << last_error();
    EXPECT_EQ("second\n", text);
    ASSERT_EQ(1, os_list_dir(dir.c_str(), &listed, nullptr)) << last_error();
    ASSERT_EQ(2u, listed.size());  // in byte order: the file's name comes first in every row
    EXPECT_EQ(row.file, listed[0].name);
    EXPECT_EQ(row.link, listed[1].name);

    // Removed, then the folders one by one from the deepest: nothing is left.
    ASSERT_EQ(1, os_remove(link.c_str())) << last_error();
    ASSERT_EQ(1, os_remove(file.c_str())) << last_error();
    ASSERT_EQ(1, os_list_dir(dir.c_str(), &listed, nullptr)) << last_error();
    EXPECT_TRUE(listed.empty());
    const std::vector<std::string> folders = chain.folders();
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
        ASSERT_EQ(1, os_remove_dir(it->c_str())) << it->size() << " bytes: " << last_error();
    chain.forget();
    ASSERT_EQ(1, os_list_dir(base.str().c_str(), &listed, nullptr)) << last_error();
    EXPECT_TRUE(listed.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, DeepPaths, ::testing::ValuesIn(deep_rows),
                         [](const ::testing::TestParamInfo<deep_row> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
