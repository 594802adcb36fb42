// Line replacement: the fixed examples, the runaway guard, and a property test against a plain
// reference of the replacement loop (leftmost occurrence, search again from offset 0).
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

#include "engine/engine.h"
#include "engine/line_stream.h"
#include "tests/common/reference.h"

namespace {

using testutil::reference_replace;

struct example {
    const char *line;
    const char *search;
    const char *repl;
    const char *expect;
    int result;
};

class ReplaceExamples : public ::testing::TestWithParam<example> {};

TEST_P(ReplaceExamples, GivesTheExpectedLine) {
    const example &e = GetParam();
    std::string line = e.line;
    EXPECT_EQ(e.result, replace_all_in_line(line, e.search, e.repl));
    EXPECT_EQ(std::string(e.expect), line);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReplaceExamples,
    ::testing::Values(example{"no match here\n", "xyz", "1", "no match here\n", 0},
                      example{"xaabby", "ab", "", "xy", 1},  // formed occurrence replaced too
                      example{"one two one", "one", "1", "1 two 1", 1},
                      example{"ABC abc", "abc", "x", "ABC x", 1},  // case matters
                      example{"abc\n", "c\n", "C\n", "abC\n", 1},  // the line feed is text
                      example{"aaaa", "aa", "a", "a", 1},          // shrinks to one
                      example{"aab", "ab", "ba", "baa", 1},        // moves left
                      example{"ab", "ab", "", "", 1},              // whole line goes
                      example{"a", "ab", "x", "a", 0},             // shorter than the search
                      example{"", "a", "b", "", 0},
                      example{"xyz", "xyz", "longer replacement", "longer replacement", 1},
                      example{"aXbXc", "X", "", "abc", 1}, example{"abab", "ab", "x", "xx", 1}),
    [](const ::testing::TestParamInfo<example> &info) {
        return "case" + std::to_string(info.index);
    });

TEST(ReplaceGuard, ReplacementHoldingTheSearchTextIsStoppedAndLeavesTheLine) {
    std::string line = "an apple\n";
    EXPECT_EQ(-1, replace_all_in_line(line, "apple", "big apple"));
    EXPECT_EQ("an apple\n", line);
    line = "same\n";
    EXPECT_EQ(-1, replace_all_in_line(line, "same", "same"));
    EXPECT_EQ("same\n", line);
}

TEST(ReplaceGuard, ReplacementHoldingTheSearchTextIsHarmlessWithoutOccurrence) {
    std::string line = "no fruit\n";
    EXPECT_EQ(0, replace_all_in_line(line, "apple", "big apple"));
    EXPECT_EQ("no fruit\n", line);
}

TEST(ReplaceGuard, EmptySearchTextIsRefused) {
    std::string line = "text\n";
    EXPECT_EQ(-1, replace_all_in_line(line, "", "x"));
    EXPECT_EQ("text\n", line);
}

TEST(ReplaceGuard, EndlessGrowthIsStopped) {
    // Every 'a' passing a run of b's doubles it: 40 a's would need 2^40 bytes.
    std::string line = std::string(40, 'a') + "b";
    const std::string before = line;
    EXPECT_EQ(-1, replace_all_in_line(line, "ab", "bba"));
    EXPECT_EQ(before, line);
}

TEST(ReplaceGuard, LargeButFiniteGrowthIsCarriedOut) {
    // 16 a's: the b's double 16 times, 65,536 of them; well inside the guard.
    // Each 'a' moves right past the b's and doubles them: 2^16 b's, then the 16 a's.
    std::string line = std::string(16, 'a') + "b";
    EXPECT_EQ(1, replace_all_in_line(line, "ab", "bba"));
    EXPECT_EQ(std::string(65536, 'b') + std::string(16, 'a'), line);
}

TEST(ReplaceLongLines, OccurrencesAnywhereInAVeryLongLineAreReplaced) {
    // Far past the old 20,000-byte line buffer, with occurrences on and around that boundary.
    std::string line(100000, '.');
    for (size_t at : {size_t(0), size_t(19997), size_t(19999), size_t(50000), size_t(99997)})
        line.replace(at, 3, "abc");
    // No new occurrence can form here, so each one is simply replaced where it stands.
    std::string ref;
    for (size_t i = 0; i < line.size();) {
        if (line.compare(i, 3, "abc") == 0) {
            ref += "XY";
            i += 3;
        } else {
            ref += line[i++];
        }
    }
    EXPECT_EQ(1, replace_all_in_line(line, "abc", "XY"));
    EXPECT_EQ(ref, line);
    EXPECT_EQ(std::string::npos, line.find("abc"));
}

TEST(ReplaceLongLines, ManyOccurrencesTakeLinearTime) {
    // 2 MiB of occurrences: a restart from offset 0 per step would take hours.
    std::string line;
    for (int i = 0; i < (1 << 19); ++i) line += "ab";
    line += "\n";
    EXPECT_EQ(1, replace_all_in_line(line, "ab", "xyz"));
    EXPECT_EQ(size_t(3 * (1 << 19) + 1), line.size());
    EXPECT_EQ(std::string::npos, line.find("ab"));
}

TEST(ReplaceBytes, NulBytesAreOrdinaryText) {
    std::string line("a\0b\0c\n", 6);
    EXPECT_EQ(1, replace_all_in_line(line, "b", "BB"));
    EXPECT_EQ(std::string("a\0BB\0c\n", 7), line);
}

// Random lines over tiny alphabets, so replacements keep forming new occurrences.
TEST(ReplaceProperty, MatchesTheReferenceLoopOnRandomInput) {
    std::mt19937 rng(20261207);
    const char *alphabets[] = {"ab", "abc", "a\nb", "xy "};
    int compared = 0;
    for (int i = 0; i < 150000; ++i) {
        const std::string alpha = alphabets[i % 4];
        auto random_text = [&](size_t max_len) {
            std::uniform_int_distribution<size_t> len(0, max_len);
            std::uniform_int_distribution<size_t> pick(0, alpha.size() - 1);
            std::string s(len(rng), ' ');
            for (char &c : s) c = alpha[pick(rng)];
            return s;
        };
        std::string search = random_text(4);
        if (search.empty()) search = alpha.substr(0, 1);
        std::string repl = random_text(5);
        std::string line = random_text(40);
        if (repl.find(search) != std::string::npos) {
            // Every replacement brings the text back: endless as soon as there is one.
            std::string got = line;
            int result = replace_all_in_line(got, search.c_str(), repl.c_str());
            bool occurs = line.find(search) != std::string::npos;
            ASSERT_EQ(occurs ? -1 : 0, result) << "line '" << line << "' search '" << search << "'";
            ASSERT_EQ(line, got);
            ++compared;
            continue;
        }
        std::string ref = line;
        // A budget of 2,000 steps and bytes: the runaway cases the engine refuses stay out.
        int expect = reference_replace(ref, search, repl, 2000, 2000);
        if (expect < 0) continue;  // grows too far for the plain loop: the guard tests cover it
        std::string got = line;
        int result = replace_all_in_line(got, search.c_str(), repl.c_str());
        ASSERT_EQ(expect, result) << "line '" << line << "' search '" << search << "' repl '"
                                  << repl << "'";
        ASSERT_EQ(ref, got) << "line '" << line << "' search '" << search << "' repl '" << repl
                            << "'";
        ++compared;
    }
    EXPECT_GT(compared, 100000);
}

// The streaming form must give the same bytes whatever pieces the line arrives in.
TEST(ReplaceProperty, PiecewiseFeedingGivesTheSameResult) {
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        std::uniform_int_distribution<int> len(0, 60), bit(0, 2);
        std::string line(size_t(len(rng)), 'a');
        for (char &c : line) c = "abc"[bit(rng)];
        static const char *const pairs[][2] = {{"abc", "c"}, {"abc", ""}, {"ba", "c"},
                                               {"ba", ""},   {"ab", "b"}, {"abc", "cab"},
                                               {"ca", "xx"}, {"bb", "b"}};
        const std::string search = pairs[i % 8][0];
        const std::string repl = pairs[i % 8][1];
        std::string whole = line;
        int r = replace_all_in_line(whole, search.c_str(), repl.c_str());
        ASSERT_GE(r, 0);

        line_stream s;
        line_setup(s, search.data(), search.size(), repl.data(), repl.size());
        std::string out;
        size_t pos = 0;
        while (pos < line.size()) {
            std::uniform_int_distribution<size_t> cut(1, 7);
            size_t n = std::min(cut(rng), line.size() - pos);
            ASSERT_EQ(0, line_feed(s, line.data() + pos, n));
            pos += n;
            size_t fin = line_final_bytes(s);
            out.append(s.out, 0, fin);
            s.out.erase(0, fin);
        }
        ASSERT_EQ(0, line_end(s));
        out += s.out;
        ASSERT_EQ(whole, out) << "line '" << line << "'";
    }
}

}  // namespace

// The byte search against std::string::find: random texts over small alphabets (so needles
// recur and near-misses abound), needles of every length, and texts made of the needle's own
// bytes, where the quick search gives way to the steady one part-way through.
TEST(FindBytes, AgreesWithStringFind) {
    std::mt19937 rng(4242);
    const std::string alphabets[] = {"ab", "aB", "xyz ", std::string("a\0\xff", 3), "Ee1"};
    for (int i = 0; i < 20000; ++i) {
        const std::string &alpha = alphabets[i % 5];
        std::uniform_int_distribution<size_t> pick(0, alpha.size() - 1);
        auto text = [&](size_t n) {
            std::string s(n, ' ');
            for (char &c : s) c = alpha[pick(rng)];
            return s;
        };
        std::string needle = text(1 + rng() % 6);
        std::string hay = text(rng() % 300);
        size_t expect = hay.find(needle);
        size_t got = find_bytes(hay.data(), hay.size(), needle.data(), needle.size());
        ASSERT_EQ(expect == std::string::npos ? SIZE_MAX : expect, got)
            << "needle '" << needle << "' in '" << hay << "'";
    }
    struct worst {
        std::string hay;
        std::string needle;
    };
    const worst cases[] = {
        {std::string(100000, 'a') + "b", "aaaab"},
        {std::string(100000, 'a'), "aaab"},
        {std::string(50000, 'Q') + "QZQ" + std::string(10, 'Q'), "QZQQ"},
        {std::string(4096, 'x') + "needle", "needle"},
    };
    for (const worst &w : cases) {
        size_t expect = w.hay.find(w.needle);
        EXPECT_EQ(expect == std::string::npos ? SIZE_MAX : expect,
                  find_bytes(w.hay.data(), w.hay.size(), w.needle.data(), w.needle.size()));
    }
}

// LFs counted and the last one found, against a plain loop: every start and length near the
// vector widths, and texts long enough for a byte lane's count to pass 255.
TEST(LineEnds, CountAndLastAgreeWithAPlainLoop) {
    std::mt19937 rng(77);
    for (const size_t size : {size_t(70), size_t(16 * 300 + 37), size_t(16 * 255 * 2 + 5)}) {
        for (const int every : {1, 3, 50, 0}) {  // an LF at about 1 byte in `every` (0: none)
            std::string text(size, 'x');
            for (char &c : text)
                if (every && rng() % every == 0) c = '\n';
            for (size_t from = 0; from < 20; ++from) {
                for (size_t n : {size_t(0), size_t(1), size_t(15), size_t(16), size_t(17),
                                 size_t(33), size - from}) {
                    const char *p = text.data() + from;
                    size_t count = 0;
                    const char *last = nullptr;
                    for (size_t i = 0; i < n; ++i)
                        if (p[i] == '\n') ++count, last = p + i;
                    ASSERT_EQ(count, count_lf(p, n))
                        << size << " " << every << " " << from << "+" << n;
                    ASSERT_EQ(last, last_lf(p, n))
                        << size << " " << every << " " << from << "+" << n;
                }
            }
        }
    }
}
