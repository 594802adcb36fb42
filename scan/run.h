// One press of RUN: the checks of the fields, a counting pass over the folder tree, then a pass
// that rewrites the selected files, and what came of it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/preview.h"
#include "undo/undo.h"

// How a run ended.
enum class run_end {
    refused,           // the fields cannot be run; nothing was touched
    done,              // the run went through without errors
    done_with_errors,  // errors were logged (the error mark was raised)
    cancelled,         // CANCEL / RESET or QUIT stopped it
    log_unavailable,   // the session log could not be opened; the run stopped at once
    already_running,   // a run was in progress: nothing was started
};

struct run_outcome {
    run_end end = run_end::done;
    // refused: why, for the user; done_with_errors: the error summary ("ERRORS detected.
    // Please check logging file 'logging.log'"); log_unavailable: the log's own message.
    std::string message;
    // The system's error of a write to the session log that failed during the run (0: none).
    uint32_t log_write_error = 0;
    // A run's files by what came of them (the rewrite only).
    uint64_t rewritten = 0, untouched = 0, left_alone = 0, failed = 0;
};

// Runs over run_fields (folder_path, file_type, min_size, search and replacement texts, Name
// Len and Age days). Returns when both passes are over or the walk was stopped, or at once when
// the fields are refused (nothing shown, nothing touched) or a run is already in progress.
// keep_originals: each file's original is kept in the undo store before its swap (undo.h);
// a store that cannot be made refuses the run before anything is touched.
run_outcome run_search_replace(bool keep_originals = true);

// What a preview found: the files that would change (in walk order, each with its count and
// first changed lines), the replacements in all, the selected files read, and those left
// alone with the reason.
struct preview_row {
    std::string path;
    file_preview what;
};
struct preview_report {
    std::vector<preview_row> changes;
    uint64_t replacements = 0;
    uint64_t files_read = 0;
    std::vector<std::pair<std::string, std::string>> left_alone;  // path, reason
};

// A preview over run_fields: the same checks, selection, walk, progress and commands as
// run_search_replace, every selected file read through the line replacement, nothing written,
// renamed or touched. Its entries in the log are marked "Preview".
run_outcome run_preview(preview_report *report);

// The latest run on the folder a Path names that is not undone yet. 1 found, 0 none.
int undo_latest_for(const char *path, undo_record *out);
// What the window asks before it undoes r (its time, Path, texts and files).
std::string undo_question(const undo_record &r);
// Gives back each file of r that still holds what r wrote (undo.h), with progress, PAUSE and
// CANCEL; a file changed since is left and reported. r is then undone, unless the undo was
// stopped (it can be taken up again). done_with_errors when a file could not be given back.
run_outcome run_undo(const undo_record &r);

// 1 while run_search_replace is on the stack, also while a cancelled run is still unwinding.
int run_in_progress();
