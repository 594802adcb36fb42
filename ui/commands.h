// The part of the window's command handling that does not depend on Win32: the run's
// commands change the run flags and fields, read the dialog's fields and start runs. The
// Win32 window procedure calls command_dispatch for these ids; the headless window
// dispatches its queued commands to it directly.
#pragma once

// Result meaning "let the default window procedure handle the message".
constexpr long command_default = -1;

// Handles one of the run's commands: CMD_INIT (200), CMD_READ_FIELDS (201), CMD_DEFAULTS (202),
// CMD_WAITING (400), CMD_NOTHING (401), IDC_RUN (128), IDC_PAUSE (151), IDC_CANCEL_RESET (150),
// CMD_ESCAPE (2) and IDC_QUIT (8). Returns 1 if id is one of them, with *result set to what the
// window procedure returns (command_default: default processing); returns 0 for any other id.
int command_dispatch(int id, long *result);

// The window is being destroyed (WM_DESTROY): raises closing. The caller posts the quit
// message itself.
void command_window_destroyed();

// 1 while a run is on the stack (also while a cancelled run is still unwinding), so that
// Browse and a nested RUN can be refused.
int command_run_on_stack();
