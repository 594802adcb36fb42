// The main dialog's window procedure: which commands go to the portable command handling,
// and the boxes, the folder picker and the system-menu items that only the Win32 program has.
#include <windows.h>
#include <stdio.h>
#include <string.h>

// After windows.h: resource.h takes over two of its cursor names.
#include "platform/window_win.h"
#include "resources/resource.h"
#include "resources/license.h"
#include "resources/version.h"
#include "scan/run_state.h"
#include "ui/commands.h"
#include "ui/gui.h"

namespace {

const char help_box_text[] =
    "\nSarvelt and replace text\n\n"
    "Enter filespecs, search and replace strings, and click RUN.\n"
    "Program will search for files meeting criteria.\n\n"
    "When found, the files will be modified.\n"
    "NOTE: Files' date time stamps will be preserved\n\n\n\n" SARVELT_COPYRIGHT "\n\n";

// LICENSE itself, ending with a blank line.
const char license_box_text[] = SARVELT_LICENSE_TEXT "\n";

// The About box's text is formatted into a buffer of this size; the whole text fits.
constexpr int about_room = 200;

// Browse: the folder picker writes the chosen folder to folder_path, and the Path field shows
// it; a cancelled picker leaves folder_path empty and the field as it was (the next RUN reads
// the field again). Does nothing while a run is on the stack: the walk's top level is
// enumerating folder_path. The result is 1 only when a folder was chosen.
LRESULT on_browse(HWND window) {
    if (command_run_on_stack()) return 0;
    if (!browse_for_folder(window, &run_fields.folder_path)) return 0;
    SetDlgItemTextA(window, IDC_PATH, run_fields.folder_path.c_str());
    return 1;
}

void show_about_box(HWND window) {
    char text[about_room];
    format_about_text(text, about_room);
    MessageBoxA(window, text, "Corvane About", MB_OK);
    SetFocus(GetDlgItem(window, IDC_RUN));
}

// The control that had the keyboard focus when the window was last deactivated. The window
// serves a dialog through a class of its own, so the dialog manager does not keep it: the
// window gives the focus back to that control whenever it is activated again (after a box,
// or when the user comes back to it), as a dialog does.
HWND focus_kept = nullptr;

LRESULT on_activate(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (LOWORD(wparam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(window, focus)) focus_kept = focus;
        return 0;
    }
    if (focus_kept && IsWindow(focus_kept) && IsChild(window, focus_kept)) {
        SetFocus(focus_kept);
        return 0;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

// After RUN: a run's pumps hold a quit request aside, and once the outermost run has returned
// the main loop gets it back. A run that found the session log unusable ends the program, as
// the log's box (already shown) says: the window goes, and the main loop ends with code 0.
void after_run(HWND window) {
    if (command_run_on_stack()) return;
    window_restore_quit();
    if (command_last_outcome().end == run_end::log_unavailable) DestroyWindow(window);
}

// WM_COMMAND: the whole wParam is the id, so notifications (edit changes and the like) carry
// another value and fall through to default processing. The portable command handling is
// asked first; what it does not know is the Win32 program's own.
LRESULT on_command(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    int id = wparam <= 0xFFFF ? int(wparam) : -1;
    long result = command_default;
    if (id >= 0 && command_dispatch(id, &result)) {
        if (id == IDC_RUN) after_run(window);
        if (result != command_default) return LRESULT(result);
        return DefWindowProcA(window, message, wparam, lparam);
    }
    switch (id) {
    case IDC_BROWSE: return on_browse(window);
    case IDC_HELP: MessageBoxA(window, help_box_text, "Help", MB_OK); break;
    case IDC_LICENSE: MessageBoxA(window, license_box_text, "License", MB_OK); return 1;
    default: break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

void format_about_text(char *out, int room) {
    snprintf(out, size_t(room), "Sarvelt\nVersion %s \n" SARVELT_COPYRIGHT "\n\n", SARVELT_VERSION);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_COMMAND: return on_command(window, message, wparam, lparam);
    case WM_SYSCOMMAND:
        if (wparam == IDM_ABOUT) {
            show_about_box(window);
            return 1;
        }
        if (wparam == IDM_HELP) {
            PostMessageA(window, WM_COMMAND, IDC_HELP, 0);
            return 1;
        }
        break;
    case WM_ACTIVATE: return on_activate(window, message, wparam, lparam);
    case WM_DESTROY:
        command_window_destroyed();
        PostQuitMessage(0);
        return 0;
    default: break;
    }
    return DefWindowProcA(window, message, wparam, lparam);
}
