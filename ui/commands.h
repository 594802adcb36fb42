// The part of the window's command handling that does not depend on Win32: the run's
// commands change the run flags and fields, read the dialog's fields, start runs and show
// what came of them. The Win32 window procedure tries command_dispatch first for every
// command; the headless window dispatches its queued commands to it directly.
#pragma once

#include "scan/run.h"

// Result meaning "let the default window procedure handle the message".
constexpr long command_default = -1;

// Handles one of the run's commands (the ids of resource.h that it knows). Returns 1 if id is
// one of them, with *result set to what the window procedure returns (command_default:
// default processing); returns 0 for any other id.
int command_dispatch(int id, long *result);

// The window is being destroyed (WM_DESTROY): raises closing. The caller posts the quit
// message itself.
void command_window_destroyed();

// 1 while a run started by RUN is on the stack, its outcome box included (also while a
// cancelled run is still unwinding), so that Browse and a nested RUN can be refused.
int command_run_on_stack();

// What the last run started by RUN came to (run_end::done before the first one). The boxes it
// calls for have been shown; whether the program goes on is the front end's decision.
const run_outcome &command_last_outcome();

// What the last PREVIEW found (empty before the first one).
const preview_report &command_last_preview();

// Whether the runs started by RUN keep the originals for undo (the window always does;
// sarvelt-cli --no-undo does not).
void command_keep_originals(bool keep);

// command_dispatch for a caller that has no use for the result: what a headless window's host
// dispatches to.
void command_handle(int id);
