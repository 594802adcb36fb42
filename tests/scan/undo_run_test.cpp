// The undo of a whole run: every file the run changed comes back as it was, whatever the run
// met on the way.
#include "scan_support.h"

using namespace scan_test;

namespace {

class UndoRun : public window_test {};

// What the undo must give back of a file: its bytes, its last-write time, and the attributes a
// user sees (hidden on Windows, the permission bits on POSIX).
struct file_state {
    std::string bytes;
    int64_t mtime = -1;
    uint32_t attributes = 0;
    bool operator==(const file_state &o) const {
        return bytes == o.bytes && mtime == o.mtime && attributes == o.attributes;
    }
};

#if defined(_WIN32)
constexpr uint32_t shown_attributes = 0x2 | 0x4;  // hidden, system
constexpr uint32_t marked = 0x2;                  // hidden
#else
constexpr uint32_t shown_attributes = 07777;
constexpr uint32_t marked = 0640;
#endif

file_state state_of(const fs::path &p) {
    os_stat st;
    file_state s;
    s.bytes = read_file(p);
    s.mtime = mtime_of(p);
    if (os_stat_path(p.string().c_str(), &st, 1)) s.attributes = st.attributes & shown_attributes;
    return s;
}

// Gives the file the marked attributes, through the program's own call.
bool mark(const fs::path &p) {
    os_file f;
    os_stat st;
    if (!os_stat_path(p.string().c_str(), &st, 1) || !os_open_for_times(p.string().c_str(), &f))
        return false;
    st.attributes = (st.attributes & ~shown_attributes) | marked;
    const bool ok = os_copy_attributes(f, p.string().c_str(), st) != 0;
    return os_close(&f) && ok;
}

// A run that changes most files and fails on one (a windows-1252 file cannot hold the
// replacement), then its undo: each changed file comes back with its bytes, time and
// attributes, a link stays a link with its target's text given back, the failed file stays as
// it is, and nothing is left to undo.
TEST_F(UndoRun, GivesBackEveryFileAsItWasAfterAPartlyFailedRun) {
    temp_tree t;
    scratch_dir outside("outside", work_folder::root());
    const fs::path plain = t.file("plain.txt", "one needle\n");
    const fs::path hidden = t.file("sub/marked.txt", "two needle\r\nlast needle");
    const fs::path legacy = t.file("legacy.txt", "M\xfcller needle\n");
    ASSERT_TRUE(mark(hidden));
    std::vector<fs::path> files = {plain, hidden, legacy};
#if !defined(_WIN32)
    const fs::path target = outside.file("target.txt", "linked needle\n");
    fs::create_symlink(target, t.path() / "link.txt");
    files.push_back(target);
#endif
    for (const fs::path &p : files) ASSERT_TRUE(set_mtime(p, old_time)) << p;
    std::vector<file_state> before;
    for (const fs::path &p : files) before.push_back(state_of(p));

    type_fields({t.str(), "*.txt", "0", "needle", "\xce\xa9"});  // an omega: not in windows-1252
    press_run();
    ASSERT_EQ(run_end::done_with_errors, command_last_outcome().end);
    for (size_t i = 0; i < files.size(); ++i)
        EXPECT_EQ(files[i] == legacy, before[i].bytes == read_file(files[i])) << files[i];
    EXPECT_TRUE(before[2] == state_of(legacy));

    undo_record r;
    ASSERT_EQ(1, undo_latest_for(t.str().c_str(), &r));
    const run_outcome o = run_undo(r);
    EXPECT_EQ(run_end::done, o.end) << log_text();
    for (size_t i = 0; i < files.size(); ++i) {
        const file_state now = state_of(files[i]);
        EXPECT_EQ(before[i].bytes, now.bytes) << files[i];
        EXPECT_EQ(before[i].mtime, now.mtime) << files[i];
        EXPECT_EQ(before[i].attributes, now.attributes) << files[i];
    }
#if !defined(_WIN32)
    EXPECT_TRUE(fs::is_symlink(t.path() / "link.txt"));
#endif
    EXPECT_TRUE(t.temporaries().empty());
    EXPECT_EQ(0, undo_latest_for(t.str().c_str(), &r));
}

}  // namespace
