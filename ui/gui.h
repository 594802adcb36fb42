// The Win32 program: the main dialog's window procedure, the folder picker and the system
// menu's extra items. Start-up (WinMain) is in winmain.cpp.
#pragma once

#include <windows.h>

#include <string>

// The window procedure of the class "Sarvelt", which serves the main dialog: the buttons, the
// Esc key, the system menu's items and the program's own commands.
LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// Shows the shell's folder picker owned by owner. Returns 1 with the chosen path in out, of
// any length, or 0 with out empty when nothing was chosen or the path cannot be given exactly
// in the program's code page.
int browse_for_folder(HWND owner, std::string *out);

// Grays Maximize and Size in a window's system menu, then appends a separator, "&About..."
// (IDM_ABOUT) and "&Help..." (IDM_HELP).
void extend_system_menu(HMENU menu);

// Formats the About text into out (room bytes).
void format_about_text(char *out, int room);
