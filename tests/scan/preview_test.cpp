// The preview: nothing in the tree is touched, and it agrees with the run on every file and
// every count; the changed lines it shows.
#include <map>
#include <random>

#include "scan_support.h"
#include "tests/common/reference.h"

using namespace scan_test;

namespace {

// Every name in the tree with its bytes and last-write time.
std::map<std::string, std::pair<std::string, int64_t>> snapshot(const fs::path &root) {
    std::map<std::string, std::pair<std::string, int64_t>> all;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), root).generic_string();
        all[rel] = {it->is_regular_file() ? read_file(it->path()) : "<folder>", mtime_of(it->path())};
    }
    return all;
}

// The changed lines a preview shows of text, found on their own: the text as a text stream
// reads it (a leading UTF-8 BOM left out, CR LF as LF) cut into lines, each holding the search
// text shown before and after with every occurrence replaced from left to right (texts that
// cannot form new occurrences), both cut at the bytes shown.
std::vector<changed_line> expected_lines(std::string text, const std::string &search,
                                         const std::string &replace) {
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    std::string view;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) view += text[i];
    auto cut = [](const std::string &line) {
        return line.size() > preview_line_bytes ? line.substr(0, preview_line_bytes) + "..." : line;
    };
    std::vector<changed_line> lines;
    uint64_t number = 1;
    for (size_t at = 0; at < view.size() && lines.size() < preview_lines_shown; ++number) {
        const size_t lf = std::min(view.find('\n', at), view.size());
        const std::string line = view.substr(at, lf - at);
        std::string after;
        size_t from = 0;
        for (size_t k; (k = line.find(search, from)) != std::string::npos; from = k + search.size())
            after += line.substr(from, k - from) + replace;
        if (from > 0) lines.push_back({number, cut(line), cut(after + line.substr(from))});
        at = lf + 1;
    }
    return lines;
}

class Preview : public window_test {
  protected:
    preview_report press_preview() {
        window_post_command(IDC_PREVIEW);
        while (window_pump_one()) {}
        return command_last_preview();
    }
};

TEST_F(Preview, TouchesNothingAndAgreesWithTheRunOnRandomTrees) {
    // "ab" -> "b" can form new occurrences, and goes through the lines; "ab" -> "XYZ" is
    // counted on the raw bytes, with only the shown lines taken apart.
    const char *const replacements[] = {"b", "XYZ"};
    for (unsigned seed = 1; seed <= 8; ++seed) {
        const std::string replace = replacements[seed % 2];
        SCOPED_TRACE("seed " + std::to_string(seed) + ", replaced with " + replace);
        std::mt19937 random(seed);
        temp_tree t;
        std::map<std::string, std::string> texts;
        for (int i = 0; i < 16; ++i) {
            std::string text = random() % 4 ? "" : "\xEF\xBB\xBF";
            const size_t n = random() % 300;
            for (size_t k = 0; k < n; ++k)
                text += random() % 40 ? std::string(1, "aab\r\n"[random() % 5]) : std::string(170, 'b');
            const std::string name = (i % 3 ? "d" + std::to_string(i % 4) + "/" : "") + "f" +
                                     std::to_string(i) + ".txt";
            texts[name] = text;
            t.file(name, text);
            set_mtime(t.file(name), old_time + i);
        }
        const auto before = snapshot(t.path());
        type_fields({t.str(), "*.txt", "0", "ab", replace.c_str()});
        const preview_report report = press_preview();
        EXPECT_EQ(before, snapshot(t.path())) << "the preview touched the tree";
        EXPECT_TRUE(headless_boxes().empty());
        EXPECT_EQ(texts.size(), report.files_read);

        std::map<std::string, uint64_t> foreseen;
        for (const preview_row &row : report.changes) {
            foreseen[row.path] = row.what.replacements;
            const std::string name = fs::relative(row.path, t.path()).generic_string();
            const std::vector<changed_line> expected = expected_lines(texts[name], "ab", replace);
            ASSERT_EQ(expected.size(), row.what.first.size()) << name;
            for (size_t i = 0; i < expected.size(); ++i) {
                EXPECT_EQ(expected[i].number, row.what.first[i].number) << name;
                EXPECT_EQ(expected[i].before, row.what.first[i].before) << name;
                // Where the replacement brings new occurrences, the line shown after is the
                // run's, checked with the whole file below.
                if (replace == "XYZ") {
                    EXPECT_EQ(expected[i].after, row.what.first[i].after) << name;
                }
            }
        }
        uint64_t total = 0;
        press_run();
        for (const auto &f : texts) {
            int result = 0;
            uint64_t count = 0;
            const std::string expected =
                reference_rewrite(f.second, "ab", replace.c_str(), &result, 1 << 16, &count);
            EXPECT_EQ(expected, t.read(f.first)) << f.first;
            const std::string path = t.file(f.first);
            auto it = foreseen.find(fs::path(path).make_preferred().string());
            EXPECT_EQ(count, it == foreseen.end() ? 0 : it->second) << f.first;
            total += count;
        }
        EXPECT_EQ(total, report.replacements);
    }
}

// A shown line is read a piece at a time from where it starts: lines whose shown texts need
// more than one piece, and a CR LF cut by the end of the first piece, with and without a BOM.
TEST_F(Preview, ShowsLinesLongerThanOneReadWhole) {
    const std::string eight = "abcdefgh";
    std::string body;
    for (int i = 0; i < 127; ++i) body += eight;
    body += "zzzzzzz\r\n";  // its CR is the 1,024th byte of the line
    std::string shrinking;
    for (int i = 0; i < 200; ++i) shrinking += eight;  // 160 bytes shown after need 1,280 read
    body += shrinking + "\r\n" + eight + " tail\r\n";
    for (const std::string bom : {"", "\xEF\xBB\xBF"}) {
        temp_tree t;
        t.file("a.txt", bom + body);
        type_fields({t.str(), "*.txt", "0", eight.c_str(), "x"});
        const preview_report r = press_preview();
        ASSERT_EQ(1u, r.changes.size());
        const std::vector<changed_line> expected = expected_lines(bom + body, eight, "x");
        const auto &lines = r.changes[0].what.first;
        ASSERT_EQ(expected.size(), lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(expected[i].number, lines[i].number) << i;
            EXPECT_EQ(expected[i].before, lines[i].before) << i;
            EXPECT_EQ(expected[i].after, lines[i].after) << i;
        }
    }
}

TEST_F(Preview, ShowsTheFirstChangedLinesAndWhatItLeavesAlone) {
    temp_tree t;
    t.file("a.txt", "x needle y\r\nkept\nneedle\n" + std::string(300, 'z') + "needle\nneedle\n");
    t.file("ro.txt", "needle\n");
    t.file("none.txt", "nothing\n");
    fs::permissions(t.path() / "ro.txt", fs::perms::owner_write, fs::perm_options::remove);
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    const preview_report r = press_preview();
    ASSERT_EQ(1u, r.changes.size());
    EXPECT_EQ(4u, r.changes[0].what.replacements);
    const auto &lines = r.changes[0].what.first;
    ASSERT_EQ(preview_lines_shown, lines.size());
    EXPECT_EQ(1u, lines[0].number);
    EXPECT_EQ("x needle y", lines[0].before);
    EXPECT_EQ("x pin y", lines[0].after);
    EXPECT_EQ(3u, lines[1].number);
    EXPECT_EQ("pin", lines[1].after);
    EXPECT_EQ(4u, lines[2].number);
    EXPECT_EQ(std::string(preview_line_bytes, 'z') + "...", lines[2].before);
    EXPECT_EQ(3u, r.files_read);
    ASSERT_EQ(1u, r.left_alone.size());
    EXPECT_EQ("read-only", r.left_alone[0].second);
    EXPECT_NE(std::string::npos, log_text().find("INFO: Preview: "));
    EXPECT_EQ("needle\n", t.read("ro.txt"));
    fs::permissions(t.path() / "ro.txt", fs::perms::owner_write, fs::perm_options::add);
}

}  // namespace
