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

std::string window_get_text(int control_id) {
    HWND dialog = live_dialog();
    HWND control = dialog ? GetDlgItem(dialog, control_id) : nullptr;
    if (!control) return std::string();
    // The length is a bound (it may count more than the text in some code pages); what the
    // control copies out is the text.
    std::string text(size_t(GetWindowTextLengthA(control)) + 1, '\0');
    int n = GetWindowTextA(control, &text[0], int(text.size()));
    text.resize(n > 0 ? size_t(n) : 0);
    return text;
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
    if (kind == box_question) icon = MB_ICONQUESTION;
    HWND owner = owned ? live_dialog() : nullptr;
    MessageBoxA(owner, text, caption, MB_OK | icon);
}

int window_ask_yes_no(const char *text, const char *caption) {
    return MessageBoxA(live_dialog(), text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES ? 1 : 0;
}

namespace {

// The list window: a list view filling a top-level window of its own.
constexpr const char *list_class = "SarveltList";

LRESULT CALLBACK list_window_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
    switch (message) {
    case WM_SIZE: {
        HWND list = GetWindow(window, GW_CHILD);
        if (list) MoveWindow(list, 0, 0, LOWORD(l), HIWORD(l), TRUE);
        return 0;
    }
    case WM_CLOSE: DestroyWindow(window); return 0;
    default: return DefWindowProcA(window, message, w, l);
    }
}

bool register_list_class() {
    static bool registered = false;
    if (registered) return true;
    WNDCLASSEXA c = {};
    c.cbSize = sizeof c;
    c.lpfnWndProc = list_window_proc;
    c.hInstance = GetModuleHandleA(nullptr);
    c.hCursor = LoadCursor(nullptr, IDC_ARROW);
    c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    c.lpszClassName = list_class;
    c.hIcon = LoadIconA(c.hInstance, ICON_RESOURCE_NAME);
    registered = RegisterClassExA(&c) != 0;
    return registered;
}

}  // namespace

void window_show_list(const char *caption, const std::vector<std::string> &columns,
                      const std::vector<std::vector<std::string>> &rows) {
    HWND owner = live_dialog();
    // The main dialog takes no input from here until the list is closed, and the list window
    // is shown only once it holds every row.
    if (owner) EnableWindow(owner, FALSE);
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&controls);
    auto give_back_owner = [&] {
        if (!owner) return;
        EnableWindow(owner, TRUE);
        SetForegroundWindow(owner);
    };
    if (!register_list_class()) return give_back_owner();
    // Four fifths of the screen's work area, in its middle.
    RECT area;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    const int width = (area.right - area.left) * 4 / 5;
    const int height = (area.bottom - area.top) * 4 / 5;
    HWND window = CreateWindowExA(0, list_class, caption, WS_OVERLAPPEDWINDOW,
                                  area.left + (area.right - area.left - width) / 2,
                                  area.top + (area.bottom - area.top - height) / 2, width, height,
                                  owner, nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!window) return give_back_owner();
    RECT inside;
    GetClientRect(window, &inside);
    HWND list = CreateWindowExA(0, WC_LISTVIEWA, "",
                                WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS,
                                0, 0, inside.right, inside.bottom, window, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    // The file and the change take the room; the count needs little.
    for (size_t c = 0; c < columns.size(); ++c) {
        LVCOLUMNA column = {};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<char *>(columns[c].c_str());
        column.cx = c == 1 ? width / 10 : width * 2 / 5;
        SendMessageA(list, LVM_INSERTCOLUMNA, WPARAM(c), LPARAM(&column));
    }
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < rows[r].size() && c < columns.size(); ++c) {
            LVITEMA item = {};
            item.mask = LVIF_TEXT;
            item.iItem = int(r);
            item.iSubItem = int(c);
            item.pszText = const_cast<char *>(rows[r][c].c_str());
            SendMessageA(list, c == 0 ? LVM_INSERTITEMA : LVM_SETITEMTEXTA, WPARAM(r), LPARAM(&item));
        }
    }
    ShowWindow(window, SW_SHOW);
    SetFocus(list);
    MSG msg;
    while (IsWindow(window)) {
        const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(int(msg.wParam));  // for the main loop, once this window is gone
            break;
        }
        if (got < 0) break;
        if ((msg.message == WM_KEYDOWN || msg.message == WM_SYSKEYDOWN) && msg.wParam == VK_ESCAPE) {
            DestroyWindow(window);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    if (IsWindow(window)) DestroyWindow(window);
    give_back_owner();
}
