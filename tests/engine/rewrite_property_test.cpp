// The whole file rewrite against the plain definition of what it must do (reference_rewrite,
// shared with the fuzz targets): read the file as a text stream (CR LF arrives as LF), run every
// line through the replacement loop that searches again from the start after each replacement, and
// write the result as a text stream (LF as CR LF); a file without occurrence keeps its bytes.
// Random files over tiny alphabets with CR, LF and NUL, so that every way of copying (line by line,
// or the raw blocks when the search and replacement allow it) meets line ends, cascades and
// straddling occurrences.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "log/log.h"
#include "tests/common/files.h"
#include "tests/common/reference.h"

using namespace testutil;

namespace {

constexpr size_t block = size_t(1) << 20;  // the rewrite's read block

std::string random_text(std::mt19937 &rng, const std::string &alphabet, size_t max_len) {
    std::uniform_int_distribution<size_t> len(0, max_len);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string s(len(rng), ' ');
    for (char &c : s) c = alphabet[pick(rng)];
    return s;
}

void expect_as_reference(const std::string &path, const std::string &before,
                         const std::string &search, const std::string &repl,
                         size_t max_line = size_t(16) << 10) {
    write_file(path, before);
    int expect = 0;
    std::string after = reference_rewrite(before, search, repl, &expect, max_line);
    if (expect < 0) {
        // A replacement that holds the search text never ends: the file must be refused and
        // left. Other cases the reference gives up on only grow large before they end (the guard
        // tests of the line replacement cover them).
        if (repl.find(search) == std::string::npos) return;
        errors_seen = 0;
        EXPECT_EQ(0, update_file(path.c_str(), search.c_str(), repl.c_str()));
        EXPECT_EQ(1, errors_seen);
        EXPECT_EQ(before, read_file(path));
        return;
    }
    int got = update_file(path.c_str(), search.c_str(), repl.c_str());
    std::string text = read_file(path);
    if (got == 0) {
        // Only the runaway guard may refuse a file the reference finishes: then it stays as it was.
        EXPECT_EQ(before, text);
        EXPECT_NE(std::string::npos, log_text().rfind("Replacement would never end"));
        return;
    }
    EXPECT_EQ(after, text);
}

std::string shown(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\0')
            out += "\\0";
        else
            out += c;
    }
    return out;
}

TEST(RewriteProperty, RandomFilesComeOutAsTheReferenceSays) {
#if defined(_WIN32)
    const int cases = 600;  // every file service call is slower under Wine
#else
    const int cases = 6000;
#endif
    scratch_dir dir("rewrite-property");
    std::mt19937 rng(7121);
    const std::string file_alphabets[] = {std::string("ab\n\r", 4), std::string("abc\n", 4),
                                          std::string("ab\r\n\0", 5), std::string("aab\r\n", 5)};
    const std::string search_alphabets[] = {"ab", "abc", "b", std::string("ab\r\n", 4)};
    const std::string repl_alphabets[] = {"ab", "c", std::string("ab\n", 3),
                                          std::string("c\r\n", 3)};
    std::string path = dir.file("f.txt");
    for (int i = 0; i < cases; ++i) {
        std::string before = random_text(rng, file_alphabets[i % 4], 60);
        std::string search = random_text(rng, search_alphabets[(i / 4) % 4], 3);
        if (search.empty()) search = "a";
        std::string repl = random_text(rng, repl_alphabets[(i / 16) % 4], 4);
        SCOPED_TRACE("file '" + shown(before) + "' search '" + shown(search) + "' repl '" +
                     shown(repl) + "'");
        expect_as_reference(path, before, search, repl);
        if (::testing::Test::HasFailure()) break;
    }
}

// Occurrences and line ends at every position around the end of a read block, for a search
// and replacement that allow copying the raw blocks and for one that does not.
TEST(RewriteProperty, OccurrencesAndLineEndsAroundABlockEnd) {
    scratch_dir dir("rewrite-blocks");
    struct texts {
        const char *search;
        const char *repl;
    };
    const texts pairs[] = {{"needle", "pin\n"}, {"ab", ""}, {"needle", "needl"}};
    const char *const tails[] = {"needle\r\nab\n", "\r\nneedle\n", "\nneedle\r", "aabbneedle"};
    std::string path = dir.file("b.txt");
    for (const texts &t : pairs) {
        for (const char *tail : tails) {
            for (size_t before_end = 0; before_end <= 8; ++before_end) {
                std::string content = std::string(block - before_end, 'x') + tail;
                SCOPED_TRACE(std::string(t.search) + " / " + shown(tail) + " / " +
                             std::to_string(before_end));
                expect_as_reference(path, content, t.search, t.repl, size_t(4) << 20);
                if (::testing::Test::HasFailure()) return;
            }
        }
    }
}

// A search text longer than a page across a block end: more than a page is carried over, and
// the first block, which holds an occurrence too, is the one the copy starts from.
TEST(RewriteProperty, LongSearchTextAcrossABlockEnd) {
    scratch_dir dir("rewrite-long-search");
    const std::string search = "s" + std::string(4998, 'n') + "e";
    const size_t before_ends[] = {1, 17, 2500, 4999, 5000};
    for (size_t before_end : before_ends) {
        SCOPED_TRACE(before_end);
        std::string text =
            search + "\n" + std::string(block - before_end - 5001, 'x') + search + "\nx" + search;
        expect_as_reference(dir.file("l.txt"), text, search, "pin\n", size_t(4) << 20);
        // A short search text after the long one: the block keeps the room it was given.
        expect_as_reference(dir.file("l.txt"), text, "xs", "y", size_t(4) << 20);
        if (::testing::Test::HasFailure()) return;
    }
}

// The runaway guard holds for the raw-block copy too: one line that would grow past the limit
// leaves the file as it was (the partly written copy is thrown away).
TEST(RewriteProperty, GrowthPastTheLimitInOneLineLeavesTheFile) {
#if defined(_WIN32)
    GTEST_SKIP()
        << "writes a quarter of a gigabyte before the guard stops it; the same code runs natively";
#else
    scratch_dir dir("rewrite-growth");
    std::string path = dir.file("g.txt");
    std::string before = "start " + std::string(150000, 'q') + " end\r\nnext line\r\n";
    write_file(path, before);
    errors_seen = 0;
    EXPECT_EQ(0, update_file(path.c_str(), "q", std::string(2000, 'Z').c_str()));
    EXPECT_EQ(1, errors_seen);
    EXPECT_EQ(before, read_file(path));
    EXPECT_EQ(std::set<std::string>{"g.txt"}, names_in(dir.str()));
#endif
}

}  // namespace
