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
#include "scan/run_state.h"
#include "scan/select.h"

namespace {

// Levels of walk_directory now on the stack: the outermost one starts a pass.
int walk_depth = 0;

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
    log_message("ERROR: Path too long (at most %d characters), %s skipped: %s\n",
                walk_path_room - (entry.is_dir ? 2 : 1), kind, shown_path(dir, entry.name).c_str());
}

// A listing that broke off part-way: the entries listed before are handled, and the user is
// told that the folder was not seen whole.
void report_broken_listing(const char *dir, uint32_t code) {
    errors_seen = 1;
    log_message(
        "ERROR: Unable to list the whole folder, only what was listed is handled: %s (%s)\n", dir,
        os_error_text(code).c_str());
}

// Puts the path of subfolder name into out, ending with a separator. 0 if it does not fit.
int join_folder(char *out, const char *dir, const char *name) {
    if (!join_path(out, walk_path_room, dir, name)) return 0;
    size_t n = strlen(out);
    if (n > 0 && out[n - 1] == path_separator) return 1;
    if (n + 2 > size_t(walk_path_room)) {
        out[0] = '\0';
        return 0;
    }
    out[n] = path_separator;
    out[n + 1] = '\0';
    return 1;
}

// The listing gives the entry's identity on some platforms; elsewhere it takes a look.
bool is_session_log(const char *path, const os_dir_entry &entry) {
    if (entry.id.volume != 0 || entry.id.index != 0) return log_is_session_log(entry.id);
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
// the walk was stopped meanwhile, then the user's delay.
void apply_to_file(const char *path) {
    if (run_state.total_matches == 0) run_state.total_matches = 1;
    uint32_t done = run_state.matched_count;
    uint32_t total = run_state.total_matches;
    set_status("Progress: %lu of %lu files. (%0.0f%%)", (unsigned long)done, (unsigned long)total,
               double(done) * 100.0 / double(total));
    set_progress_position(uint32_t((uint64_t(done) + 1) * 1000 / total));
    if (!run_state.stop_walk) update_file(path, run_fields.search_text, run_fields.replace_text);
    wait_ticks(read_delay_field());
}

// One entry of the folder dir; path is the level's buffer. Returns 0 when the walk is to stop.
int handle_entry(const char *dir, const os_dir_entry &entry, char *path, const char *file_type,
                 uint64_t min_size, int apply) {
    pump_one_message();
    if (stopped()) return 0;
    if (!wait_while_paused()) return 0;

    if (entry.is_dir) {
        if (entry.name[0] == '.') return 1;  // ".git" and the like are never entered
        if (entry.unrepresentable || !join_folder(path, dir, entry.name.c_str())) {
            report_skipped(dir, entry, apply);
            return log_unavailable() ? 0 : 1;
        }
        walk_directory(path, file_type, min_size, apply);
        return 1;
    }

    int selected = file_matches(entry, file_type, min_size) &&
                   file_matches_name_age(entry, run_fields.min_name_len, run_fields.oldest_mtime);
    if (selected) {
        if (entry.unrepresentable || !join_path(path, walk_path_room, dir, entry.name.c_str())) {
            report_skipped(dir, entry, apply);
            selected = 0;
        } else if (is_session_log(path, entry)) {
            selected = 0;
        }
    }
    if (selected) ++run_state.matched_count;
    pump_one_message();
    if (apply && selected) apply_to_file(path);
    return log_unavailable() ? 0 : 1;
}

}  // namespace

void walk_directory(const char *dir, const char *file_type, uint64_t min_size, int apply) {
    char *path = static_cast<char *>(malloc(walk_path_room));
    if (run_state.total_matches % 10 == 0)
        set_status(apply ? "Scanning Directories..." : "Scanning Directories...please wait...");
    pump_one_message();
    if (stopped() || !path) {
        free(path);
        return;
    }
    // A pass starts: the session log may have been created or replaced since the last one.
    if (walk_depth == 0) log_refresh_identity();

    // An empty path names no folder (on Windows it would list the current one).
    std::vector<os_dir_entry> entries;
    int listed = dir[0] != '\0' ? os_list_dir(dir, &entries, pump_one_message) : 0;
    if (listed < 0) report_broken_listing(dir, os_last_error());
    if (listed != 0) {
        ++walk_depth;
        for (const os_dir_entry &entry : entries)
            if (!handle_entry(dir, entry, path, file_type, min_size, apply)) break;
        --walk_depth;
    }
    free(path);
}
