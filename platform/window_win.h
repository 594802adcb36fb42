// The Win32 side of the window seam: start-up hands the main dialog to it, and the window
// operations of window.h then act on that dialog and on its progress bar.
#pragma once

#include <windows.h>

// Keeps the main dialog's handle for the whole process (start-up calls it once).
void window_attach(HWND dialog);

// Puts back in the queue a quit request that window_pump_one took during a run, so that the
// main loop ends; called when the run has returned. Does nothing when none was taken.
void window_restore_quit();
