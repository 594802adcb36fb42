// The directory walk and the two-pass run over real temporary trees.
#include <chrono>

#include "scan/select.h"
#include "scan/walk.h"
#include "scan_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace scan_test;

namespace {

class Walk : public window_test {
  protected:
    // One pass of the walk, as the run starts it.
    uint32_t count(const std::string &dir, const char *type, uint64_t min_size = 0) {
        run_state.matched_count = 0;
        walk_directory(dir.c_str(), type, min_size, 0);
        return run_state.matched_count;
    }
};

// The statuses written from the first one equal to from (inclusive) to the first one equal to
// to (exclusive).
std::vector<std::string> statuses_between(const std::string &from, const std::string &to) {
    std::vector<std::string> out;
    bool in = false;
    for (auto &s : record().statuses) {
        if (!in && s == from)
            in = true;
        else if (in && s == to)
            break;
        if (in) out.push_back(s);
    }
    return out;
}

size_t occurrences(const std::vector<std::string> &v, const std::string &s) {
    return size_t(std::count(v.begin(), v.end(), s));
}

TEST_F(Walk, DotFoldersAreNeverEntered) {
    temp_tree t;
    t.file(".git/config.txt", "needle\n");
    t.file(".git/objects/o.txt", "needle\n");
    t.file("src/main.txt", "needle\n");
    t.file("src/.hidden/h.txt", "needle\n");
    t.file("top.txt", "needle\n");
    t.file(".profile.txt", "needle\n");  // a file whose name begins with a point is a file
    t.file("notes.md", "needle\n");
    EXPECT_EQ(3u, count(t.str(), "*.txt"));

    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    EXPECT_EQ("pin\r\n", t.read("src/main.txt"));
    EXPECT_EQ("pin\r\n", t.read("top.txt"));
    EXPECT_EQ("pin\r\n", t.read(".profile.txt"));
    EXPECT_EQ("needle\n", t.read(".git/config.txt"));
    EXPECT_EQ("needle\n", t.read(".git/objects/o.txt"));
    EXPECT_EQ("needle\n", t.read("src/.hidden/h.txt"));
    EXPECT_EQ("needle\n", t.read("notes.md"));
    EXPECT_TRUE(t.temporaries().empty());
}

TEST_F(Walk, CountingRewritesNothing) {
    temp_tree t;
    t.file("a.txt", "needle\n");
    t.file("b/b.txt", "needle\n");
    t.file("b/c/c.txt", "needle\n");
    t.file("b/c/c.log", "needle\n");
    run_fields = run_fields_t{};
    strcpy(run_fields.search_text, "needle");
    strcpy(run_fields.replace_text, "pin");
    EXPECT_EQ(3u, count(t.str(), "*.txt"));
    EXPECT_EQ(4u, count(t.str(), "*.*"));
    EXPECT_EQ(0u, count(t.str(), "*.*", 8));  // every file has 7 bytes
    EXPECT_EQ(4u, count(t.str(), "*.*", 7));
    EXPECT_EQ("needle\n", t.read("a.txt"));
    EXPECT_EQ("needle\n", t.read("b/c/c.txt"));
}

TEST_F(Walk, MissingFolderOrFileVisitsNothing) {
    temp_tree t;
    t.file("a.txt", "x");
    EXPECT_EQ(0u, count((t.path() / "nowhere").string(), "*.*"));
    EXPECT_EQ(0u, count((t.path() / "a.txt").string(), "*.*"));
    EXPECT_EQ(0u, count("", "*.*"));
}

TEST_F(Walk, ProgressTextsAndPositionsRunOneFileAhead) {
    temp_tree t;
    for (const char *n : {"1.txt", "2.txt", "3.txt", "4.txt"}) t.file(n, "needle\n");
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    std::vector<std::string> progress;
    for (auto &s : record().statuses)
        if (s.rfind("Progress:", 0) == 0) progress.push_back(s);
    EXPECT_EQ((std::vector<std::string>{
                  "Progress: 1 of 4 files. (25%)", "Progress: 2 of 4 files. (50%)",
                  "Progress: 3 of 4 files. (75%)", "Progress: 4 of 4 files. (100%)"}),
              progress);
    // 0 at the press of RUN, then (n + 1) x 1000 / 4, the last one (1,250) shown as full.
    EXPECT_EQ((std::vector<int>{0, 500, 750, 1000, 1000}), record().positions);
    EXPECT_EQ("Progress: 4 of 4 files. (100%)", status());
    EXPECT_TRUE(saw_status("Matching files found :  4"));
    EXPECT_EQ(0, run_state.busy);
}

TEST_F(Walk, PercentIsRounded) {
    temp_tree t;
    for (const char *n : {"1.txt", "2.txt", "3.txt"}) t.file(n, "needle\n");
    type_fields({t.str(), "*.*", "0", "needle", "pin"});
    press_run();
    EXPECT_TRUE(saw_status("Progress: 1 of 3 files. (33%)"));
    EXPECT_TRUE(saw_status("Progress: 2 of 3 files. (67%)"));
    EXPECT_EQ((std::vector<int>{0, 666, 1000, 1000}), record().positions);
}

// The status is built without printf, and reads as printf's "%0.0f" would put it: halves to
// even (1 of 8 is 12%, 3 of 8 is 38%), and past the total when files appeared since the count.
TEST(WalkProgress, ReadsAsPrintfPutsIt) {
    auto printed = [](uint32_t done, uint32_t total) {
        char text[120];
        snprintf(text, sizeof text, "Progress: %lu of %lu files. (%0.0f%%)", (unsigned long)done,
                 (unsigned long)total, double(done) * 100.0 / double(total));
        return std::string(text);
    };
    for (uint32_t total = 1; total <= 400; ++total)
        for (uint32_t done = 0; done <= total + 3; ++done)
            ASSERT_EQ(printed(done, total), walk_progress_text(done, total));
    for (uint32_t total : {999999u, 4000000000u, UINT32_MAX})
        for (uint32_t done : {1u, total / 8, total / 2, total / 3 * 2 + 1, total - 1, total})
            ASSERT_EQ(printed(done, total), walk_progress_text(done, total));
    EXPECT_EQ("Progress: 1 of 8 files. (12%)", walk_progress_text(1, 8));
}

TEST_F(Walk, NoSelectedFileEndsAfterTheCount) {
    temp_tree t;
    t.file("a.md", "needle\n");
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    EXPECT_EQ("Matching files found :  0", status());
    EXPECT_EQ("needle\n", t.read("a.md"));
    EXPECT_TRUE(headless_boxes().empty());
    EXPECT_EQ(0, run_state.busy);
}

TEST_F(Walk, FolderStatusOnlyWhileTotalIsAMultipleOfTen) {
    temp_tree t;
    for (int i = 0; i < 7; ++i) t.file("f" + std::to_string(i) + ".txt", "needle\n");
    t.file("sub1/x.md", "");
    t.file("sub2/y.md", "");
    // The first counting pass of the process (total 0): every folder entered shows it.
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    auto first = statuses_between("In Progress....", "Matching files found :  7");
    EXPECT_EQ(3u, occurrences(first, "Scanning Directories...please wait..."));
    EXPECT_EQ("Progress: 7 of 7 files. (100%)", status());  // 7: no folder status afterwards

    // After a run with a total of 7 the next counting pass writes no folder status.
    record().statuses.clear();
    type_fields({t.str(), "*.txt", "0", "pin", "needle"});
    press_run();
    auto second = statuses_between("In Progress....", "Matching files found :  7");
    EXPECT_EQ((std::vector<std::string>{"In Progress....", "Scanning Directories..."}), second);
}

TEST_F(Walk, TotalOfTenShowsScanningWhenAFolderFollowsTheLastFile) {
    temp_tree t;
    for (int i = 0; i < 10; ++i) t.file("f" + std::to_string(i) + ".txt", "needle\n");
    t.file("zz/readme.md", "");  // listed after every file
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    EXPECT_TRUE(saw_status("Progress: 10 of 10 files. (100%)"));
    EXPECT_EQ("Scanning Directories...", status());
}

TEST_F(Walk, SessionLogIsNeverSelected) {
    log_message("INFO: scan test needle\n");  // the log exists, in the working folder
    fs::path other = work_folder::root() / "logsel" / "other.log";
    write_file(other, "needle\n");
    std::string root = work_folder::root().string();
    EXPECT_EQ(1u, count(root, "*.log"));  // other.log only
#if !defined(_WIN32)
    // Another name of the same file is the log too.
    fs::create_hard_link(work_folder::root() / "logging.log",
                         work_folder::root() / "logsel" / "alias.log");
    EXPECT_EQ(1u, count(root, "*.log"));
    fs::remove(work_folder::root() / "logsel" / "alias.log");
#endif
    type_fields({root, "*.log", "0", "needle", "pin"});
    press_run();
    EXPECT_EQ("pin\r\n", read_file(other));
    EXPECT_NE(std::string::npos, read_file("logging.log").find("scan test needle"));
    fs::remove_all(work_folder::root() / "logsel");
}

TEST_F(Walk, NameLenAndAgeDaysSelect) {
    temp_tree t;
    t.file("ab.txt", "needle\n");   // 6 characters
    t.file("abc.txt", "needle\n");  // 7
    t.file("old/abcdefg.txt", "needle\n");
    auto now = fs::file_time_type::clock::now();
    fs::last_write_time(t.path() / "old" / "abcdefg.txt", now - std::chrono::hours(24 * 10));
    fs::last_write_time(t.path() / "abc.txt", now - std::chrono::hours(24 * 2));

    fields f{t.str(), "*.txt", "0", "needle", "pin"};
    f.name_len = " 7 ";
    type_fields(f);
    press_run();
    EXPECT_TRUE(saw_status("Matching files found :  2"));
    EXPECT_EQ("needle\n", t.read("ab.txt"));
    EXPECT_EQ("pin\r\n", t.read("abc.txt"));

    f = fields{t.str(), "*.txt", "0", "pin", "needle"};
    f.age_days = "3";  // abc.txt (2 days) and ab.txt (now), not abcdefg.txt (10 days)
    type_fields(f);
    record().statuses.clear();
    press_run();
    EXPECT_TRUE(saw_status("Matching files found :  2"));
    EXPECT_EQ("needle\r\n", t.read("abc.txt"));
    EXPECT_EQ("pin\r\n", t.read("old/abcdefg.txt"));

    f.age_days = "0";  // nothing last written before the run started
    f.search = "needle";
    f.replace = "pin";
    type_fields(f);
    record().statuses.clear();
    press_run();
    EXPECT_TRUE(saw_status("Matching files found :  0"));

    f.age_days = "";
    f.name_len = "";
    type_fields(f);
    record().statuses.clear();
    press_run();
    EXPECT_TRUE(saw_status("Matching files found :  3"));
}

// Type lists against one tree: lists with blanks and commas, exclusions of files and of
// folders at any depth, wildcards, case, exclusions only, and single items as before. Each run
// rewrites exactly the files its Type selects, and the work ahead of the walk opens no file in
// a folder left out.
TEST_F(Walk, TypeListsSelectAndLeaveOut) {
    // A vendored folder of several files: reading them ahead would show in the count of opens.
    std::vector<std::string> vendored;
    for (int i = 0; i < 6; ++i) vendored.push_back("node_modules/n" + std::to_string(i) + ".txt");
    auto with = [](std::vector<std::string> a, const std::vector<std::string> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<std::string> txt =
        with({"a.txt", "d.TXT", "build/x.txt", "src/build/z.txt", "src/buildout/w.txt",
              "src/Bin/q.txt"},
             vendored);
    const std::vector<std::string> others = {"b.ini", "c.bak", "noext", "e.txt.bak",
                                             "build/sub/y.ini"};
    const std::vector<std::string> everything = with(txt, others);
    auto all_but = [&](const std::vector<std::string> &out) {
        std::vector<std::string> in;
        for (const auto &f : everything)
            if (std::find(out.begin(), out.end(), f) == out.end()) in.push_back(f);
        return in;
    };
    const struct {
        std::string type;
        std::vector<std::string> selected;
    } cases[] = {
        {"*.txt", txt},
        {"*.TxT", txt},
        {"*.txt;*.ini", with(txt, {"b.ini", "build/sub/y.ini"})},
        {" *.txt , *.ini ;; ,", with(txt, {"b.ini", "build/sub/y.ini"})},
        {"*.txt;!build\\", all_but(with(others, {"build/x.txt", "src/build/z.txt"}))},
        {"*.txt;!build*/",
         all_but(with(others, {"build/x.txt", "src/build/z.txt", "src/buildout/w.txt"}))},
        {"!b?ild/;*.ini", {"b.ini"}},
        {"!*.bak", all_but({"c.bak", "e.txt.bak"})},
        {"!bin\\, !node_modules/", all_but(with(vendored, {"src/Bin/q.txt"}))},
        {"*.*;!*.txt;!*.INI", {"c.bak", "noext", "e.txt.bak"}},
        {"*.*", everything},
        {"", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("Type '" + c.type + "'");
        temp_tree t;
        for (const auto &f : everything) t.file(f, "needle\n");
        t.file(".git/g.txt", "needle\n");
        record().statuses.clear();
        type_fields({t.str(), c.type, "0", "needle", "pin"});
        command_keep_originals(false);  // only the tree's own files are counted
        os_inject({os_call_any, UINT64_MAX});
        press_run();
        command_keep_originals(true);
        const uint64_t opened = os_injected_so_far().calls[os_call_open_read];
        os_inject_clear();
        EXPECT_TRUE(saw_status("Matching files found :  " + std::to_string(c.selected.size())));
        for (const auto &f : everything) {
            bool in = std::find(c.selected.begin(), c.selected.end(), f) != c.selected.end();
            EXPECT_EQ(in ? "pin\r\n" : "needle\n", t.read(f)) << f;
        }
        EXPECT_EQ("needle\n", t.read(".git/g.txt"));
        EXPECT_LE(opened, c.selected.size() + 2) << "files left out were read";
        EXPECT_TRUE(headless_boxes().empty());
    }
}

TEST_F(Walk, FileOfFourGibibytesIsComparedByItsTrueSize) {
    temp_tree t;
    fs::path big = t.path() / "big.bin";
    write_file(big, "");
    std::error_code ec;
    fs::resize_file(big, (4ULL << 30) + 1, ec);  // sparse where the file system allows
    if (ec || fs::file_size(big, ec) != (4ULL << 30) + 1) GTEST_SKIP() << "no 4 GiB file here";
    t.file("small.bin", "x");
    EXPECT_EQ(2u, count(t.str(), "*.bin", parse_size_text("0")));
    EXPECT_EQ(1u, count(t.str(), "*.bin", parse_size_text("4096MB")));
    EXPECT_EQ(1u, count(t.str(), "*.bin", parse_size_text("4294967297")));
    EXPECT_EQ(0u, count(t.str(), "*.bin", parse_size_text("4294967298")));
    EXPECT_EQ(0u, count(t.str(), "*.bin", parse_size_text("5000 MB")));
    fs::remove(big);
}

#if !defined(_WIN32)
TEST_F(Walk, FolderLinksAreNotEnteredAndSpecialFilesNotSelected) {
    temp_tree t;
    t.file("src/a.txt", "needle\n");
    fs::create_directory_symlink(t.path() / "src", t.path() / "link");
    fs::create_directory_symlink(t.path(), t.path() / "src" / "loop");  // would never end
    fs::create_symlink(t.path() / "gone.txt", t.path() / "dangling.txt");
    ASSERT_EQ(0, mkfifo((t.path() / "pipe.txt").c_str(), 0600));
    EXPECT_EQ(1u, count(t.str(), "*.txt"));

    type_fields({t.str(), "*.*", "0", "needle", "pin"});
    press_run();  // opening the FIFO would hang; it is never opened
    EXPECT_TRUE(saw_status("Matching files found :  1"));
    EXPECT_EQ("pin\r\n", t.read("src/a.txt"));
    EXPECT_TRUE(fs::is_fifo(t.path() / "pipe.txt"));
}

#endif

// Paths past the classic limits are listed, rewritten, swapped and timed like any other, by the
// walk and by update_file alone, up to the system's own limit.
TEST_F(Walk, LongPathsAreHandledLikeAnyOther) {
    const std::string sep(1, path_separator);
    for (size_t length : {size_t(300), size_t(1000)}) {
        SCOPED_TRACE(std::to_string(length) + " characters");
        temp_tree t;
        const std::string name = "walked.txt";
        const std::string dir =
            long_paths::make_chain(t.str(), length - 1 - name.size(), std::string(90, 'd'));
        const std::string walked = dir + sep + name, alone = dir + sep + "alone.dat";
        ASSERT_EQ(length, walked.size());
        for (const std::string &p : {walked, alone}) {
            ASSERT_TRUE(long_paths::write(p, "a needle\n")) << p;
            int64_t old = old_time;
            ASSERT_EQ(1, os_path_mtime(p.c_str(), &old, 1));
        }
        const size_t log_start = log_text().size();
        type_fields({t.str(), name, "0", "needle", "pin"});
        press_run();
        EXPECT_TRUE(saw_status("Matching files found :  1"));
        EXPECT_EQ(1, update_file(alone.c_str(), "needle", "pin"));
        for (const std::string &p : {walked, alone}) {
            EXPECT_EQ("a pin\r\n", long_paths::read(p));
            int64_t now = 0;
            EXPECT_EQ(1, os_path_mtime(p.c_str(), &now, 0));
            EXPECT_EQ(old_time, now);
        }
        EXPECT_TRUE(long_paths::temporaries(t.str()).empty());
        const std::string log = log_text().substr(log_start);
        EXPECT_EQ(std::string::npos, log.find("ERROR")) << log;
        EXPECT_EQ(0, errors_seen);
        long_paths::remove(t.str());
    }
}

// Only a path beyond the system's limit is refused, with its length and the limit in the
// system's unit; the walk goes on.
TEST_F(Walk, PathsBeyondTheSystemsLimitAreRefusedAndTheWalkGoesOn) {
    const size_t longest = os_path_longest;
    const std::string over(longest + 1, 'n');
    EXPECT_EQ(0, update_file(over.c_str(), "needle", "pin"));
    EXPECT_EQ(1, errors_seen);
    EXPECT_NE(std::string::npos,
              log_text().find("ERROR: " + path_too_long(over) + ": " + over + "\r\n"));
    EXPECT_NE(std::string::npos, path_too_long(over).find(std::to_string(longest + 1)));
#if !defined(_WIN32)
    // A folder of the longest path has no room for a name in it; a file one byte over is
    // made through its folder, as no path can name it.
    temp_tree t;
    t.file("ok.txt", "needle\n");
    const std::string near = long_paths::make_chain(t.str(), longest - 100, std::string(200, 'd'));
    const std::string fits = near + "/" + std::string(longest - near.size() - 1, 'f');
    ASSERT_EQ(longest, fits.size());
    ASSERT_TRUE(long_paths::write(fits, "needle\n"));
    const std::string folder_over = near + "/" + std::string(longest - near.size() - 1, 'g');
    ASSERT_EQ(0, mkdir(folder_over.c_str(), 0700));
    const std::string file_over_name(longest - near.size(), 'h');
    {
        int d = open(near.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(d, 0);
        int f = openat(d, file_over_name.c_str(), O_CREAT | O_WRONLY, 0600);
        EXPECT_GE(f, 0);
        EXPECT_EQ(7, write(f, "needle\n", 7));
        close(f);
        close(d);
    }
    errors_seen = 0;
    type_fields({t.str(), "*.*", "0", "needle", "pin"});
    press_run();
    EXPECT_TRUE(saw_status("Matching files found :  2"));
    EXPECT_EQ("pin\r\n", t.read("ok.txt"));
    EXPECT_EQ("pin\r\n", long_paths::read(fits));
    const std::string log = log_text();
    EXPECT_NE(std::string::npos, log.find("ERROR: " + path_too_long_within(1) +
                                          ", folder skipped: " + folder_over + "\r\n"))
        << log;
    EXPECT_NE(std::string::npos, log.find("ERROR: " + path_too_long_within(0) +
                                          ", file skipped: " + near + "/" + file_over_name))
        << log;
    EXPECT_NE(std::string::npos, path_too_long_within(1).find(std::to_string(longest - 1)));
    ASSERT_EQ(1u, headless_boxes().size());
    EXPECT_EQ("ERRORS detected.  Please check logging file 'logging.log'",
              headless_boxes()[0].text);
    EXPECT_TRUE(long_paths::temporaries(t.str()).empty());

    // With nothing else selected, the error is still reported.
    headless_clear_boxes();
    fs::remove(t.path() / "ok.txt");
    os_remove(fits.c_str());
    press_run();
    EXPECT_EQ("Matching files found :  0", status());
    EXPECT_EQ(1u, headless_boxes().size());
    EXPECT_EQ(0, errors_seen);
    // No path names the file over the limit: rm takes the tree apart a folder at a time.
    EXPECT_EQ(0, system(("rm -rf '" + t.str() + "'").c_str()));
#endif
}

TEST_F(Walk, AFailedFileRaisesTheErrorBoxAndTheNextRunStartsClean) {
    temp_tree t;
    fs::path ro = t.file("a_locked.txt", "needle\n");
    t.file("b.txt", "needle\n");
    fs::permissions(ro, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    EXPECT_EQ("needle\n", t.read("a_locked.txt"));
    EXPECT_EQ("pin\r\n", t.read("b.txt"));
    ASSERT_EQ(1u, headless_boxes().size());
    EXPECT_EQ("ERRORS detected.  Please check logging file 'logging.log'",
              headless_boxes()[0].text);
    EXPECT_EQ("ERROR", headless_boxes()[0].caption);
    EXPECT_EQ(box_warning, headless_boxes()[0].kind);
    EXPECT_EQ(0, errors_seen);

    fs::permissions(ro, fs::perms::owner_write, fs::perm_options::add);
    headless_clear_boxes();
    type_fields({t.str(), "*.txt", "0", "needle", "pin"});
    press_run();
    EXPECT_EQ("pin\r\n", t.read("a_locked.txt"));
    EXPECT_TRUE(headless_boxes().empty());
    EXPECT_TRUE(t.temporaries().empty());
}

}  // namespace
