// Selection: Size texts, file types, Name Len and Age days, table-driven.
#include <gtest/gtest.h>

#include "scan/select.h"

namespace {

struct size_case {
    const char *text;
    uint64_t bytes;
};

TEST(ParseSizeText, Table) {
    const size_case cases[] = {
        {nullptr, 0},
        {"", 0},
        {"0", 0},
        {"10KB", 10240},
        {"2 kb", 2048},
        {"3mb", 3145728},
        {"1.5 MB", 15728640},  // the point is dropped like any other non-digit
        {"abc", 0},
        {"kb", 0},
        {"1KB", 1024},
        {"7 Kb MB", 7340032},  // "MB" wins over "KB"
        {"1K B", 1},           // "K B" is not "KB"
        {"x1y2z3", 123},
        {"2147483647", 2147483647ULL},
        {"4096 MB", 4294967296ULL},       // 4 GiB: past 32 bits, no wrap
        {"99999999999", 99999999999ULL},  // no 32-bit clamp either
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", UINT64_MAX},  // saturates instead of wrapping
        {"99999999999999999999999999", UINT64_MAX},
        {"17592186044416 MB", UINT64_MAX},  // 2^44 MiB = 2^64 bytes: saturates
        {"17592186044415 MB", 18446744073708503040ULL},
    };
    for (const size_case &c : cases)
        EXPECT_EQ(c.bytes, parse_size_text(c.text)) << (c.text ? c.text : "(null)");
}

TEST(ParseSizeText, LongTextIsReadWhole) {
    std::string text(300, ' ');
    text += "12 KB";
    EXPECT_EQ(12288u, parse_size_text(text.c_str()));
}

os_dir_entry file(const std::string &name, uint64_t size, int64_t mtime = 0) {
    os_dir_entry e;
    e.name = name;
    e.is_regular = true;
    e.size = size;
    e.mtime = mtime;
    return e;
}

struct match_case {
    const char *name;
    uint64_t size;
    const char *type;
    uint64_t min_size;
    int selected;
};

TEST(FileMatches, Table) {
    const uint64_t kb = 1024;
    const match_case cases[] = {
        {"empty", 0, "*.*", 0, 1},          // size 0 and "*.*": every file, empty ones too
        {"readme", 10, "*.*", 0, 1},        // "*.*" takes files without extension
        {"a.txt", 1023, "*.*", 1 * kb, 0},  // '1KB': 1,023 bytes are too small
        {"a.txt", 1024, "*.*", 1 * kb, 1},  // 1,024 bytes are enough
        {"readme.txt", 5, "*.TXT", 0, 1},
        {"readme.TXT", 5, "*.txt", 0, 1},
        {"readme", 5, "*.txt", 0, 0},
        {"readme.txt.bak", 5, "*.txt", 0, 0},
        {"readme.txt", 5, "notes.txt", 0, 1},
        {"readme.txt", 5, ".TXT", 0, 1},
        {"readme.txt", 5, "x.Txt", 0, 1},
        {"a.tar.gz", 5, "*.tar.gz", 0, 1},  // only the last extension counts
        {"a.gz", 5, "*.tar.gz", 0, 1},
        {"a.tar", 5, "*.tar.gz", 0, 0},
        {"a.txt", 5, "txt", 0, 0},          // a type without a point selects nothing
        {"a.txt", 5, "*.txt;*.log", 0, 0},  // a list is read from its last point
        {"a.log", 5, "*.txt;*.log", 0, 1},
        {".profile", 5, "*.profile", 0, 1},  // '.profile' has the extension '.profile'
        {".profile", 5, "*.*", 0, 1},
        {"a.txt", 5, "*.*x", 0, 0},  // '*.*x' is not "*.*"
        {"a.*x", 5, "*.*x", 0, 1},
        {"a.txt", 5, "*.* ", 0, 0},
        {"a.txt", 5, "", 0, 0},
        {"big.bin", (4ULL << 30) + 1, "*.*", 4ULL << 30, 1},  // 4 GiB + 1 against 4 GiB
        {"big.bin", (4ULL << 30) + 1, "*.*", 5000ULL << 20, 0},
        {"small.bin", 1, "*.*", 4ULL << 30, 0},  // no 32-bit wrap of the threshold
        {"a.txt", 5, "*.*", UINT64_MAX, 0},
    };
    for (const match_case &c : cases)
        EXPECT_EQ(c.selected, file_matches(file(c.name, c.size), c.type, c.min_size))
            << c.name << " " << c.size << " '" << c.type << "' " << c.min_size;
}

TEST(FileMatches, OnlyOrdinaryFiles) {
    os_dir_entry folder = file("src.txt", 0);
    folder.is_dir = true;
    folder.is_regular = false;
    EXPECT_EQ(0, file_matches(folder, "*.*", 0));
    os_dir_entry fifo = file("pipe.txt", 0);
    fifo.is_regular = false;  // FIFO, socket, device, or a link to a folder
    EXPECT_EQ(0, file_matches(fifo, "*.*", 0));
    EXPECT_EQ(0, file_matches(fifo, "*.txt", 0));
    os_dir_entry link = file("link.txt", 3);
    link.is_link = true;  // a link to a file counts as the file
    EXPECT_EQ(1, file_matches(link, "*.txt", 0));
    EXPECT_EQ(0, file_matches(file("a.txt", 1), nullptr, 0));
}

struct count_case {
    const char *text;
    int valid;
    int given;
    uint64_t value;
};

TEST(ParseCountText, Table) {
    const count_case cases[] = {
        {nullptr, 1, 0, 0}, {"", 1, 0, 0},
        {"   ", 1, 0, 0},   {"0", 1, 1, 0},
        {"12", 1, 1, 12},   {"  7\t", 1, 1, 7},
        {"007", 1, 1, 7},   {"-1", 0, 0, 0},
        {"+1", 0, 0, 0},    {"1.5", 0, 0, 0},
        {"1 2", 0, 0, 0},   {"abc", 0, 0, 0},
        {"3x", 0, 0, 0},    {"99999999999999999999999", 1, 1, UINT64_MAX},
    };
    for (const count_case &c : cases) {
        int given = -1;
        uint64_t value = 99;
        EXPECT_EQ(c.valid, parse_count_text(c.text, &given, &value))
            << (c.text ? c.text : "(null)");
        if (c.valid) {
            EXPECT_EQ(c.given, given) << c.text;
            EXPECT_EQ(c.value, value) << c.text;
        }
    }
}

TEST(NameAge, NameLength) {
    EXPECT_EQ(1, file_matches_name_age(file("abcd.txt", 1), 0, INT64_MIN));
    EXPECT_EQ(1, file_matches_name_age(file("abcd.txt", 1), 8, INT64_MIN));  // at least N
    EXPECT_EQ(0, file_matches_name_age(file("abcd.txt", 1), 9, INT64_MIN));
    EXPECT_EQ(0, file_matches_name_age(file("a", 1), UINT64_MAX, INT64_MIN));
}

TEST(NameAge, Age) {
    const int64_t day = 24LL * 3600 * 10000000;
    const int64_t now = 134000000000000000LL;  // a file time in 2025
    const int64_t oldest = oldest_mtime_for_age(now, 3);
    EXPECT_EQ(now - 3 * day, oldest);
    EXPECT_EQ(1, file_matches_name_age(file("a", 1, now - 3 * day), 0, oldest));  // at most D days
    EXPECT_EQ(0, file_matches_name_age(file("a", 1, now - 3 * day - 1), 0, oldest));
    EXPECT_EQ(1, file_matches_name_age(file("a", 1, now + day), 0, oldest));  // written later
    EXPECT_EQ(now, oldest_mtime_for_age(now, 0));
    EXPECT_EQ(INT64_MIN, oldest_mtime_for_age(now, UINT64_MAX));  // no overflow
    EXPECT_EQ(INT64_MIN, oldest_mtime_for_age(now, 200000000));
    EXPECT_LT(INT64_MIN, oldest_mtime_for_age(now, 10000000));
}

}  // namespace
