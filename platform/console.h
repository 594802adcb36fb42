// The console of a command-line program: what it prints to, Ctrl-C, and the signals a rewrite
// must not die of. console_posix.cpp and console_win.cpp implement it.
#pragma once

// Prepares the process for its run: on POSIX a write past the file size limit (ulimit -f) fails
// as an ordinary write error instead of ending the process (SIGXFSZ ignored); on Windows the
// console shows the program's text in the program's code page (UTF-8 where the manifest sets
// it). console_restore gives the console back as it was.
void console_prepare();
void console_restore();

// 1 when standard output is a terminal (a console window on Windows).
int console_is_terminal();
// The terminal's width in characters; 80 when it cannot be told.
int console_columns();

// From now on Ctrl-C (and Ctrl-Break on Windows) raises a flag instead of ending the program.
void console_catch_interrupts();
// 1 if an interrupt came since the last call, which takes it.
int console_take_interrupt();

#if !defined(_WIN32)
// Starts this program again with the one argument option (a plain word such as "--x"), on its
// own: it outlives this process, and reads and writes no console or standard stream of it.
// 0 when it could not be started.
int console_start_detached(const char *option);
#endif
