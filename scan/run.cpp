// The two-pass run and the checks it makes before it starts.
#include "scan/run.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "engine/engine.h"
#include "engine/preview.h"
#include "engine/rewrite.h"
#include "log/log.h"
#include "platform/os.h"
#include "scan/pipeline.h"
#include "scan/plan.h"
#include "scan/run_state.h"
#include "scan/select.h"
#include "scan/walk.h"

namespace {

int runs_on_stack = 0;

// Every reason the fields are refused, in one place.
const char *const refusal_empty_path = "Please enter a folder in Path.";
const char *const refusal_empty_search = "Please enter a Search String.";
const char *const refusal_replace_has_search =
    "The Replace String must not contain the Search String: every replacement would bring it back.";
const char *const refusal_name_len =
    "Name Len must be a whole number of characters (0 or more), or empty.";
const char *const refusal_age_days =
    "Age days must be a whole number of days (0 or more), or empty.";

bool blank(const char *text) {
    for (; *text; ++text)
        if (*text != ' ' && *text != '\t') return false;
    return true;
}

bool is_folder(const std::string &path) {
    os_stat st;
    return os_stat_path(path.c_str(), &st, 1) && st.is_dir;
}

// Why the fields now in run_fields cannot be run, as the user is told; empty when they can.
std::string refusal() {
    if (blank(run_fields.folder_path.c_str())) return refusal_empty_path;
    const std::string root = folder_of_path(run_fields.folder_path.c_str());
    // A folder whose own path leaves no room for a name in it.
    if (!path_fits(root, 1))
        return std::string("The Path '") + run_fields.folder_path + "' is too long: " +
               path_too_long(root) + ".";
    if (!is_folder(root))
        return std::string("The Path '") + run_fields.folder_path + "' is not an existing folder.";
    if (run_fields.search_text[0] == '\0') return refusal_empty_search;
    if (strstr(run_fields.replace_text, run_fields.search_text)) return refusal_replace_has_search;
    if (strlen(run_fields.file_type) > size_t(type_text_longest)) 
        return "The Type is longer than its field (at most " + std::to_string(type_text_longest) +
               " characters).";
    type_list types;
    std::string unreadable = read_type_list(run_fields.file_type, &types);
    if (!unreadable.empty()) return unreadable;
    if (!run_fields.name_len_ok) return refusal_name_len;
    if (!run_fields.age_days_ok) return refusal_age_days;
    return "";
}

run_outcome outcome_of(run_end end, std::string message = "") {
    run_outcome o;
    o.end = end;
    o.message = std::move(message);
    return o;
}

// What the run came to, once both passes are over or the walk stopped.
run_outcome ending() {
    if (log_unavailable()) return outcome_of(run_end::log_unavailable, log_unavailable_text());
    run_outcome o;
    o.log_write_error = log_take_write_error();
    if (errors_seen) {
        char text[200];
        snprintf(text, sizeof text, "ERRORS detected.  Please check logging file '%s'",
                 log_file_name);
        o.end = run_end::done_with_errors;
        o.message = text;
    } else if (run_state.stop_walk) {
        o.end = run_end::cancelled;
    }
    return o;
}

}  // namespace

int run_in_progress() { return runs_on_stack > 0 ? 1 : 0; }

namespace {

// The undo store's keeper of a run's originals.
struct store_keeper : rewrite_keeper {
    undo_run *run = nullptr;
    uint64_t keep(const rewrite_job &job, uint64_t new_size, uint64_t new_hash) override {
        undo_file f;
        f.path = job.real;
        f.before = job.before;
        f.new_size = new_size;
        f.new_hash = new_hash;
        if (job.temp.named) f.temp_path = job.temp.path;
        return undo_keep(*run, f);
    }
    bool flush() override { return undo_flush(*run) != 0; }
    void naming(uint64_t kept, const std::string &temp_path) override {
        undo_note_temp(*run, kept, temp_path);
    }
    void creating(const std::string &temp_path) override { undo_note_making(*run, temp_path); }
    void created(const std::string &temp_path, const os_file_id &id) override {
        undo_note_made(*run, temp_path, id);
    }
};

// The passes of a run over plan: the count, then the applying pass with action for each
// selected file in its turn, work ahead of the walk (the rewrite when action is null). begin
// and end frame the applying pass (what a mode writes to the log before and after it).
template <class Begin, class End>
run_outcome two_passes(pipeline_work work, walk_file_action action, bool keep_originals,
                       Begin begin, End end) {
    if (run_state.busy) return outcome_of(run_end::already_running);
    std::string why = refusal();
    if (!why.empty()) return outcome_of(run_end::refused, why);
    // The originals' store is opened before anything is done, or the run does not start.
    undo_run_ptr undo;
    store_keeper keeper;
    if (keep_originals) {
        undo = undo_begin(folder_of_path(run_fields.folder_path.c_str()), run_fields.search_text,
                          run_fields.replace_text, &why);
        if (!undo) return outcome_of(run_end::refused, why);
        keeper.run = undo.get();
    }
    set_status("In Progress....");
    set_progress_position(0);

    ++runs_on_stack;
    run_state.busy = 1;
    rewrite_set_lock_wait(wait_pumping);
    set_status("Scanning Directories...");
    // The run's own copy of the fields: nothing the user does during the run changes what it
    // walks, selects or writes.
    const run_plan plan = plan_from_fields(run_fields, os_file_time_now());
    const char *folder = plan.root.c_str();

    // The work ahead starts with the counting pass: the workers prepare the first files while
    // the walk counts (a preview's read them through). Nothing is swapped before the applying
    // pass reaches a file.
    run_state.matched_count = 0;
    pipeline_start(plan, undo ? &keeper : nullptr, work);
    pipeline_ahead(read_delay_field() <= 0);
    walk_directory(folder, plan.select, 0);
    run_state.total_matches = run_state.matched_count;
    set_status("Matching files found :  %lu", (unsigned long)run_state.total_matches);

    // Nothing selected: no applying pass. Errors of the counting pass (paths too long) are
    // still reported.
    if (run_state.total_matches != 0 && !log_unavailable() && begin(plan)) {
        if (undo) log_message("INFO: Originals kept for undo in %s\n", undo_run_dir(*undo).c_str());
        run_state.matched_count = 0;
        pipeline_counted();
        if (action)
            walk_directory(folder, plan.select, action);
        else
            walk_directory(folder, plan.select, 1);
        end();
    }
    // What was prepared and not committed (after a cancel) is discarded.
    pipeline_finish();
    if (undo) undo_end(*undo);
    run_outcome outcome = ending();
    if (!action) {
        const commit_counts &c = pipeline_counts();
        outcome.rewritten = c.rewritten;
        outcome.untouched = c.untouched;
        outcome.left_alone = c.left_alone;
        outcome.failed = c.failed;
    }
    errors_seen = 0;
    run_state.busy = 0;
    rewrite_set_lock_wait(nullptr);
    --runs_on_stack;
    return outcome;
}

// The preview being made, for its file action.
preview_report *previewing = nullptr;

void preview_in_turn(const walk_position &at, const std::string &path) {
    preview_report &r = *previewing;
    file_preview what;
    ++r.files_read;
    if (!pipeline_preview(at, path, &what)) {
        const std::string reason = os_error_text(what.code);
        r.left_alone.push_back({path, reason});
        errors_seen = 1;
        log_message("ERROR: Preview: Unable to read file %s (%s)\n", path.c_str(), reason.c_str());
        return;
    }
    if (what.runaway) {
        r.left_alone.push_back({path, "the replacement would never end"});
        return;
    }
    if (what.binary) {
        r.left_alone.push_back({path, "binary"});
        return;
    }
    if (!what.refused.empty()) {
        r.left_alone.push_back({path, what.refused});
        return;
    }
    if (what.replacements == 0) return;
    if (what.read_only) {
        r.left_alone.push_back({path, "read-only"});
        return;
    }
    r.replacements += what.replacements;
    // A preview does nothing to the file: its entry may wait to go with the next ones.
    log_message_may_wait("INFO: Preview: %s would get %llu replacement%s\n", path.c_str(),
                         (unsigned long long)what.replacements, what.replacements == 1 ? "" : "s");
    // A copy, made here: the worker's own is let go, and its memory serves the worker's next
    // files, instead of the worker's heap growing a page at a time with every row kept.
    r.changes.push_back({path, what});
}

}  // namespace

run_outcome run_search_replace(bool keep_originals) {
    return two_passes(pipeline_work::rewrite, nullptr, keep_originals,
                      [](const run_plan &) { return true; }, [] {});
}

run_outcome run_preview(preview_report *report) {
    *report = preview_report();
    previewing = report;
    run_outcome o = two_passes(
        pipeline_work::preview, preview_in_turn, false,
        [&](const run_plan &p) {
            log_message("INFO: Preview of a run over %s: search for '%s', replace with '%s'; "
                        "nothing is written\n",
                        p.root.c_str(), p.search.c_str(), p.replace.c_str());
            return !log_unavailable();
        },
        [&] {
            log_message("INFO: Preview: %llu files would change, %llu replacements in all; %llu "
                        "files read, %llu left alone\n",
                        (unsigned long long)report->changes.size(),
                        (unsigned long long)report->replacements,
                        (unsigned long long)report->files_read,
                        (unsigned long long)report->left_alone.size());
        });
    previewing = nullptr;
    return o;
}
