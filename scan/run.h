// One press of RUN: a counting pass over the folder tree, then a pass that rewrites the
// selected files, then the error summary.
#pragma once

// The text of the error summary, formatted with the log file's name.
extern const char *const run_errors_format;

// Runs over run_fields (folder_path, file_type, min_size, search and replacement texts, Name
// Len and Age days). Returns at once if busy is raised. Returns when both passes are over or
// the walk was stopped.
void run_search_replace();

// 1 while run_search_replace is on the stack, also while a cancelled run is still unwinding.
int run_in_progress();

// Why RUN refuses the fields now in run_fields, as the text the user is shown; nullptr when
// they can be run.
const char *run_refusal();
