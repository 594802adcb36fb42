// The directory walk. Each folder is listed in full (sorted by name) before any of its entries
// is handled, so the files that a rewrite creates or renames are never visited twice. The walk
// pumps window messages on entering a folder, at each entry and after each selection test, and
// checks stop_walk after those pumps, so the user's commands take effect between entries.
#include "scan/walk.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "log/log.h"
#include "platform/os.h"
#include "scan/pipeline.h"
#include "scan/run_state.h"

namespace {

// The index of the entry in hand at every level of walk_directory now on the stack; empty
// between passes.
walk_position position;

// One folder and everything below it: counting without an action, applying it with one.
void walk_level(const char *dir, const selection &sel, walk_file_action action);

// dir and name as the log shows them, whether or not they fit a path.
std::string shown_path(const char *dir, const std::string &name) {
    std::string path(dir);
    if (!path.empty() && path.back() != path_separator && path.back() != '/')
        path += path_separator;
    return path + name;
}

// An entry of dir that the walk cannot handle: its path does not fit the walk's buffer, or its
// name cannot be given exactly in the code page. Logged and marked as an error in the counting
// pass only, so that each one is logged once per run.
void report_skipped(const char *dir, const os_dir_entry &entry, int apply) {
    if (apply) return;
    errors_seen = 1;
    const char *kind = entry.is_dir ? "folder" : "file";
    if (entry.unrepresentable) {
        log_message(
            "ERROR: Name not representable in this system's code page, %s skipped: %s in folder %s\n",
            kind, entry.name.c_str(), dir);
        return;
    }
    // A folder's path needs room for its closing separator too.
    log_message("ERROR: %s, %s skipped: %s\n", path_too_long_within(entry.is_dir ? 1 : 0).c_str(),
                kind, shown_path(dir, entry.name).c_str());
}

// A folder that could not be listed, or not whole (result of os_list_dir 0 or -1): the user is
// told, since files below it may be left as they were. One that is gone, or is no folder any
// more, has nothing below it to miss.
void report_listing(const char *dir, int listed, uint32_t code) {
    os_stat st;
    if (listed == 0 && (!os_stat_path(dir, &st, 1) || !st.is_dir)) return;
    errors_seen = 1;
    const char *what = listed == 0
                           ? "Unable to list the folder, nothing in it is handled"
                           : "Unable to list the whole folder, only what was listed is handled";
    log_message("ERROR: %s: %s (%s)\n", what, dir, os_error_text(code).c_str());
}

// An entry whose facts the listing could not read: it cannot be judged, so it is said (in
// either pass: the next listing may see it whole).
void report_unreadable_entry(const char *dir, const os_dir_entry &entry) {
    errors_seen = 1;
    log_message("ERROR: Unable to look at the entry, skipped: %s (%s)\n",
                shown_path(dir, entry.name).c_str(), os_error_text(entry.error).c_str());
}

// Puts the path of subfolder name into out, ending with a separator. 0 if that is longer than
// a path may be.
int join_folder(std::string *out, const char *dir, const char *name) {
    join_path(out, dir, name);
    if (out->empty() || out->back() != path_separator) out->push_back(path_separator);
    return path_fits(*out) ? 1 : 0;
}

// The listing gives the entry's identity on some platforms; elsewhere it takes a look. A file
// named like the log is always looked at, so that the log is known by its true identity.
bool is_session_log(const char *path, const os_dir_entry &entry) {
    bool listed_id = entry.id.volume != 0 || entry.id.index != 0;
    if (listed_id && entry.name != log_file_name) return log_is_session_log(entry.id);
    os_stat st;
    return os_stat_path(path, &st, 1) && log_is_session_log(st.id);
}

// The walk stops when the user stops it, and at once when the session log cannot be opened:
// nothing may be done that the log cannot tell.
bool stopped() { return run_state.stop_walk || log_unavailable(); }

// Holds the walk while paused, pumping messages. Returns 0 when the walk is to stop. A pause
// also ends when the window is closing, since no command can end it then.
int wait_while_paused() {
    while (run_state.paused) {
        if (run_state.stop_walk) return 0;
        if (run_state.closing) break;
        wait_ticks(10);
    }
    return run_state.stop_walk ? 0 : 1;
}

// A selected file of the applying pass: progress (the bar one file ahead), the rewrite unless
// the walk was stopped meanwhile, then the user's delay (while one is set, nothing is prepared
// ahead of the walk).
void apply_to_file(const char *path, walk_file_action action) {
    if (run_state.total_matches == 0) run_state.total_matches = 1;
    uint32_t done = run_state.matched_count;
    uint32_t total = run_state.total_matches;
    set_status_text(walk_progress_text(done, total).c_str());
    set_progress_position(uint32_t((uint64_t(done) + 1) * 1000 / total));
    if (!run_state.stop_walk) action(position, path);
    int32_t delay = read_delay_field();
    pipeline_ahead(delay <= 0);
    wait_ticks(delay);
}

// One entry of the folder dir; path is the level's own. Returns 0 when the walk is to stop.
int handle_entry(const char *dir, const os_dir_entry &entry, std::string &path,
                 const selection &sel, walk_file_action action) {
    const int apply = action ? 1 : 0;
    pump_one_message();
    if (stopped()) return 0;
    if (!wait_while_paused()) return 0;

    if (entry.error) {
        report_unreadable_entry(dir, entry);
        return log_unavailable() ? 0 : 1;
    }
    if (entry.is_dir) {
        const int enters = walk_enters(dir, entry, &path, sel);
        if (enters == 0) return 1;
        if (enters < 0) {
            report_skipped(dir, entry, apply);
            return log_unavailable() ? 0 : 1;
        }
        walk_level(path.c_str(), sel, action);
        return 1;
    }

    int selected = walk_picks(dir, entry, &path, sel, 1);
    if (selected < 0) report_skipped(dir, entry, apply);
    if (selected > 0) ++run_state.matched_count;
    pump_one_message();
    if (apply && selected > 0) apply_to_file(path.c_str(), action);
    return log_unavailable() ? 0 : 1;
}

// The rewrite of a file in its turn, with the work ahead of the walk.
void rewrite_in_turn(const walk_position &at, const std::string &path) { pipeline_commit(at, path); }

}  // namespace

void walk_directory(const char *dir, const selection &sel, int apply) {
    walk_level(dir, sel, apply ? rewrite_in_turn : nullptr);
}

void walk_directory(const char *dir, const selection &sel, walk_file_action action) {
    walk_level(dir, sel, action);
}

namespace {

void walk_level(const char *dir, const selection &sel, walk_file_action action) {
    const int apply = action ? 1 : 0;
    std::string path;
    if (run_state.total_matches % 10 == 0)
        set_status(apply ? "Scanning Directories..." : "Scanning Directories...please wait...");
    pump_one_message();
    if (stopped()) return;
    // A pass starts: the session log may have been created or replaced since the last one.
    if (position.empty()) log_refresh_identity();

    // In the applying pass the scout has mostly listed the folder already, moments ago.
    std::shared_ptr<const std::vector<os_dir_entry>> scouted =
        apply ? pipeline_listing(position, dir) : nullptr;
    std::vector<os_dir_entry> own;
    if (!scouted) {
        // An empty path names no folder (on Windows it would list the current one).
        int listed = dir[0] != '\0'
                         ? os_list_dir(dir, &own, pump_one_message, sel.kinds_only())
                         : 0;
        if (listed != 1 && dir[0] != '\0') report_listing(dir, listed, os_last_error());
    }
    const std::vector<os_dir_entry> &entries = scouted ? *scouted : own;
    if (apply) pipeline_listed(position);
    // The applying pass looks up each file of the folder in the folder held open, from the last
    // look to the swap and the time, rather than through every folder of its path each time
    // (where the platform can). A subfolder holds its own; this one is held again after it.
    os_folder here;
    if (apply && dir[0] != '\0') os_open_folder(dir, &here);
    for (size_t i = 0; i < entries.size(); ++i) {
        os_use_folder(here.handle != -1 ? &here : nullptr);
        position.push_back(uint32_t(i));
        int go_on = handle_entry(dir, entries[i], path, sel, action);
        position.pop_back();
        if (!go_on) break;
    }
    os_use_folder(nullptr);
    os_close_folder(&here);
    if (position.empty()) log_write_waiting();  // the pass is over
}

}  // namespace

void walk_directory(const char *dir, const char *file_type, uint64_t min_size, int apply) {
    selection sel;
    read_type_list(file_type ? file_type : "", &sel.types);
    sel.min_size = min_size;
    walk_directory(dir, sel, apply);
}

int walk_enters(const char *dir, const os_dir_entry &entry, std::string *path,
                const selection &sel) {
    if (!entry.is_dir || !sel.enters(entry)) return 0;
    return !entry.unrepresentable && join_folder(path, dir, entry.name.c_str()) ? 1 : -1;
}

int walk_picks(const char *dir, const os_dir_entry &entry, std::string *path,
               const selection &sel, int check_log) {
    if (entry.error || entry.is_dir || !sel.picks(entry)) return 0;
    if (entry.unrepresentable) return -1;
    join_path(path, dir, entry.name.c_str());
    if (!path_fits(*path)) return -1;
    return check_log && is_session_log(path->c_str(), entry) ? 0 : 1;
}

std::string walk_progress_text(uint32_t done, uint32_t total) {
    const uint64_t scaled = uint64_t(done) * 100;
    uint64_t percent = scaled / total;
    const uint64_t rest = scaled % total;
    if (2 * rest > total || (2 * rest == total && percent % 2 == 1)) ++percent;
    return "Progress: " + std::to_string(done) + " of " + std::to_string(total) + " files. (" +
           std::to_string(percent) + "%)";
}
