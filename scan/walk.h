// The directory walk: a folder and every folder below it, depth first, asking the selection
// about every file, counting the selected ones and, when applying, rewriting them with
// progress and the user's delay. It pumps messages between entries and obeys stop_walk and
// paused.
#pragma once

#include <cstdint>

// Room of the walk's path buffer per level, terminator included.
constexpr int walk_path_room = 460;

// Visits dir (apply 0: counts the selected files in matched_count; apply 1: also rewrites
// each one with the search and replacement texts of run_fields). Folders whose names begin
// with '.' and folder links are not entered; the session log is never selected; a path that
// does not fit the walk's buffer is logged as an error (counting pass) and skipped.
void walk_directory(const char *dir, const char *file_type, uint64_t min_size, int apply);
