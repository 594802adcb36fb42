// The console on Windows: a console window on standard output, Ctrl-C and Ctrl-Break as the
// interrupt, and output in the program's own code page.
#include "platform/console.h"

#include <windows.h>

#include <io.h>
#include <stdio.h>

namespace {

volatile LONG interrupt_pending = 0;
UINT console_output_cp_before = 0;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    InterlockedExchange(&interrupt_pending, 1);
    return TRUE;
}

}  // namespace

void console_prepare() {
    // The program's text is in its code page (UTF-8 under its manifest); the console shows
    // bytes in the console's own code page, so it is given the program's for the run.
    console_output_cp_before = GetConsoleOutputCP();
    if (console_output_cp_before != 0 && console_output_cp_before != GetACP())
        SetConsoleOutputCP(GetACP());
}

void console_restore() {
    if (console_output_cp_before != 0 && console_output_cp_before != GetConsoleOutputCP())
        SetConsoleOutputCP(console_output_cp_before);
}

int console_is_terminal() { return _isatty(_fileno(stdout)) != 0 ? 1 : 0; }

int console_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

void console_catch_interrupts() { SetConsoleCtrlHandler(on_console_event, TRUE); }

int console_take_interrupt() { return InterlockedExchange(&interrupt_pending, 0) != 0 ? 1 : 0; }
