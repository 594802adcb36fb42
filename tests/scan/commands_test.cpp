// The commands, and what they do to a run that is on the stack: every command is posted to the
// headless window at a chosen pump of the run and dispatched re-entrantly, as the window's own
// messages are during a run.
#include <chrono>

#include "scan_support.h"

using namespace scan_test;

namespace {

class Commands : public window_test {
  protected:
    // n files "1.txt" ... "n.txt", each holding one occurrence.
    void make_files(const temp_tree &t, int n) {
        for (int i = 1; i <= n; ++i) t.file(std::to_string(i) + ".txt", "needle\n");
    }
    int rewritten(const temp_tree &t, int n) {
        int c = 0;
        for (int i = 1; i <= n; ++i) c += t.read(std::to_string(i) + ".txt") == "pin\r\n";
        return c;
    }
    void start(const temp_tree &t, const char *delay = "0") {
        fields f{t.str(), "*.txt", "0", "needle", "pin"};
        f.delay = delay;
        type_fields(f);
        record().statuses.clear();
        record().positions.clear();
        press_run();
    }
};

size_t count_status(const std::string &text) {
    return size_t(std::count(record().statuses.begin(), record().statuses.end(), text));
}

TEST_F(Commands, StartShowsTheDefaults) {
    EXPECT_EQ((std::vector<std::string>{"Waiting ...", "Idling...."}), record().statuses);
#if defined(_WIN32)
    EXPECT_EQ("C:\\", headless_text(IDC_PATH));
#else
    EXPECT_EQ("/", headless_text(IDC_PATH));
#endif
    EXPECT_EQ(headless_text(IDC_PATH), run_fields.folder_path);
    EXPECT_EQ("*.*", headless_text(IDC_TYPE));
    EXPECT_STREQ("*.*", run_fields.file_type);
    EXPECT_EQ("0", headless_text(IDC_SIZE));
    EXPECT_EQ("0", headless_text(IDC_DELAY));
    EXPECT_EQ(1, headless_progress_ready());
    EXPECT_EQ(0, headless_progress());
    EXPECT_EQ(0, run_state.closing);
}

TEST_F(Commands, ResultsOfTheTable) {
    long r = 0;
    for (int id : {CMD_INIT, CMD_DEFAULTS, CMD_WAITING, CMD_NOTHING, IDC_PAUSE, IDC_CANCEL_RESET}) {
        r = 0;
        EXPECT_EQ(1, command_dispatch(id, &r)) << id;
        EXPECT_EQ(1, r) << id;
    }
    EXPECT_EQ(1, command_dispatch(CMD_READ_FIELDS, &r));
    EXPECT_EQ(command_default, r);
    for (int id : {IDC_BROWSE, IDC_HELP, IDC_LICENSE, 0, 999})
        EXPECT_EQ(0, command_dispatch(id, &r)) << id;
    EXPECT_EQ(1, command_dispatch(IDC_QUIT, &r));
    EXPECT_EQ(1, r);
    EXPECT_EQ(1, run_state.closing);
    EXPECT_EQ(1, run_state.stop_walk);
    EXPECT_EQ(1, headless_close_requested());
}

TEST_F(Commands, DefaultsClearTheErrorMarkAndCancelKeepsTheFields) {
    errors_seen = 1;
    window_set_text(IDC_SEARCH, "abc");
    window_post_command(IDC_CANCEL_RESET);
    window_pump_one();
    EXPECT_EQ(0, errors_seen);
    EXPECT_EQ("abc", headless_text(IDC_SEARCH));
    EXPECT_EQ("Idling....", status());
    errors_seen = 1;
    window_post_command(CMD_DEFAULTS);
    window_pump_one();
    EXPECT_EQ(0, errors_seen);
}

TEST_F(Commands, PauseWhileIdleDoesNothing) {
    window_post_command(IDC_PAUSE);
    window_pump_one();
    EXPECT_EQ(0, run_state.paused);
    EXPECT_EQ("Idling....", status());
}

TEST_F(Commands, ReadFieldsCutsToTheFieldRoomsButReadsThePathWhole) {
    std::string path(600, 'p');
    std::string search(6000, 's');
    window_set_text(IDC_PATH, path.c_str());
    window_set_text(IDC_SEARCH, search.c_str());
    window_set_text(IDC_SIZE, "2 KB");
    window_set_text(IDC_NAME_LEN, "12");
    window_set_text(IDC_AGE_DAYS, "x");
    window_post_command(CMD_READ_FIELDS);
    window_pump_one();
    EXPECT_EQ(path, run_fields.folder_path);
    EXPECT_EQ(size_t(4999), strlen(run_fields.search_text));
    EXPECT_EQ(2048u, run_fields.min_size);
    EXPECT_EQ(1, run_fields.name_len_ok);
    EXPECT_EQ(12u, run_fields.min_name_len);
    EXPECT_EQ(0, run_fields.age_days_ok);
}

struct refusal_case {
    fields f;
    std::string text;
};

TEST_F(Commands, RunRefusesUnsoundFieldsAndTouchesNothing) {
    temp_tree t;
    t.file("a.txt", "needle\n");
    const std::string p = t.str();
    const refusal_case cases[] = {
        {{"", "*.*", "0", "needle", "pin"}, "Please enter a folder in Path."},
        {{p + "/none", "*.*", "0", "needle", "pin"},
         "The Path '" + p + "/none' is not an existing folder."},
        {{"  ", "*.*", "0", "needle", "pin"}, "Please enter a folder in Path."},
        {{p, "*.*", "0", "", "pin"}, "Please enter a Search String."},
        {{p, "*.*", "0", "needle", "needles"},
         "The Replace String must not contain the Search String: every replacement would bring it back."},
        {{p, "*.*", "0", "needle", "needle"},
         "The Replace String must not contain the Search String: every replacement would bring it back."},
        {{p, "*.txt; !", "0", "needle", "pin"}, "The Type item '!' names nothing to leave out."},
        {{p, "!a\\b\\;*.txt", "0", "needle", "pin"},
         "The Type item '!a\\b\\' must name one folder, without a separator before its end."},
        {{p, "!/", "0", "needle", "pin"}, "The Type item '!/' names no folder."},
        {{p, "*.txt;" + std::string(453, 'x'), "0", "needle", "pin"},
         "The Type is longer than its field (at most 458 characters)."},
        {{p, "*.*", "0", "needle", "pin", "0", "-3", ""},
         "Name Len must be a whole number of characters (0 or more), or empty."},
        {{p, "*.*", "0", "needle", "pin", "0", "", "1.5"},
         "Age days must be a whole number of days (0 or more), or empty."},
    };
    for (const refusal_case &c : cases) {
        headless_clear_boxes();
        record().statuses.clear();
        type_fields(c.f);
        press_run();
        ASSERT_EQ(1u, headless_boxes().size()) << c.text;
        EXPECT_EQ(c.text, headless_boxes()[0].text);
        EXPECT_EQ("ERROR", headless_boxes()[0].caption);
        EXPECT_EQ(1, headless_boxes()[0].owned);
        EXPECT_EQ(box_warning, headless_boxes()[0].kind);
        EXPECT_TRUE(record().statuses.empty()) << c.text;
        EXPECT_EQ("Idling....", status());
        EXPECT_EQ(0, run_state.busy);
        EXPECT_EQ(0, run_in_progress());
        EXPECT_EQ("needle\n", t.read("a.txt"));
    }
    // Sound fields run.
    headless_clear_boxes();
    type_fields({p, "*.*", "0", "needle", "pin", "0", " 1 ", "3"});
    press_run();
    EXPECT_TRUE(headless_boxes().empty());
    EXPECT_EQ("pin\r\n", t.read("a.txt"));
}

TEST_F(Commands, PauseAndContinueDuringTheApplyingPass) {
    temp_tree t;
    make_files(t, 4);
    static int paused_pumps;
    paused_pumps = 0;
    static int done_when_paused;
    done_when_paused = -1;
    record().on_pump = [&t, this] {
        if (applying_pass() && run_state.matched_count == 2 && done_when_paused < 0 &&
            !run_state.paused && status() == "Progress: 2 of 4 files. (50%)") {
            window_post_command(IDC_PAUSE);
            done_when_paused = 0;
        }
        if (run_state.paused) {
            if (++paused_pumps == 1) done_when_paused = rewritten(t, 4);
            if (paused_pumps == 20) window_post_command(IDC_RUN);
        }
    };
    start(t);
    // The file being handled when PAUSE came was finished; the walk then waited.
    EXPECT_EQ(2, done_when_paused);
    EXPECT_GE(paused_pumps, 20);
    EXPECT_EQ(1u, count_status("Paused...."));
    EXPECT_EQ(4, rewritten(t, 4));
    EXPECT_EQ("Progress: 4 of 4 files. (100%)", status());
    EXPECT_EQ(0, run_state.paused);
    EXPECT_EQ(0, run_state.busy);
    EXPECT_EQ(1u, count_status("Matching files found :  4"));
}

// The log's entries of files without occurrence may wait to be written together, but not while
// the walk stands still: whoever opens the log during a pause finds every file handled so far.
TEST_F(Commands, ThePausedRunsLogHoldsEveryFileHandled) {
    temp_tree t;
    for (int i = 1; i <= 6; ++i) t.file(std::to_string(i) + ".txt", "hay\n");
    auto successes = [] {
        std::string text = log_text();
        size_t n = 0;
        for (size_t at = 0; (at = text.find("Successfully replaced", at)) != std::string::npos;
             ++at)
            ++n;
        return n;
    };
    static size_t before, handled, logged, paused_pumps;
    before = successes();
    handled = logged = paused_pumps = 0;
    record().on_pump = [successes] {
        if (applying_pass() && run_state.matched_count == 3 && handled == 0) {
            window_post_command(IDC_PAUSE);
            handled = SIZE_MAX;
        }
        // The third pump of the pause is the walk's, waiting (the first dispatched PAUSE).
        if (run_state.paused && ++paused_pumps == 3) {
            handled = run_state.matched_count;
            logged = successes() - before;
            window_post_command(IDC_RUN);
        }
    };
    start(t);
    EXPECT_EQ(3u, handled);
    EXPECT_EQ(handled, logged);
    EXPECT_EQ(6u, successes() - before);
}

TEST_F(Commands, CancelDuringTheCountingPass) {
    temp_tree t;
    make_files(t, 5);
    record().on_pump = [] {
        if (counting_pass() && run_state.matched_count == 2 && !run_state.stop_walk)
            window_post_command(IDC_CANCEL_RESET);
    };
    start(t);
    EXPECT_EQ("Matching files found :  2", status());  // the count reached
    EXPECT_EQ(0, rewritten(t, 5));
    EXPECT_EQ(0, headless_progress());
    EXPECT_EQ(0, run_state.busy);
    EXPECT_EQ(0, run_in_progress());
    EXPECT_EQ(2u, run_state.total_matches);
}

TEST_F(Commands, CancelRightAfterAFilesTestInTheApplyingPass) {
    temp_tree t;
    make_files(t, 5);
    record().on_pump = [] {
        if (applying_pass() && run_state.matched_count == 2 && !run_state.stop_walk)
            window_post_command(IDC_CANCEL_RESET);
    };
    start(t);
    // The cancelled file's progress still shows, and it is not rewritten.
    EXPECT_EQ("Progress: 2 of 5 files. (40%)", status());
    EXPECT_EQ(600, headless_progress());
    EXPECT_EQ("pin\r\n", t.read("1.txt"));
    EXPECT_EQ(1, rewritten(t, 5));
    EXPECT_TRUE(saw_status("Idling...."));
    EXPECT_EQ(0, run_state.busy);
    EXPECT_TRUE(t.temporaries().empty());
}

TEST_F(Commands, CancelCutsAWaitShort) {
    temp_tree t;
    make_files(t, 3);
    record().on_pump = [] {
        static int seen;
        if (applying_pass() && run_state.matched_count == 1 &&
            status().rfind("Progress: 1", 0) == 0) {
            if (++seen == 6) window_post_command(IDC_CANCEL_RESET);  // a few ticks into the wait
        } else {
            seen = 0;
        }
    };
    auto begin = std::chrono::steady_clock::now();
    start(t, "5000");
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_LT(s, 2.5);
    EXPECT_EQ(1, rewritten(t, 3));
    EXPECT_EQ("Idling....", status());
}

TEST_F(Commands, CancelWhilePausedEndsTheWalk) {
    temp_tree t;
    make_files(t, 4);
    record().on_pump = [] {
        static int paused_pumps;
        if (applying_pass() && run_state.matched_count == 1 && !run_state.paused &&
            !run_state.stop_walk && status().rfind("Progress", 0) == 0) {
            window_post_command(IDC_PAUSE);
            paused_pumps = 0;
        }
        if (run_state.paused && ++paused_pumps == 10) window_post_command(IDC_CANCEL_RESET);
    };
    start(t);
    EXPECT_EQ(1, rewritten(t, 4));
    EXPECT_EQ("Idling....", status());
    EXPECT_EQ(0, run_state.paused);
    EXPECT_EQ(0, run_state.busy);
}

TEST_F(Commands, QuitDuringARunEndsItAndTheQuitMessageSurvives) {
    temp_tree t;
    make_files(t, 4);
    fs::permissions(t.path() / "1.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);  // raises the error mark
    record().on_pump = [] {
        if (applying_pass() && run_state.matched_count == 2 && !run_state.stop_walk)
            window_post_command(IDC_QUIT);
    };
    start(t);
    EXPECT_EQ(0, rewritten(t, 4));
    EXPECT_EQ("needle\n", t.read("2.txt"));
    EXPECT_EQ(0, window_alive());
    EXPECT_EQ(1, headless_quit_posted());  // the program's loop still ends after the run
    EXPECT_EQ(1, run_state.closing);
    EXPECT_EQ(0, run_state.busy);
    // The error summary is still shown, with no owner.
    ASSERT_EQ(1u, headless_boxes().size());
    EXPECT_EQ("ERRORS detected.  Please check logging file 'logging.log'",
              headless_boxes()[0].text);
    EXPECT_EQ(0, headless_boxes()[0].owned);
    EXPECT_EQ(0, errors_seen);
    EXPECT_TRUE(t.temporaries().empty());
}

TEST_F(Commands, WindowClosedDuringAPauseEndsThePause) {
    temp_tree t;
    make_files(t, 3);
    record().on_pump = [] {
        static int paused_pumps;
        if (applying_pass() && run_state.matched_count == 1 && !run_state.paused &&
            !run_state.closing && status().rfind("Progress", 0) == 0) {
            window_post_command(IDC_PAUSE);
            paused_pumps = 0;
        }
        // The close box, not QUIT: only closing is raised.
        if (run_state.paused && ++paused_pumps == 5) window_request_close();
    };
    start(t);
    EXPECT_EQ(1, headless_quit_posted());
    EXPECT_EQ(0, window_alive());
    EXPECT_EQ(1, run_state.closing);
    EXPECT_EQ(0, run_state.stop_walk);
    EXPECT_EQ(3, rewritten(t, 3));  // the walk went on to its end
    EXPECT_EQ(0, run_state.busy);
}

TEST_F(Commands, RunWhileACancelledRunUnwindsStartsNoRun) {
    temp_tree t;
    make_files(t, 5);
    record().on_pump = [] {
        if (counting_pass() && run_state.matched_count == 2 && !run_state.stop_walk) {
            window_post_command(IDC_CANCEL_RESET);
            window_post_command(IDC_RUN);  // dispatched by the unwinding walk's next pump
        }
    };
    start(t);
    EXPECT_EQ(0u, headless_queued());
    EXPECT_EQ(1u, count_status("In Progress...."));
    EXPECT_EQ(1u, count_status("Matching files found :  2"));
    EXPECT_EQ(0, rewritten(t, 5));
    EXPECT_EQ(0, run_in_progress());
    EXPECT_EQ(0, run_state.busy);

    // Once the cancelled run has returned, RUN starts a new one.
    record().on_pump = nullptr;
    start(t);
    EXPECT_EQ(5, rewritten(t, 5));
}

TEST_F(Commands, RunDuringARunOnlyContinues) {
    temp_tree t;
    make_files(t, 4);
    record().on_pump = [] {
        static bool sent;
        if (!applying_pass()) sent = false;
        if (applying_pass() && run_state.matched_count == 2 && !sent) {
            window_post_command(IDC_RUN);
            sent = true;
        }
    };
    start(t);
    EXPECT_EQ(2u, count_status("In Progress...."));
    EXPECT_EQ(1u, count_status("Matching files found :  4"));
    EXPECT_EQ(4, rewritten(t, 4));
    EXPECT_EQ("Progress: 4 of 4 files. (100%)", status());
}

TEST_F(Commands, DelayIsReadAfreshForEveryFile) {
    temp_tree t;
    make_files(t, 4);
    record().on_pump = [] {
        if (applying_pass() && run_state.matched_count == 1) window_set_text(IDC_DELAY, "100");
    };
    auto begin = std::chrono::steady_clock::now();
    start(t, "0");
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_GE(s, 0.35);  // four waits of 100 ms, the first one already
    EXPECT_EQ(4, rewritten(t, 4));
    EXPECT_STREQ("100", run_fields.delay_text);
}

}  // namespace
