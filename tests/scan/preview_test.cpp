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

class Preview : public window_test {
  protected:
    preview_report press_preview() {
        window_post_command(IDC_PREVIEW);
        while (window_pump_one()) {}
        return command_last_preview();
    }
};

TEST_F(Preview, TouchesNothingAndAgreesWithTheRunOnRandomTrees) {
    for (unsigned seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        temp_tree t;
        std::map<std::string, std::string> texts;
        for (int i = 0; i < 16; ++i) {
            std::string text;
            const size_t n = random() % 300;
            for (size_t k = 0; k < n; ++k) text += "aab\r\n"[random() % 5];
            const std::string name = (i % 3 ? "d" + std::to_string(i % 4) + "/" : "") + "f" +
                                     std::to_string(i) + ".txt";
            texts[name] = text;
            t.file(name, text);
            set_mtime(t.file(name), old_time + i);
        }
        const auto before = snapshot(t.path());
        type_fields({t.str(), "*.txt", "0", "ab", "b"});
        const preview_report report = press_preview();
        EXPECT_EQ(before, snapshot(t.path())) << "the preview touched the tree";
        EXPECT_TRUE(headless_boxes().empty());
        EXPECT_EQ(texts.size(), report.files_read);

        std::map<std::string, uint64_t> foreseen;
        for (const preview_row &row : report.changes) foreseen[row.path] = row.what.replacements;
        uint64_t total = 0;
        press_run();
        for (const auto &f : texts) {
            int result = 0;
            uint64_t count = 0;
            const std::string expected = reference_rewrite(f.second, "ab", "b", &result, 1 << 16, &count);
            EXPECT_EQ(expected, t.read(f.first)) << f.first;
            const std::string path = t.file(f.first);
            auto it = foreseen.find(fs::path(path).make_preferred().string());
            EXPECT_EQ(count, it == foreseen.end() ? 0 : it->second) << f.first;
            total += count;
        }
        EXPECT_EQ(total, report.replacements);
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
