// The run's commands, shared by the Win32 window procedure and the headless window. Each
// handler is a small function; command_dispatch selects it by the command id.
#include "ui/commands.h"

#include <string.h>

#include "log/log.h"
#include "platform/window.h"
#include "resources/resource.h"
#include "scan/run_state.h"
#include "scan/select.h"

namespace {

// Runs started by RUN, with their outcome boxes, now on the stack.
int run_depth = 0;
run_outcome last_outcome;
preview_report last_preview;
bool keep_originals = true;

// Where a fresh window points the Path field.
#if defined(_WIN32)
const char *const default_folder = "C:\\";
#else
const char *const default_folder = "/";
#endif

void copy_text(char *out, size_t room, const char *text) {
    strncpy(out, text, room - 1);
    out[room - 1] = '\0';
}

// 202: the fields' defaults.
void set_defaults() {
    run_fields.folder_path = default_folder;
    window_set_text(IDC_PATH, run_fields.folder_path.c_str());
    copy_text(run_fields.file_type, sizeof run_fields.file_type, "*.*");
    window_set_text(IDC_TYPE, run_fields.file_type);
    window_set_text(IDC_SIZE, "0");
    window_set_text(IDC_DELAY, "0");
    errors_seen = 0;
    set_status("Idling....");
}

// 400.
void show_waiting() { set_status("Waiting ..."); }

// 200: the window's start.
void initialise() {
    run_state.closing = 0;
    window_setup_progress();
    show_waiting();
    set_defaults();
}

// 201: the dialog's fields into run_fields.
void read_fields() {
    run_fields.folder_path = window_get_text(IDC_PATH);
    window_get_text(IDC_TYPE, run_fields.file_type, type_text_longest + 2);
    memset(run_fields.size_text, 0, sizeof run_fields.size_text);
    window_get_text(IDC_SIZE, run_fields.size_text, folder_path_read);
    run_fields.min_size = parse_size_text(run_fields.size_text);
    window_get_text(IDC_SEARCH, run_fields.search_text, search_text_read);
    window_get_text(IDC_REPLACE, run_fields.replace_text, search_text_read);
    window_get_text(IDC_NAME_LEN, run_fields.name_len_text, count_text_room);
    run_fields.name_len_ok = parse_count_text(run_fields.name_len_text, &run_fields.name_len_given,
                                              &run_fields.min_name_len);
    window_get_text(IDC_AGE_DAYS, run_fields.age_days_text, count_text_room);
    run_fields.age_days_ok = parse_count_text(run_fields.age_days_text, &run_fields.age_days_given,
                                              &run_fields.age_days);
}

// The boxes a run's outcome calls for: a refusal is told in a box owned by the window, errors
// and a log that cannot be opened in boxes of their own.
void show_outcome(const run_outcome &o) {
    if (o.end == run_end::refused) window_message_box(1, o.message.c_str(), "ERROR", box_warning);
    if (o.end == run_end::done_with_errors || o.end == run_end::log_unavailable)
        window_message_box(0, o.message.c_str(), "ERROR", box_warning);
}

// 128: RUN / CONTINUE. While a run is on the stack it only resumes a pause: a run that is
// still going goes on; a cancelled one that is unwinding keeps stop_walk raised and finishes
// unwinding, and no run is ever started inside another.
void run_or_continue() {
    if (run_depth > 0) {
        run_state.paused = 0;
        if (!run_state.busy) return;
        run_state.cancel_requested = 0;
        run_state.stop_walk = 0;
        set_status("In Progress....");
        return;
    }
    run_state.paused = 0;
    run_state.cancel_requested = 0;
    run_state.stop_walk = 0;
    read_fields();
    ++run_depth;
    last_outcome = run_search_replace(keep_originals);
    show_outcome(last_outcome);
    --run_depth;
}

// What a preview found, in a window of its own: a row for each file that would change, or a
// box when none would.
void show_preview(const preview_report &r) {
    const char *caption = "Sarvelt Preview";
    if (r.changes.empty()) {
        const std::string text = "No file would change: " + std::to_string(r.files_read) +
                                 (r.files_read == 1 ? " file read" : " files read") +
                                 (r.left_alone.empty() ? "." : ", " + std::to_string(r.left_alone.size()) +
                                                                    " left alone.");
        window_message_box(1, text.c_str(), caption, box_plain);
        return;
    }
    std::vector<std::vector<std::string>> rows;
    for (const preview_row &row : r.changes) {
        std::string change;
        if (!row.what.first.empty()) {
            const changed_line &c = row.what.first[0];
            change = std::to_string(c.number) + ": " + c.before + "  \xe2\x86\x92  " + c.after;
        }
        rows.push_back({row.path, std::to_string(row.what.replacements), change});
    }
    window_show_list(caption, {"File", "Replacements", "First change (before \xe2\x86\x92 after)"},
                     rows);
}

// The start of PREVIEW and UNDO: refused (0) while a run, a preview or an undo is on the
// stack; else the flags of the last one cleared and the fields read.
bool begin_other_run() {
    if (run_depth > 0) return false;
    run_state.paused = 0;
    run_state.cancel_requested = 0;
    run_state.stop_walk = 0;
    read_fields();
    return true;
}

// 160: PREVIEW.
void preview() {
    if (!begin_other_run()) return;
    ++run_depth;
    last_outcome = run_preview(&last_preview);
    show_outcome(last_outcome);
    if (last_outcome.end == run_end::done || last_outcome.end == run_end::done_with_errors)
        show_preview(last_preview);
    --run_depth;
}

// 161: UNDO. The latest run on the Path that is not undone yet is named in a question first;
// Yes undoes it.
void undo() {
    if (!begin_other_run()) return;
    last_outcome = run_outcome();
    undo_record r;
    if (!undo_latest_for(run_fields.folder_path.c_str(), &r)) {
        last_outcome.end = run_end::refused;
        last_outcome.message =
            std::string("There is no run to undo on the Path '") + run_fields.folder_path + "'.";
        window_message_box(1, last_outcome.message.c_str(), "Undo", box_plain);
        return;
    }
    if (!window_ask_yes_no(undo_question(r).c_str(), "Undo")) return;
    ++run_depth;
    last_outcome = run_undo(r);
    show_outcome(last_outcome);
    --run_depth;
}

// 151: PAUSE.
void pause_run() {
    if (!run_state.busy) return;
    run_state.paused = 1;
    set_status("Paused....");
}

// 150: CANCEL / RESET. Back to idle at once; the stopped walk unwinds at its next check.
void cancel_reset() {
    run_state.cancel_requested = 1;
    errors_seen = 0;
    run_state.paused = 0;
    run_state.busy = 0;
    run_state.stop_walk = 1;
    set_status("Idling....");
    set_progress_position(0);
}

// 2 and 8: Esc and QUIT.
void quit() {
    run_state.paused = 0;
    run_state.stop_walk = 1;
    run_state.closing = 1;
    window_request_close();
}

}  // namespace

int command_dispatch(int id, long *result) {
    *result = 1;
    switch (id) {
    case CMD_INIT: initialise(); return 1;
    case CMD_DEFAULTS: set_defaults(); return 1;
    case CMD_WAITING: show_waiting(); return 1;
    case CMD_NOTHING: return 1;
    case CMD_READ_FIELDS:
        read_fields();
        *result = command_default;
        return 1;
    case IDC_RUN: run_or_continue(); return 1;
    case IDC_PREVIEW: preview(); return 1;
    case IDC_UNDO: undo(); return 1;
    case IDC_PAUSE: pause_run(); return 1;
    case IDC_CANCEL_RESET: cancel_reset(); return 1;
    case CMD_ESCAPE:
    case IDC_QUIT: quit(); return 1;
    default: return 0;
    }
}

void command_window_destroyed() { run_state.closing = 1; }

int command_run_on_stack() { return run_depth > 0 ? 1 : 0; }

const run_outcome &command_last_outcome() { return last_outcome; }

const preview_report &command_last_preview() { return last_preview; }

void command_keep_originals(bool keep) { keep_originals = keep; }

void command_handle(int id) {
    long result = 0;
    command_dispatch(id, &result);
}
