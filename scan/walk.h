// The directory walk: a folder and every folder below it, depth first, asking the selection
// about every file, counting the selected ones and, when applying, rewriting them with
// progress and the user's delay. It pumps messages between entries and obeys stop_walk and
// paused.
#pragma once

#include <cstdint>
#include <string>

#include "platform/os.h"
#include "scan/pipeline.h"
#include "scan/select.h"

// Visits dir and the folders below it that sel enters (apply 0: counts the files sel picks in
// matched_count; apply 1: also rewrites each one with the search and replacement texts of the
// running pipeline, or of run_fields without one). Folder links are not entered; the session
// log is never selected; a path longer than the system takes (path_fits) is logged as an
// error (counting pass) and skipped.
void walk_directory(const char *dir, const selection &sel, int apply);
// The applying pass with another action than the rewrite for each selected file in its turn
// (a preview): the same walk, progress, delay and commands.
using walk_file_action = void (*)(const walk_position &at, const std::string &path);
void walk_directory(const char *dir, const selection &sel, walk_file_action action);
// The same with file_type and min_size as the whole selection (no Name Len, no Age days).
void walk_directory(const char *dir, const char *file_type, uint64_t min_size, int apply);

// The Status line of the applying pass at a file: "Progress: <done> of <total> files.
// (<percent>%)", the percent as printf's "%0.0f" rounds double(done) * 100 / total (total at
// least 1).
std::string walk_progress_text(uint32_t done, uint32_t total);

// The walk's choices, for whoever walks the same tree ahead of it (the pipeline). Does the walk
// enter the entry of dir? 1 yes, with its path (ending with a separator) in path; 0 no; -1 sel
// would enter it but it cannot be handled (its path is longer than the system takes, or its
// name cannot be given exactly).
int walk_enters(const char *dir, const os_dir_entry &entry, std::string *path,
                const selection &sel);
// Does it select the file entry of dir? 1 yes, with its path in path; 0 no; -1 sel picks it
// but it cannot be handled (as for walk_enters). check_log = 0 leaves out the look for the
// session log, which only the thread that owns the log may take.
int walk_picks(const char *dir, const os_dir_entry &entry, std::string *path,
               const selection &sel, int check_log);
