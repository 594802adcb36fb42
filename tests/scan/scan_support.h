// Helpers of the scan tests: a working folder per test process (the session log lands there),
// temporary trees below it, and a headless window wired to the command handling.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log/log.h"
#include "platform/window_headless.h"
#include "resources/resource.h"
#include "scan/run.h"
#include "scan/run_state.h"
#include "tests/common/files.h"
#include "ui/commands.h"

namespace scan_test {

using namespace testutil;

// The process's working folder: a fresh temporary folder, made the current directory before
// any test runs, so that logging.log and the trees of parallel test processes never meet.
class work_folder : public ::testing::Environment {
  public:
    static fs::path &root() {
        static fs::path r;
        return r;
    }
    void SetUp() override {
        root() = fresh_folder("sarvelt-scan", fs::temp_directory_path());
        fs::current_path(root());
        // The runs' undo store, the process's own.
        set_env(scratch_store::variable, (root() / "state").string());
    }
    void TearDown() override {
        std::error_code ec;
        fs::current_path(fs::temp_directory_path(), ec);
        remove_tree(root());
    }
};

// A temporary tree below the working folder, removed again at the end of the test.
class temp_tree : public scratch_dir {
  public:
    temp_tree() : scratch_dir("tree", work_folder::root()) {}
};

// What the headless window showed during a test.
struct window_record {
    std::vector<std::string> statuses;  // every Status text, in order
    std::vector<int> positions;         // every progress position, in order
    int pumps = 0;
    std::function<void()> on_pump;  // the test's hook, run at the start of every pump
};

inline window_record &record() {
    static window_record r;
    return r;
}

inline void observe_text(int id, const char *text) {
    if (id == IDC_STATUS) record().statuses.push_back(text);
}
inline void observe_progress(int position) { record().positions.push_back(position); }
inline void observe_pump() {
    ++record().pumps;
    if (record().on_pump) record().on_pump();
}

// Resets the run state and opens a headless window wired to the command handling, initialised
// as start-up does (command 200).
inline void open_window() {
    run_state = run_state_t{0, 0, 0, 0, 0, 0, 0};
    run_fields = run_fields_t{};
    run_fields.name_len_ok = 1;
    run_fields.age_days_ok = 1;
    errors_seen = 0;
    record() = window_record{};
    headless_host host;
    host.dispatch = command_handle;
    host.closed = command_window_destroyed;
    host.text_changed = observe_text;
    host.progress_changed = observe_progress;
    host.pumping = observe_pump;
    headless_open(host);
    window_post_command(CMD_INIT);
    while (window_pump_one()) {}
    record().pumps = 0;
}

inline void close_window() {
    record().on_pump = nullptr;
    headless_destroy();
}

// A test with the headless window open from its start to its end.
class window_test : public ::testing::Test {
  protected:
    void SetUp() override { open_window(); }
    void TearDown() override { close_window(); }
};

// Fills the dialog's fields as a user would type them.
struct fields {
    fields(std::string path_, std::string type_, std::string size_, std::string search_,
           std::string replace_, std::string delay_ = "0", std::string name_len_ = "",
           std::string age_days_ = "")
        : path(path_),
          type(type_),
          size(size_),
          search(search_),
          replace(replace_),
          delay(delay_),
          name_len(name_len_),
          age_days(age_days_) {}
    std::string path, type, size, search, replace, delay, name_len, age_days;
};

inline void type_fields(const fields &f) {
    window_set_text(IDC_PATH, f.path.c_str());
    window_set_text(IDC_TYPE, f.type.c_str());
    window_set_text(IDC_SIZE, f.size.c_str());
    window_set_text(IDC_SEARCH, f.search.c_str());
    window_set_text(IDC_REPLACE, f.replace.c_str());
    window_set_text(IDC_DELAY, f.delay.c_str());
    window_set_text(IDC_NAME_LEN, f.name_len.c_str());
    window_set_text(IDC_AGE_DAYS, f.age_days.c_str());
}

// Presses RUN / CONTINUE and pumps until the queue is empty: the run happens inside.
inline void press_run() {
    window_post_command(IDC_RUN);
    while (window_pump_one()) {}
}

inline std::string status() { return headless_text(IDC_STATUS); }

inline bool saw_status(const std::string &text) {
    for (auto &s : record().statuses)
        if (s == text) return true;
    return false;
}

// Which pass a run is in: the count ends with its "Matching files found" status.
inline bool counted_yet() {
    for (auto &s : record().statuses)
        if (s.rfind("Matching files found", 0) == 0) return true;
    return false;
}
inline bool counting_pass() { return run_state.busy && !counted_yet(); }
inline bool applying_pass() { return run_state.busy && counted_yet(); }

}  // namespace scan_test
