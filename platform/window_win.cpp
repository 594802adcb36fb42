// The window seam on Win32: control texts, the progress bar, the message pump and message
// boxes of the real main dialog.
#include "platform/window_win.h"

#include <commctrl.h>
#include <string.h>

#include "platform/window.h"
#include "resources/resource.h"

namespace {

// Process-wide, null until start-up and command 200 set them; never cleared, so they go
// stale when the window is destroyed: IsWindow guards every use.
HWND main_dialog = nullptr;
HWND progress_bar = nullptr;

// A quit request that a run's pump took from the queue, held until the run has returned.
int quit_held = 0;
WPARAM quit_code = 0;

HWND live_dialog() { return main_dialog && IsWindow(main_dialog) ? main_dialog : nullptr; }
HWND live_progress() { return progress_bar && IsWindow(progress_bar) ? progress_bar : nullptr; }

}  // namespace

void window_attach(HWND dialog) { main_dialog = dialog; }

void window_restore_quit() {
    if (!quit_held) return;
    quit_held = 0;
    PostQuitMessage(int(quit_code));
}

int window_alive() { return live_dialog() ? 1 : 0; }

void window_set_text(int control_id, const char *text) {
    HWND dialog = live_dialog();
    if (dialog) SetDlgItemTextA(dialog, control_id, text);
}

void window_get_text(int control_id, char *out, int room) {
    if (room <= 0) return;
    out[0] = '\0';
    HWND dialog = live_dialog();
    if (!dialog) return;
    GetDlgItemTextA(dialog, control_id, out, room);
    out[room - 1] = '\0';
}

void window_setup_progress() {
    HWND dialog = live_dialog();
    if (!dialog) return;
    progress_bar = GetDlgItem(dialog, IDC_PROGRESS);
    if (!progress_bar) return;
    SendMessageA(progress_bar, PBM_SETRANGE, 0, MAKELPARAM(0, 1000));
    SendMessageA(progress_bar, PBM_SETSTEP, 1, 0);
    SendMessageA(progress_bar, PBM_SETBARCOLOR, 0, RGB(0, 255, 0));
    SendMessageA(progress_bar, PBM_SETPOS, 0, 0);
}

void window_set_progress(int position) {
    HWND bar = live_progress();
    if (!bar) return;
    if (position < 0) position = 0;
    if (position > 1000) position = 1000;
    SendMessageA(bar, PBM_SETPOS, WPARAM(position), 0);
}

int window_pump_one() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return 0;
    if (msg.message == WM_QUIT) {
        // The main loop must still see the quit request once the run has returned:
        // window_restore_quit puts it back then. Held aside meanwhile, it does not end the
        // message loop of a box the run still shows (the end-of-run error box).
        quit_held = 1;
        quit_code = msg.wParam;
        return 1;
    }
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    return 1;
}

void window_post_command(int id) {
    HWND dialog = live_dialog();
    if (dialog) PostMessageA(dialog, WM_COMMAND, WPARAM(id), 0);
}

void window_request_close() {
    HWND dialog = live_dialog();
    if (dialog) PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

void window_message_box(int owned, const char *text, const char *caption, window_box_kind kind) {
    UINT icon = 0;
    if (kind == box_warning) icon = MB_ICONWARNING;
    if (kind == box_error) icon = MB_ICONERROR;
    HWND owner = owned ? live_dialog() : nullptr;
    MessageBoxA(owner, text, caption, MB_OK | icon);
}
