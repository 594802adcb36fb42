// Start-up: the window class, the modeless main dialog, its system menu, and the message
// loop with its key filters.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>

#include "platform/window_win.h"
#include "resources/resource.h"
#include "resources/version.h"
#include "ui/gui.h"

namespace {

const char *const class_name = "Sarvelt";

// The instance handle, kept for the whole process.
HINSTANCE program_instance = nullptr;

int register_main_class(HINSTANCE instance) {
    WNDCLASSEXA wc;
    ZeroMemory(&wc, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = main_window_proc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = DLGWINDOWEXTRA;  // the class serves a dialog
    wc.hInstance = instance;
    wc.hIcon = LoadIconA(instance, ICON_RESOURCE_NAME);
    wc.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = class_name;
    wc.hIconSm = nullptr;
    return RegisterClassExA(&wc) != 0;
}

// The main loop. F12 shows the "Info" box and then goes on like any key; every Alt key
// combination is dropped (Alt+F4 first destroys the window), so none reaches the dialog or
// the system menu; the rest goes through the dialog's keyboard handling, which turns Esc
// into command 2.
int run_message_loop(HWND window) {
    MSG msg;
    msg.wParam = 0;
    for (;;) {
        BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) break;
        if (got == -1) return 1;  // the queue is unusable: end instead of spinning
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_F12)
            MessageBoxA(window, "With God, all things are possible.", "Info", MB_OK);
        if (msg.message == WM_SYSKEYDOWN) {
            if (msg.wParam == VK_F4) DestroyWindow(window);
            continue;
        }
        if (!IsDialogMessageA(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return int(msg.wParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR, int show) {
    program_instance = instance;
    char title[64];
    snprintf(title, sizeof title, "Sarvelt Vers %s", SARVELT_VERSION);

    if (!previous && !register_main_class(instance)) {
        MessageBoxA(nullptr, "Window Registration Failed!", "Error!", MB_ICONEXCLAMATION | MB_OK);
        return 0;
    }

    // The dialog holds a progress bar: its class must exist before the dialog is created.
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);

    HWND window = CreateDialogA(program_instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, nullptr);
    if (!window) {
        MessageBoxA(nullptr, "Could not create window - Appname Issue?", "ERROR",
                    MB_ICONERROR | MB_OK);
        return 1;
    }
    window_attach(window);
    extend_system_menu(GetSystemMenu(window, FALSE));

    PostMessageA(window, WM_COMMAND, CMD_INIT, 0);
    ShowWindow(window, show);
    SetWindowTextA(window, title);
    UpdateWindow(window);
    return run_message_loop(window);
}
