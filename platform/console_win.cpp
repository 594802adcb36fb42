// The console on Windows: a console window on standard output, Ctrl-C and Ctrl-Break as the
// interrupt, and output in the program's own code page.
#include "platform/console.h"

#include <windows.h>

#include <io.h>
#include <stdio.h>

#include <string>

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

int console_start_detached(const char *option) {
    std::wstring exe(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &exe[0], DWORD(exe.size()));
    if (length == 0 || length >= exe.size()) return 0;
    exe.resize(length);
    // A module's path holds no quote, so quoting it is enough.
    std::wstring command = L"\"" + exe + L"\" ";
    for (const char *c = option; *c; ++c) command += wchar_t((unsigned char)*c);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started;
    // No console and no handle of this process's: nothing waits on it, and it on nothing.
    if (!CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup,
                        &started))
        return 0;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return 1;
}
