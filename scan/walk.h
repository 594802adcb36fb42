// The directory walk: a folder and every folder below it, depth first, asking the selection
// about every file, counting the selected ones and, when applying, rewriting them with
// progress and the user's delay. It pumps messages between entries and obeys stop_walk and
// paused.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"

// Room of the walk's path buffer per level, terminator included.
constexpr int walk_path_room = 460;

// Visits dir (apply 0: counts the selected files in matched_count; apply 1: also rewrites
// each one with the search and replacement texts of run_fields). Folders whose names begin
// with '.' and folder links are not entered; the session log is never selected; a path that
// does not fit the walk's buffer is logged as an error (counting pass) and skipped.
void walk_directory(const char *dir, const char *file_type, uint64_t min_size, int apply);

// The Status line of the applying pass at a file: "Progress: <done> of <total> files.
// (<percent>%)", the percent as printf's "%0.0f" rounds double(done) * 100 / total (total at
// least 1).
std::string walk_progress_text(uint32_t done, uint32_t total);

// Whether a listing for the walk needs only the entries' names and kinds (no sizes, no times).
int walk_kinds_only(uint64_t min_size);

// The walk's choices, for whoever walks the same tree ahead of it (the pipeline). Would the walk
// enter the folder entry of dir? 1 with its path (ending with a separator) in path (room
// walk_path_room).
int walk_enters(const char *dir, const os_dir_entry &entry, char *path);
// Does it select the file entry of dir? 1 yes, with its path in path; 0 no; -1 the criteria
// select it but it cannot be handled (its path does not fit, or its name cannot be given
// exactly). check_log = 0 leaves out the look for the session log, which only the thread that
// owns the log may take.
int walk_picks(const char *dir, const os_dir_entry &entry, char *path, const char *file_type,
               uint64_t min_size, int check_log);
