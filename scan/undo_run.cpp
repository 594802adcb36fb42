// The undo of a run: each file the run's journal names, in its turn, with progress in the
// status and the bar, PAUSE and CANCEL live, and every step in the log marked "Undo".
#include <stdio.h>
#include <time.h>

#include "engine/engine.h"
#include "log/log.h"
#include "platform/os.h"
#include "scan/run.h"
#include "scan/run_state.h"
#include "undo/undo.h"

namespace {

// Holds the undo while paused, pumping messages; false when it is to stop.
bool go_on() {
    pump_one_message();
    while (run_state.paused && !run_state.stop_walk && !run_state.closing) wait_ticks(10);
    return !run_state.stop_walk && !log_unavailable();
}

std::string local_time_text(int64_t seconds) {
    struct tm t = {};
    char text[64] = "";
    if (os_local_time(seconds, &t)) strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &t);
    return text;
}

void give_back(const undo_entry &e) {
    const undo_outcome o = undo_give_back(e);
    const uint32_t code = os_last_error();
    switch (o) {
    case undo_outcome::given_back:
        log_message("INFO: Undo: gave back file %s\n", e.path.c_str());
        return;
    case undo_outcome::as_it_was: return;  // the run never swapped it
    case undo_outcome::changed_since:
        errors_seen = 1;
        log_message("ERROR: Undo: File changed since the run, left as it is: %s; its original "
                    "stays in %s\n",
                    e.path.c_str(), e.kept.c_str());
        return;
    case undo_outcome::failed:
        errors_seen = 1;
        log_message("ERROR: Undo: Unable to give back file %s (%s); its original stays in %s\n",
                    e.path.c_str(), os_error_text(code).c_str(), e.kept.c_str());
        return;
    }
}

}  // namespace

int undo_latest_for(const char *path, undo_record *out) {
    return undo_find_latest(folder_of_path(path), out);
}

std::string undo_question(const undo_record &r) {
    const size_t files = r.entries.size();
    return "Undo the run of " + local_time_text(r.started) + " on " + r.root + ", which replaced '" +
           r.search + "' with '" + r.replace + "' in " + std::to_string(files) +
           (files == 1 ? " file?" : " files?");
}

run_outcome run_undo(const undo_record &r) {
    run_outcome o;
    if (run_state.busy) {
        o.end = run_end::already_running;
        return o;
    }
    run_state.busy = 1;
    set_status("Undo in progress....");
    set_progress_position(0);
    log_message("INFO: Undo of the run of %s on %s (originals in %s)\n",
                local_time_text(r.started).c_str(), r.root.c_str(), r.dir.c_str());
    for (const std::string &line : r.unreadable) {
        errors_seen = 1;
        log_message("ERROR: Undo: A line of the journal could not be read; nothing is done for "
                    "it: %s\n",
                    line.c_str());
    }
    if (!r.cut_off.empty())
        log_message("INFO: Undo: The run was stopped while it wrote the last line of its journal, "
                    "before that file's swap: %s\n",
                    r.cut_off.c_str());
    const size_t total = r.entries.size();
    size_t done = 0;
    bool stopped = false;
    // The last record first: a file the run rewrote twice (through a link and by its own
    // name) gets back what it held before each rewrite in turn.
    for (auto it = r.entries.rbegin(); it != r.entries.rend(); ++it) {
        const undo_entry &e = *it;
        if (!go_on()) {
            stopped = true;
            break;
        }
        set_status("Undo: %lu of %lu files.", (unsigned long)(done + 1), (unsigned long)total);
        set_progress_position(uint32_t((uint64_t(done) + 1) * 1000 / (total ? total : 1)));
        give_back(e);
        ++done;
    }
    // A stopped undo can be taken up again: the files given back already are found as they
    // were then.
    if (!stopped) undo_remove_made_temps(r);
    if (!stopped && !log_unavailable()) {
        if (!undo_mark_undone(r)) {
            errors_seen = 1;
            log_message("ERROR: Undo: Unable to mark the run as undone in %s (%s)\n", r.dir.c_str(),
                        os_error_text(os_last_error()).c_str());
        }
        log_message("INFO: Undo: the run is undone\n");
    }
    log_write_waiting();
    if (log_unavailable()) {
        o.end = run_end::log_unavailable;
        o.message = log_unavailable_text();
    } else if (errors_seen) {
        char text[200];
        snprintf(text, sizeof text, "ERRORS detected.  Please check logging file '%s'",
                 log_file_name);
        o.end = run_end::done_with_errors;
        o.message = text;
    } else if (stopped) {
        o.end = run_end::cancelled;
    }
    o.log_write_error = log_take_write_error();
    errors_seen = 0;
    run_state.busy = 0;
    if (!stopped) set_status("Undo done: %lu files looked at.", (unsigned long)done);
    return o;
}
