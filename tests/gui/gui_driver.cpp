// Drives sarvelt.exe from outside, as a user would: starts it, finds its window by class,
// reads and sets control texts, presses buttons, posts keys, reads the progress bar and the
// message boxes, and checks the files of a run and the exit code.
//
//   gui_driver <scenario> <path of sarvelt.exe> [<handshake folder>]
//   gui_driver --list
//
// --list prints the name of every scenario, one per line: the build registers one test per
// name from it, so the table below is the one list of scenarios.
//
// Runs in the current folder: the program starts there (so logging.log lands there) and the
// test trees are made below it. Prints one line per failed check; exit status 0 when every
// check held. The program under test is ended on every way out.
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "resources/resource.h"

namespace {

int failures = 0;
const char *scenario_name = "";

#define CHECK(cond)                                                                    \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            printf("FAIL %s:%d [%s]: %s\n", __FILE__, __LINE__, scenario_name, #cond); \
            fflush(stdout);                                                            \
            failures++;                                                                \
        }                                                                              \
    } while (0)

#define CHECK_EQ_STR(actual, expected)                                                     \
    do {                                                                                   \
        std::string a_ = (actual), e_ = (expected);                                        \
        if (a_ != e_) {                                                                    \
            printf("FAIL %s:%d [%s]: %s is \"%s\", expected \"%s\"\n", __FILE__, __LINE__, \
                   scenario_name, #actual, a_.c_str(), e_.c_str());                        \
            fflush(stdout);                                                                \
            failures++;                                                                    \
        }                                                                                  \
    } while (0)

// Stops the scenario: a step the rest depends on did not happen.
struct abort_scenario {};
#define REQUIRE(cond)                                                                           \
    do {                                                                                        \
        if (!(cond)) {                                                                          \
            printf("FAIL %s:%d [%s]: required %s\n", __FILE__, __LINE__, scenario_name, #cond); \
            fflush(stdout);                                                                     \
            failures++;                                                                         \
            throw abort_scenario();                                                             \
        }                                                                                       \
    } while (0)

// ---- the program under test ----

std::string program_path;
PROCESS_INFORMATION program = {};
HWND main_window = nullptr;

const DWORD send_timeout_ms = 5000;

bool program_running() {
    return program.hProcess && WaitForSingleObject(program.hProcess, 0) == WAIT_TIMEOUT;
}

// The program's top-level window of class "Sarvelt".
HWND find_main_window() {
    HWND w = nullptr;
    while ((w = FindWindowExA(nullptr, w, "Sarvelt", nullptr)) != nullptr) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid == program.dwProcessId) return w;
    }
    return nullptr;
}

std::string text_of(HWND w) {
    if (!w) return "<no window>";
    char buf[8192];
    buf[0] = '\0';
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutA(w, WM_GETTEXT, sizeof buf, LPARAM(buf), SMTO_ABORTIFHUNG,
                             send_timeout_ms, &got))
        return "<no answer>";
    buf[sizeof buf - 1] = '\0';
    return buf;
}

HWND control(int id) { return GetDlgItem(main_window, id); }
std::string field(int id) { return text_of(control(id)); }

void set_field(int id, const std::string &text) {
    DWORD_PTR got = 0;
    SendMessageTimeoutA(control(id), WM_SETTEXT, 0, LPARAM(text.c_str()), SMTO_ABORTIFHUNG,
                        send_timeout_ms, &got);
}

// A button press as the button itself reports it to the dialog.
void press(int id) {
    PostMessageA(main_window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), LPARAM(control(id)));
}

// A button press the way the mouse makes one: the button handles BM_CLICK and notifies.
void click(int id) { PostMessageA(control(id), BM_CLICK, 0, 0); }

int progress_position() {
    DWORD_PTR pos = DWORD_PTR(-1);
    if (!SendMessageTimeoutA(control(IDC_PROGRESS), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG,
                             send_timeout_ms, &pos))
        return -1;
    return int(pos);
}

// Waits (polling every 20 ms) until pred holds or the time is up.
template <class Pred>
bool wait_for(Pred pred, DWORD timeout_ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (pred()) return true;
        if (GetTickCount() - start > timeout_ms) return false;
        Sleep(20);
    }
}

// The colour on screen in the middle of the filled part of the progress bar (a full bar).
COLORREF full_bar_colour() {
    RECT r;
    GetWindowRect(control(IDC_PROGRESS), &r);
    HDC screen = GetDC(nullptr);
    COLORREF c = GetPixel(screen, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
    ReleaseDC(nullptr, screen);
    return c;
}

bool starts_with(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}
bool contains(const std::string &s, const std::string &part) {
    return s.find(part) != std::string::npos;
}

std::string current_folder() {
    char buf[MAX_PATH];
    GetCurrentDirectoryA(sizeof buf, buf);
    return buf;
}

// Starts the program in the current folder and waits until it has initialised itself.
void start_program() {
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof si);
    si.cb = sizeof si;
    std::string cmd = "\"" + program_path + "\"";
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    // Wine occasionally refuses a start while the previous test's processes wind down: retry.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; attempt++) {
        started = CreateProcessA(program_path.c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                                 nullptr, nullptr, &si, &program);
        if (!started) {
            printf("note [%s]: CreateProcess failed, error %lu\n", scenario_name, GetLastError());
            Sleep(1000);
        }
    }
    REQUIRE(started);
    REQUIRE(wait_for(
        [] {
            return (main_window = find_main_window()) != nullptr && IsWindowVisible(main_window);
        },
        30000));
    REQUIRE(wait_for([] { return field(IDC_STATUS) == "Idling...."; }, 10000));
}

// Waits for the program to end; returns its exit code, or -1 if it had to be killed.
int wait_program_exit(DWORD timeout_ms = 10000) {
    if (!program.hProcess) return -1;
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(program.hProcess, timeout_ms) != WAIT_OBJECT_0) {
        printf("note [%s]: the program did not end; killing it\n", scenario_name);
        TerminateProcess(program.hProcess, 99);
        WaitForSingleObject(program.hProcess, 5000);
        code = DWORD(-1);
    } else {
        GetExitCodeProcess(program.hProcess, &code);
    }
    CloseHandle(program.hProcess);
    CloseHandle(program.hThread);
    program = PROCESS_INFORMATION();
    return int(code);
}

void kill_program() {
    if (program.hProcess) {
        TerminateProcess(program.hProcess, 99);
        wait_program_exit(5000);
    }
}

// What the window shows, for a failed wait: the status, the bar and any box.
void report_state(const char *why);

// ---- message boxes ----

struct box_search {
    const char *caption;
    HWND found;
};

BOOL CALLBACK find_box_proc(HWND w, LPARAM param) {
    box_search *s = reinterpret_cast<box_search *>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid != program.dwProcessId || !IsWindowVisible(w)) return TRUE;
    char cls[64] = "";
    GetClassNameA(w, cls, sizeof cls);
    if (strcmp(cls, "#32770") != 0) return TRUE;
    if (s->caption && text_of(w) != s->caption) return TRUE;
    s->found = w;
    return FALSE;
}

// A visible dialog box of the program with this caption (any caption when null).
HWND find_box(const char *caption) {
    box_search s{caption, nullptr};
    EnumWindows(find_box_proc, LPARAM(&s));
    return s.found;
}

HWND wait_box(const char *caption, DWORD timeout_ms = 10000) {
    HWND box = nullptr;
    wait_for([&] { return (box = find_box(caption)) != nullptr; }, timeout_ms);
    return box;
}

// The message text of a message box (its static control 0xFFFF).
std::string box_text(HWND box) { return text_of(GetDlgItem(box, 0xFFFF)); }

// Whether a message box shows an icon: its icon control (id 0x440 under Wine, 20 on Windows)
// holds an icon image.
bool box_has_icon(HWND box) {
    HWND icon = GetDlgItem(box, 0x440);
    if (!icon) icon = GetDlgItem(box, 20);
    if (!icon || !IsWindowVisible(icon)) return false;
    DWORD_PTR image = 0;
    SendMessageTimeoutA(icon, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms, &image);
    return image != 0;
}

void close_box(HWND box) {
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    wait_for([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 5000);
}

void report_state(const char *why) {
    printf("state [%s] %s: status \"%s\", bar %d, running %d\n", scenario_name, why,
           field(IDC_STATUS).c_str(), progress_position(), program_running() ? 1 : 0);
    HWND box = find_box(nullptr);
    if (box)
        printf("state [%s]: a box \"%s\" says \"%s\"\n", scenario_name, text_of(box).c_str(),
               box_text(box).c_str());
    fflush(stdout);
}

// ---- files ----

void make_folder(const std::string &path) { CreateDirectoryA(path.c_str(), nullptr); }

void write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    REQUIRE(f != nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

std::string read_file(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return "<missing>";
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

bool file_exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A tree of count files "f<i>.txt" holding "alpha\r\n" lines, below a fresh folder.
std::string make_alpha_tree(const std::string &name, int count) {
    std::string root = current_folder() + "\\" + name;
    make_folder(root);
    for (int i = 0; i < count; i++)
        write_file(root + "\\f" + std::to_string(i) + ".txt", "one alpha\r\ntwo alpha alpha\r\n");
    return root;
}

int count_changed(const std::string &root, int count) {
    int n = 0;
    for (int i = 0; i < count; i++)
        if (read_file(root + "\\f" + std::to_string(i) + ".txt") == "one beta\r\ntwo beta beta\r\n")
            n++;
    return n;
}

void fill_run_fields(const std::string &root, const char *type, const char *search,
                     const char *replace, const char *delay) {
    set_field(IDC_PATH, root);
    set_field(IDC_TYPE, type);
    set_field(IDC_SEARCH, search);
    set_field(IDC_REPLACE, replace);
    set_field(IDC_DELAY, delay);
}

// Ends the program with QUIT and checks that it ended with exit code 0.
void quit_and_expect_zero() {
    press(IDC_QUIT);
    int code = wait_program_exit();
    CHECK(code == 0);
}

// ---- the template, read from the program's own resources ----

struct control_spec {
    int id;
    const char *cls;
    const char *text;
    short x, y, cx, cy;
    DWORD style;
};

const DWORD edit_style = WS_CHILD | WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
const DWORD button_style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
const DWORD label_style = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;

const control_spec expected_controls[] = {
    {IDC_PATH, "Edit", "", 72, 45, 461, 14, edit_style},
    {IDC_BROWSE, "Button", "Browse", 535, 45, 29, 15, button_style},
    {IDC_SIZE, "Edit", "", 72, 70, 200, 14, edit_style},
    {IDC_TYPE, "Edit", "", 72, 95, 200, 14, edit_style},
    {IDC_SEARCH, "Edit", "", 94, 120, 290, 14, edit_style},
    {IDC_REPLACE, "Edit", "", 94, 143, 290, 14, edit_style},
    {IDC_DELAY, "Edit", "", 155, 168, 216, 14, edit_style},
    {IDC_RUN, "Button", "RUN / CONTINUE", 485, 248, 74, 14, button_style},
    {IDC_CANCEL_RESET, "Button", "CANCEL / RESET", 175, 248, 74, 14, button_style},
    {IDC_PAUSE, "Button", "PAUSE", 330, 248, 74, 14, button_style},
    {IDC_LICENSE, "Button", "LICENSE", 20, 248, 74, 14, button_style},
    {IDC_QUIT, "Button", "QUIT", 507, 15, 50, 14, button_style},
    {IDC_STATUS, "Edit", "", 72, 192, 461, 14, WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL},
    {IDC_HELP, "Button", "HELP", 17, 15, 50, 14, button_style},
    {IDC_LABEL, "Static", "Path:", 30, 49, 23, 8, label_style},
    {IDC_LABEL, "Static", "Type:", 30, 98, 35, 8, label_style},
    {IDC_LABEL, "Static", "Size ( >= ) :", 30, 73, 36, 8, label_style},
    {IDC_LABEL, "Static", "Status:", 30, 195, 30, 8, label_style},
    {IDC_LABEL, "Static", "Search String:", 30, 123, 46, 8, label_style},
    {IDC_LABEL, "Static", "Progress:", 30, 221, 30, 8, label_style},
    {IDC_PROGRESS, "msctls_progress32", "Progress1", 72, 217, 461, 16,
     WS_CHILD | WS_VISIBLE | WS_BORDER | PBS_SMOOTH},
    {IDC_LABEL, "Static", "Delay Op on Find Match (MilliSecs):", 30, 171, 113, 8, label_style},
    {IDC_NAME_LEN, "Edit", "", 369, 70, 200, 14, edit_style},
    {IDC_AGE_DAYS, "Edit", "", 369, 95, 200, 14, edit_style},
    {IDC_LABEL, "Static", "Name Len ( >= ) :", 308, 73, 56, 8, label_style},
    {IDC_LABEL, "Static", "Age days ( <= ) :", 312, 97, 52, 8, label_style},
    {IDC_LABEL, "Static", "Replace String:", 30, 146, 50, 8, label_style},
    {IDC_PREVIEW, "Button", "PREVIEW", 485, 268, 74, 14, button_style},
    {IDC_UNDO, "Button", "UNDO", 330, 268, 74, 14, button_style},
};
const int expected_count = int(sizeof expected_controls / sizeof expected_controls[0]);

// Reads the extended dialog template's variable parts: a WORD array that is either 0, 0xFFFF
// followed by an ordinal, or a NUL-terminated UTF-16 string.
const WORD *read_sz_or_ord(const WORD *p, std::string *text, int *ordinal) {
    if (ordinal) *ordinal = -1;
    if (text) text->clear();
    if (*p == 0) return p + 1;
    if (*p == 0xFFFF) {
        if (ordinal) *ordinal = p[1];
        return p + 2;
    }
    while (*p) {
        if (text) text->push_back(char(*p < 128 ? *p : '?'));
        p++;
    }
    return p + 1;
}

const WORD *align_dword(const WORD *p) {
    return reinterpret_cast<const WORD *>((ULONG_PTR(p) + 3) & ~ULONG_PTR(3));
}

const char *const predefined_classes[] = {"Button",  "Edit",      "Static",
                                          "ListBox", "ScrollBar", "ComboBox"};

void check_dialog_template(HMODULE module) {
    HRSRC res =
        FindResourceA(module, MAKEINTRESOURCEA(IDD_MAIN), MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    REQUIRE(res != nullptr);
    const WORD *p = static_cast<const WORD *>(LockResource(LoadResource(module, res)));
    REQUIRE(p != nullptr);
    // DLGTEMPLATEEX: dlgVer 1, signature 0xFFFF, helpID, exStyle, style, cDlgItems, x, y, cx, cy
    REQUIRE(p[0] == 1 && p[1] == 0xFFFF);
    DWORD style = *reinterpret_cast<const DWORD *>(p + 6);
    WORD items = p[8];
    const short *pos = reinterpret_cast<const short *>(p + 9);
    CHECK((style & ~DWORD(WS_VISIBLE)) ==
          (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT));
    CHECK(!(style & WS_VISIBLE));
    CHECK(pos[0] == 0 && pos[1] == 0 && pos[2] == 618 && pos[3] == 290);
    CHECK(items == expected_count);
    p += 13;
    std::string menu, cls, caption, font;
    int ordinal;
    p = read_sz_or_ord(p, &menu, &ordinal);
    CHECK(menu.empty() && ordinal == -1);
    p = read_sz_or_ord(p, &cls, &ordinal);
    // windres stores the class name in capitals; class names are matched case-insensitively.
    CHECK(lstrcmpiA(cls.c_str(), "Sarvelt") == 0);
    p = read_sz_or_ord(p, &caption, &ordinal);
    CHECK_EQ_STR(caption, "Dialog");
    WORD points = p[0];
    CHECK(points == 8);
    p += 3;  // pointsize, weight, italic + charset
    p = read_sz_or_ord(p, &font, &ordinal);
    CHECK_EQ_STR(font, "MS Sans Serif");
    for (int i = 0; i < items && i < expected_count; i++) {
        const control_spec &e = expected_controls[i];
        p = align_dword(p);
        // DLGITEMTEMPLATEEX: helpID, exStyle, style, x, y, cx, cy, id (DWORD), class, title, extra
        DWORD item_style = *reinterpret_cast<const DWORD *>(p + 4);
        const short *ipos = reinterpret_cast<const short *>(p + 6);
        int id = int(*reinterpret_cast<const LONG *>(p + 10));
        p += 12;
        std::string item_cls, item_text;
        int cls_ord = -1, text_ord = -1;
        p = read_sz_or_ord(p, &item_cls, &cls_ord);
        if (cls_ord >= 0x80 && cls_ord <= 0x85) item_cls = predefined_classes[cls_ord - 0x80];
        p = read_sz_or_ord(p, &item_text, &text_ord);
        WORD extra = *p++;
        p = reinterpret_cast<const WORD *>(reinterpret_cast<const BYTE *>(p) + extra);
        char where[64];
        snprintf(where, sizeof where, "control %d (id %d)", i, e.id);
        if (id != e.id || lstrcmpiA(item_cls.c_str(), e.cls) != 0 || item_text != e.text ||
            ipos[0] != e.x || ipos[1] != e.y || ipos[2] != e.cx || ipos[3] != e.cy ||
            item_style != e.style) {
            printf("FAIL [%s]: %s is id %d class %s text \"%s\" at %d,%d,%d,%d style 0x%lx\n",
                   scenario_name, where, id, item_cls.c_str(), item_text.c_str(), ipos[0], ipos[1],
                   ipos[2], ipos[3], (unsigned long)item_style);
            failures++;
        }
    }
}

std::string version_value(const std::vector<char> &info, const char *name) {
    std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
    char *value = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(info.data(), key.c_str(), reinterpret_cast<void **>(&value), &len) ||
        !value)
        return "<none>";
    return value;
}

// The program's resources: the dialog template, the icon, the manifest and the version record.
void scenario_resources() {
    HMODULE module = LoadLibraryExA(program_path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    REQUIRE(module != nullptr);
    check_dialog_template(module);

    HRSRC icon = FindResourceA(module, "IDI_ICON", MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */);
    CHECK(icon != nullptr);
    if (icon) {
        // GRPICONDIR: reserved, type 1, count, then 14-byte entries (width 0 means 256).
        const BYTE *dir = static_cast<const BYTE *>(LockResource(LoadResource(module, icon)));
        int count = dir[4] | (dir[5] << 8);
        bool has16 = false, has32 = false, has48 = false, has256 = false;
        for (int i = 0; i < count; i++) {
            int w = dir[6 + 14 * i];
            has16 |= w == 16;
            has32 |= w == 32;
            has48 |= w == 48;
            has256 |= w == 0;
        }
        CHECK(has16 && has32 && has48 && has256);
    }

    HRSRC manifest = FindResourceA(module, MAKEINTRESOURCEA(MANIFEST_RESOURCE_ID),
                                   MAKEINTRESOURCEA(24) /* RT_MANIFEST */);
    CHECK(manifest != nullptr);
    if (manifest) {
        std::string text(static_cast<const char *>(LockResource(LoadResource(module, manifest))),
                         SizeofResource(module, manifest));
        CHECK(contains(text, "<assembly"));
        CHECK(!contains(text, "<dependency"));
        // Drawn at the screen's scale: per monitor where Windows can, system-wide elsewhere.
        CHECK(contains(text, ">PerMonitorV2</dpiAwareness>") && contains(text, ">true</dpiAware>"));
    }
    FreeLibrary(module);

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeA(program_path.c_str(), &ignored);
    REQUIRE(size > 0);
    std::vector<char> info(size);
    REQUIRE(GetFileVersionInfoA(program_path.c_str(), 0, size, info.data()));
    CHECK_EQ_STR(version_value(info, "CompanyName"), "Corvane");
    CHECK_EQ_STR(version_value(info, "ProductName"), "Sarvelt");
    CHECK_EQ_STR(version_value(info, "ProductVersion"), "1.0");
    CHECK_EQ_STR(version_value(info, "FileVersion"), "1.0");
}

// ---- scenarios with the running program ----

// The window after start-up: title, defaults, status, empty bar, controls in tab order.
void scenario_startup() {
    start_program();
    CHECK_EQ_STR(text_of(main_window), "Sarvelt Vers 1.0");
    CHECK_EQ_STR(field(IDC_PATH), "C:\\");
    CHECK_EQ_STR(field(IDC_TYPE), "*.*");
    CHECK_EQ_STR(field(IDC_SIZE), "0");
    CHECK_EQ_STR(field(IDC_DELAY), "0");
    CHECK_EQ_STR(field(IDC_SEARCH), "");
    CHECK_EQ_STR(field(IDC_REPLACE), "");
    CHECK_EQ_STR(field(IDC_STATUS), "Idling....");
    CHECK(progress_position() == 0);
    DWORD_PTR low = 1, high = 0;
    SendMessageTimeoutA(control(IDC_PROGRESS), PBM_GETRANGE, TRUE, 0, SMTO_ABORTIFHUNG,
                        send_timeout_ms, &low);
    SendMessageTimeoutA(control(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG,
                        send_timeout_ms, &high);
    CHECK(low == 0);
    CHECK(high == 1000);

    // The window: a fixed-size captioned popup with a system menu, at the screen's corner.
    LONG style = GetWindowLongA(main_window, GWL_STYLE);
    CHECK((style & WS_CAPTION) == WS_CAPTION);
    CHECK(style & WS_SYSMENU);
    CHECK(!(style & (WS_MAXIMIZEBOX | WS_THICKFRAME)));
    char cls[64] = "";
    GetClassNameA(main_window, cls, sizeof cls);
    CHECK_EQ_STR(cls, "Sarvelt");
    RECT r;
    GetWindowRect(main_window, &r);
    CHECK(r.left == 0 && r.top == 0);

    // The children, in z-order, are the template's controls in template order (the tab order).
    int i = 0;
    for (HWND c = GetWindow(main_window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT), i++) {
        if (i >= expected_count) break;
        const control_spec &e = expected_controls[i];
        char ccls[64] = "";
        GetClassNameA(c, ccls, sizeof ccls);
        int id = int(GetWindowLongPtrA(c, GWLP_ID));
        if (id != e.id || lstrcmpiA(ccls, e.cls) != 0) {
            printf("FAIL [%s]: child %d is id %d class %s, expected id %d class %s\n",
                   scenario_name, i, id, ccls, e.id, e.cls);
            failures++;
        }
        if (e.text[0] && e.id != IDC_PROGRESS) CHECK_EQ_STR(text_of(c), e.text);
    }
    CHECK(i == expected_count);

    click(IDC_QUIT);  // through the button itself
    CHECK(wait_program_exit() == 0);
}

// A whole run over a tree: the selected files are rewritten, the rest left as they were.
void scenario_run() {
    start_program();
    std::string root = current_folder() + "\\tree";
    make_folder(root);
    make_folder(root + "\\sub");
    make_folder(root + "\\.hidden");
    write_file(root + "\\a.txt", "hello world\r\n");
    write_file(root + "\\sub\\b.txt", "say hello\nhello hello\n");
    write_file(root + "\\sub\\none.txt", "nothing here\r\n");
    write_file(root + "\\.hidden\\c.txt", "hello\r\n");
    write_file(root + "\\d.dat", "hello\r\n");
    fill_run_fields(root, "*.txt", "hello", "bye", "0");
    press(IDC_RUN);
    bool done = wait_for(
        [&] {
            return read_file(root + "\\a.txt") == "bye world\r\n" &&
                   read_file(root + "\\sub\\b.txt") == "say bye\r\nbye bye\r\n";
        },
        20000);
    CHECK(done);
    if (!done) report_state("not every file was rewritten");
    CHECK(wait_for([] { return field(IDC_STATUS) == "Progress: 3 of 3 files. (100%)"; }, 5000));
    CHECK_EQ_STR(field(IDC_STATUS), "Progress: 3 of 3 files. (100%)");
    CHECK(progress_position() == 1000);
    // The bar is green (set up by the initialisation command).
    Sleep(300);
    CHECK(full_bar_colour() == RGB(0, 255, 0));
    CHECK_EQ_STR(read_file(root + "\\sub\\none.txt"), "nothing here\r\n");
    CHECK_EQ_STR(read_file(root + "\\.hidden\\c.txt"), "hello\r\n");
    CHECK_EQ_STR(read_file(root + "\\d.dat"), "hello\r\n");
    std::string log = read_file(current_folder() + "\\logging.log");
    CHECK(contains(log, "a.txt"));
    CHECK(contains(log, "b.txt"));
    // The fields keep what the user typed.
    CHECK_EQ_STR(field(IDC_SEARCH), "hello");
    CHECK_EQ_STR(field(IDC_REPLACE), "bye");
    CHECK(find_box(nullptr) == nullptr);

    // Esc in a field ends the program, through the dialog's keyboard handling.
    PostMessageA(control(IDC_SEARCH), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    CHECK(wait_program_exit() == 0);
}

// PAUSE holds a run, RUN / CONTINUE resumes it.
void scenario_pause() {
    start_program();
    const int files = 7;
    std::string root = make_alpha_tree("paused", files);
    fill_run_fields(root, "*.*", "alpha", "beta", "400");
    press(IDC_PAUSE);  // while idle: nothing
    Sleep(200);
    CHECK_EQ_STR(field(IDC_STATUS), "Idling....");
    press(IDC_RUN);
    REQUIRE(wait_for([] { return starts_with(field(IDC_STATUS), "Progress: 1 of 7"); }, 10000));
    press(IDC_PAUSE);
    CHECK(wait_for([] { return field(IDC_STATUS) == "Paused...."; }, 3000));
    // The file in hand finishes its delay; then the count holds.
    int held = count_changed(root, files);
    DWORD since = GetTickCount();
    wait_for(
        [&] {
            int now = count_changed(root, files);
            if (now != held) {
                held = now;
                since = GetTickCount();
            }
            return GetTickCount() - since > 1000;
        },
        8000);
    Sleep(1500);
    CHECK(count_changed(root, files) == held);
    CHECK(held < files);
    CHECK_EQ_STR(field(IDC_STATUS), "Paused....");
    press(IDC_RUN);
    CHECK(wait_for(
        [] {
            std::string s = field(IDC_STATUS);
            return s == "In Progress...." || starts_with(s, "Progress: ");
        },
        3000));
    if (!wait_for([&] { return count_changed(root, files) == files; }, 20000)) {
        report_state("not every file was rewritten");
        CHECK(count_changed(root, files) == files);
    }
    CHECK(wait_for([] { return field(IDC_STATUS) == "Progress: 7 of 7 files. (100%)"; }, 5000));
    quit_and_expect_zero();
}

// CANCEL / RESET during a run: idle at once, bar empty, fields kept, the rest not rewritten.
void scenario_cancel() {
    start_program();
    const int files = 8;
    std::string root = make_alpha_tree("cancelled", files);
    fill_run_fields(root, "*.txt", "alpha", "beta", "600");
    set_field(IDC_SIZE, "0");
    press(IDC_RUN);
    REQUIRE(wait_for([] { return starts_with(field(IDC_STATUS), "Progress: 1 of 8"); }, 10000));
    CHECK(progress_position() > 0);
    // Sent, so that it returns once the command has been handled inside the run's pump.
    DWORD_PTR result = 0;
    SendMessageTimeoutA(main_window, WM_COMMAND, IDC_CANCEL_RESET, 0, SMTO_ABORTIFHUNG,
                        send_timeout_ms, &result);
    CHECK_EQ_STR(field(IDC_STATUS), "Idling....");
    CHECK(progress_position() == 0);
    Sleep(1500);
    CHECK_EQ_STR(field(IDC_STATUS), "Idling....");
    CHECK(progress_position() == 0);
    CHECK(count_changed(root, files) < files);
    CHECK_EQ_STR(field(IDC_PATH), root);
    CHECK_EQ_STR(field(IDC_TYPE), "*.txt");
    CHECK_EQ_STR(field(IDC_SEARCH), "alpha");
    CHECK_EQ_STR(field(IDC_REPLACE), "beta");
    CHECK_EQ_STR(field(IDC_DELAY), "600");
    // A new run after the cancel does the whole tree.
    set_field(IDC_DELAY, "0");
    press(IDC_RUN);
    if (!wait_for([&] { return count_changed(root, files) == files; }, 20000)) {
        report_state("not every file was rewritten");
        CHECK(count_changed(root, files) == files);
    }
    quit_and_expect_zero();
}

// QUIT during a run ends the program with exit code 0.
void scenario_quit_during_run() {
    start_program();
    const int files = 6;
    std::string root = make_alpha_tree("quitting", files);
    fill_run_fields(root, "*.txt", "alpha", "beta", "500");
    press(IDC_RUN);
    REQUIRE(wait_for([] { return starts_with(field(IDC_STATUS), "Progress: 1 of 6"); }, 10000));
    press(IDC_QUIT);
    CHECK(wait_program_exit() == 0);
    CHECK(count_changed(root, files) < files);
}

// Alt+F4 during a run takes the default route: the window is destroyed and only closing is
// raised, so the walk goes on (without its delays) to the end. A file failed, so the run ends
// with the error box, which stays up although the window is gone; then the program ends with
// exit code 0, as the quit request the run's pumps took is given back to the main loop.
void scenario_alt_f4_during_run() {
    start_program();
    const int files = 6;
    std::string root = make_alpha_tree("altf4", files);
    write_file(root + "\\locked.txt", "alpha\r\n");
    SetFileAttributesA((root + "\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    fill_run_fields(root, "*.txt", "alpha", "beta", "400");
    press(IDC_RUN);
    REQUIRE(wait_for([] { return starts_with(field(IDC_STATUS), "Progress: 1 of 7"); }, 10000));
    PostMessageA(main_window, WM_SYSKEYDOWN, VK_F4, 0x203E0001);
    HWND box = wait_box("ERROR", 20000);
    CHECK(box != nullptr);
    if (box) {
        CHECK_EQ_STR(box_text(box), "ERRORS detected.  Please check logging file 'logging.log'");
        Sleep(500);
        CHECK(IsWindow(box) && IsWindowVisible(box));
        CHECK(program_running());
        close_box(box);
    }
    CHECK(wait_program_exit(20000) == 0);
    CHECK(count_changed(root, files) == files);
    CHECK_EQ_STR(read_file(root + "\\locked.txt"), "alpha\r\n");
    SetFileAttributesA((root + "\\locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A run with a file that cannot be rewritten ends with the error box, which has no owner.
void scenario_errors() {
    start_program();
    std::string root = current_folder() + "\\failing";
    make_folder(root);
    write_file(root + "\\good.txt", "red\r\n");
    write_file(root + "\\locked.txt", "red\r\n");
    SetFileAttributesA((root + "\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    fill_run_fields(root, "*.txt", "red", "green", "0");
    press(IDC_RUN);
    HWND box = wait_box("ERROR", 20000);
    REQUIRE(box != nullptr);
    CHECK_EQ_STR(box_text(box), "ERRORS detected.  Please check logging file 'logging.log'");
    CHECK(GetWindow(box, GW_OWNER) == nullptr);
    CHECK(box_has_icon(box));
    close_box(box);
    CHECK_EQ_STR(read_file(root + "\\good.txt"), "green\r\n");
    CHECK_EQ_STR(read_file(root + "\\locked.txt"), "red\r\n");
    std::string log = read_file(current_folder() + "\\logging.log");
    CHECK(contains(log, "ERROR"));
    CHECK(contains(log, "locked.txt"));
    SetFileAttributesA((root + "\\locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    // The next run starts with the mark cleared: no box.
    write_file(root + "\\good.txt", "red\r\n");
    set_field(IDC_TYPE, "good.txt");
    press(IDC_RUN);
    CHECK(wait_for([&] { return read_file(root + "\\good.txt") == "green\r\n"; }, 10000));
    Sleep(500);
    CHECK(find_box("ERROR") == nullptr);
    quit_and_expect_zero();
}

// A session log that cannot be opened (a folder stands where it would be): the run stops
// before any file, a box with no owner says why, and once it is closed the program ends with
// exit code 0.
void scenario_log_unavailable() {
    make_folder(current_folder() + "\\logging.log");
    start_program();
    const int files = 2;
    std::string root = make_alpha_tree("nolog", files);
    fill_run_fields(root, "*.txt", "alpha", "beta", "0");
    press(IDC_RUN);
    HWND box = wait_box("ERROR", 10000);
    REQUIRE(box != nullptr);
    CHECK_EQ_STR(box_text(box),
                 "ERROR:  The debug logging file 'logging.log' could not not be opened\n");
    CHECK(GetWindow(box, GW_OWNER) == nullptr);
    CHECK(box_has_icon(box));
    close_box(box);
    CHECK(wait_program_exit() == 0);
    CHECK(count_changed(root, files) == 0);
}

// RUN refuses what it cannot do, in a box owned by the window, touching nothing.
void scenario_refusals() {
    start_program();
    std::string root = current_folder() + "\\untouched";
    make_folder(root);
    write_file(root + "\\a.txt", "aaa\r\n");
    struct refusal {
        const char *path_is;  // "root" or ""
        const char *search;
        const char *replace;
    } cases[] = {
        {"root", "", "x"},     // empty Search String
        {"root", "a", "bab"},  // the replacement brings the search text back
        {"", "a", "b"},        // empty Path
    };
    for (const refusal &c : cases) {
        fill_run_fields(c.path_is[0] ? root : std::string(), "*.*", c.search, c.replace, "0");
        press(IDC_RUN);
        HWND box = wait_box("ERROR", 5000);
        CHECK(box != nullptr);
        if (!box) continue;
        CHECK(GetWindow(box, GW_OWNER) == main_window);
        CHECK(!box_text(box).empty());
        CHECK(box_has_icon(box));
        close_box(box);
        CHECK_EQ_STR(field(IDC_STATUS), "Idling....");
    }
    Sleep(300);
    CHECK_EQ_STR(read_file(root + "\\a.txt"), "aaa\r\n");
    CHECK(!file_exists(current_folder() + "\\logging.log"));
    quit_and_expect_zero();
}

// F12 shows the "Info" box while idle; Alt key combinations are dropped; Alt+F4 closes.
void scenario_keys() {
    start_program();
    PostMessageA(control(IDC_PATH), WM_KEYDOWN, VK_F12, 0x00580001);
    HWND box = wait_box("Info");
    REQUIRE(box != nullptr);
    CHECK_EQ_STR(box_text(box), "With God, all things are possible.");
    CHECK(!box_has_icon(box));
    CHECK(GetWindow(box, GW_OWNER) == main_window);
    close_box(box);
    CHECK(program_running());

    // Alt+Space would open the system menu: it is dropped, so no menu appears.
    PostMessageA(main_window, WM_SYSKEYDOWN, VK_SPACE, 0x20390001);
    Sleep(500);
    CHECK(FindWindowA("#32768", nullptr) == nullptr ||
          !IsWindowVisible(FindWindowA("#32768", nullptr)));
    CHECK(program_running());

    PostMessageA(main_window, WM_SYSKEYDOWN, VK_F4, 0x203E0001);
    CHECK(wait_program_exit() == 0);
}

// The About, Help and License boxes, from the buttons and the system menu.
void scenario_boxes() {
    start_program();
    PostMessageA(main_window, WM_SYSCOMMAND, IDM_ABOUT, 0);
    HWND box = wait_box("Corvane About");
    REQUIRE(box != nullptr);
    CHECK_EQ_STR(box_text(box), "Sarvelt\nVersion 1.0 \nCopyright (c) 2026 Corvane\n\n");
    CHECK(!box_has_icon(box));
    CHECK(GetWindow(box, GW_OWNER) == main_window);
    close_box(box);
    // Without a window manager (Xvfb) Wine may leave no window of the program active once the
    // box is gone; the user would click on the window, and so does the test. The focus must be
    // on RUN / CONTINUE whenever the window is active.
    if (!wait_for([] { return GetForegroundWindow() == main_window; }, 1000))
        SetForegroundWindow(main_window);
    GUITHREADINFO gui;
    gui.cbSize = sizeof gui;
    CHECK(wait_for(
        [&] {
            return GetGUIThreadInfo(program.dwThreadId, &gui) && gui.hwndFocus == control(IDC_RUN);
        },
        3000));

    press(IDC_HELP);
    box = wait_box("Help");
    REQUIRE(box != nullptr);
    CHECK_EQ_STR(
        box_text(box),
        "\nSarvelt and replace text\n\nEnter filespecs, search and replace strings, and click RUN.\n"
        "Program will search for files meeting criteria.\n\nWhen found, the files will be modified.\n"
        "NOTE: Files' date time stamps will be preserved\n\n\n\nCopyright (c) 2026 Corvane\n\n");
    CHECK(GetWindow(box, GW_OWNER) == main_window);
    close_box(box);

    PostMessageA(main_window, WM_SYSCOMMAND, IDM_HELP, 0);
    box = wait_box("Help");
    CHECK(box != nullptr);
    if (box) close_box(box);

    press(IDC_LICENSE);
    box = wait_box("License");
    REQUIRE(box != nullptr);
    std::string license = box_text(box);
    CHECK(starts_with(license, "\nCopyright (c) 2026 Corvane\n\nPermission is hereby granted"));
    CHECK(license.size() > 2 && license.compare(license.size() - 2, 2, "\n\n") == 0);
    CHECK(contains(license,
                   "The above copyright notice and this permission notice shall be included"));
    CHECK(contains(license, "Permission is hereby granted, free of charge"));
    CHECK(contains(license, "THE SOFTWARE IS PROVIDED \"AS IS\", WITHOUT WARRANTY OF ANY KIND"));
    CHECK(GetWindow(box, GW_OWNER) == main_window);
    close_box(box);

    CHECK_EQ_STR(field(IDC_STATUS), "Idling....");
    quit_and_expect_zero();
}

// The folder picker: cancelled, it leaves the Path field as it was.
void scenario_browse() {
    start_program();
    set_field(IDC_PATH, "C:\\windows");
    press(IDC_BROWSE);
    HWND picker = nullptr;
    REQUIRE(wait_for([&] { return (picker = find_box(nullptr)) != nullptr; }, 10000));
    CHECK(GetWindow(picker, GW_OWNER) == main_window);
    // The picker shows our title somewhere among its static texts.
    bool titled = false;
    for (HWND c = GetWindow(picker, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        titled |= text_of(c) == "Please choose a folder, please. :-)";
    CHECK(titled);
    PostMessageA(picker, WM_COMMAND, IDCANCEL, 0);
    CHECK(wait_for([&] { return !IsWindow(picker); }, 5000));
    CHECK_EQ_STR(field(IDC_PATH), "C:\\windows");
    CHECK(program_running());
    quit_and_expect_zero();
}

// The folder picker with a folder chosen (the tree's first item, the desktop): the Path
// field shows that folder's path.
void scenario_browse_choose() {
    start_program();
    set_field(IDC_PATH, "C:\\windows");
    press(IDC_BROWSE);
    HWND picker = nullptr;
    REQUIRE(wait_for([&] { return (picker = find_box(nullptr)) != nullptr; }, 10000));
    HWND tree = FindWindowExA(picker, nullptr, "SysTreeView32", nullptr);
    REQUIRE(tree != nullptr);
    DWORD_PTR root = 0, selected = 0;
    REQUIRE(wait_for(
        [&] {
            SendMessageTimeoutA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0, SMTO_ABORTIFHUNG,
                                send_timeout_ms, &root);
            return root != 0;
        },
        5000));
    SendMessageTimeoutA(tree, TVM_SELECTITEM, TVGN_CARET, LPARAM(root), SMTO_ABORTIFHUNG,
                        send_timeout_ms, &selected);
    PostMessageA(picker, WM_COMMAND, IDOK, 0);
    CHECK(wait_for([&] { return !IsWindow(picker); }, 5000));
    CHECK(wait_for([&] { return field(IDC_PATH) != "C:\\windows"; }, 3000));
    std::string path = field(IDC_PATH);
    DWORD attributes = GetFileAttributesA(path.c_str());
    CHECK(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    CHECK(path.size() > 3 && path[1] == ':');
    quit_and_expect_zero();
}

// During a run the main loop's key filters do not apply: Esc does not end the program and
// F12 shows no box; the run goes on to the end.
void scenario_keys_during_run() {
    start_program();
    const int files = 5;
    std::string root = make_alpha_tree("keys", files);
    fill_run_fields(root, "*.txt", "alpha", "beta", "300");
    press(IDC_RUN);
    REQUIRE(wait_for([] { return starts_with(field(IDC_STATUS), "Progress: 1 of 5"); }, 10000));
    PostMessageA(control(IDC_SEARCH), WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(control(IDC_SEARCH), WM_KEYDOWN, VK_F12, 0x00580001);
    Sleep(800);
    CHECK(program_running());
    CHECK(find_box(nullptr) == nullptr);
    if (!wait_for([&] { return count_changed(root, files) == files; }, 20000)) {
        report_state("not every file was rewritten");
        CHECK(count_changed(root, files) == files);
    }
    CHECK(program_running());
    quit_and_expect_zero();
}

// Browse while a run is on the stack does nothing.
void scenario_browse_during_run() {
    start_program();
    const int files = 5;
    std::string root = make_alpha_tree("browsing", files);
    fill_run_fields(root, "*.txt", "alpha", "beta", "300");
    press(IDC_RUN);
    REQUIRE(wait_for([] { return starts_with(field(IDC_STATUS), "Progress: 1 of 5"); }, 10000));
    press(IDC_BROWSE);
    Sleep(800);
    CHECK(find_box(nullptr) == nullptr);
    if (!wait_for([&] { return count_changed(root, files) == files; }, 20000)) {
        report_state("not every file was rewritten");
        CHECK(count_changed(root, files) == files);
    }
    CHECK(find_box(nullptr) == nullptr);
    CHECK_EQ_STR(field(IDC_PATH), root);
    quit_and_expect_zero();
}

// The window after a finished run, for the README: writes its rectangle to the handshake
// folder and waits until the picture has been taken.
// Brings window to the front, tells the runner where it stands on the screen (handshake\rect)
// and waits until the runner has taken its picture (handshake\done).
void picture_taken(HWND window, const std::string &handshake) {
    SetForegroundWindow(window);
    Sleep(500);
    RECT r;
    GetWindowRect(window, &r);
    std::string rect = std::to_string(r.right - r.left) + "x" + std::to_string(r.bottom - r.top) +
                       "+" + std::to_string(r.left) + "+" + std::to_string(r.top) + "\n";
    write_file(handshake + "\\rect.tmp", rect);
    MoveFileA((handshake + "\\rect.tmp").c_str(), (handshake + "\\rect").c_str());
    CHECK(wait_for([&] { return file_exists(handshake + "\\done"); }, 30000));
}

// The main window after a run over a small tree, as the README shows it.
void main_window_after_a_run() {
    start_program();
    std::string root = current_folder() + "\\docs";
    make_folder(root);
    write_file(root + "\\notes.txt", "colour\r\n");
    write_file(root + "\\readme.txt", "colour and colour\r\n");
    write_file(root + "\\plan.txt", "no change\r\n");
    fill_run_fields("C:\\projects\\docs", "*.txt", "colour", "color", "0");
    set_field(IDC_PATH, root);
    press(IDC_RUN);
    REQUIRE(wait_for([] { return field(IDC_STATUS) == "Progress: 3 of 3 files. (100%)"; }, 20000));
    CHECK(progress_position() == 1000);
    // A path the reader can follow, rather than the test's temporary folder.
    set_field(IDC_PATH, "C:\\projects\\docs");
}

void scenario_screenshot(const std::string &handshake) {
    REQUIRE(!handshake.empty());
    main_window_after_a_run();
    picture_taken(main_window, handshake);
    quit_and_expect_zero();
}

// The same at 144 DPI (run-gui-test.sh gives this scenario a Wine prefix set so), for the
// README's picture. Wine lays out every program at the screen's DPI and reports every window as
// aware of it, whatever its manifest says; what Windows reads is checked in "resources".
void scenario_screenshot_144dpi(const std::string &handshake) {
    REQUIRE(!handshake.empty());
    SetProcessDPIAware();  // the driver sees the screen as it is, not scaled for it
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    if (dpi != 144) printf("note [%s]: the screen has %d DPI\n", scenario_name, dpi);
    REQUIRE(dpi == 144);
    main_window_after_a_run();
    picture_taken(main_window, handshake);
    quit_and_expect_zero();
}

// The preview's window over a small tree: a row for each file that would change, nothing in
// the tree changed, Esc closes it and the main window takes commands again. Returns the
// window (still open) when keep_open, for a picture of it.
HWND preview_window(const std::string &root, bool keep_open) {
    make_folder(root);
    write_file(root + "\\notes.txt", "the colour of the sea\r\n");
    write_file(root + "\\readme.txt", "colour and colour\r\nno change\r\n");
    write_file(root + "\\plan.txt", "no change\r\n");
    fill_run_fields(root, "*.txt", "colour", "color", "0");
    press(IDC_PREVIEW);
    // The window is shown once it holds every row.
    HWND window = nullptr;
    wait_for(
        [&] {
            window = FindWindowA("SarveltList", "Sarvelt Preview");
            return window && IsWindowVisible(window);
        },
        20000);
    REQUIRE(window != nullptr && IsWindowVisible(window));
    HWND list = GetWindow(window, GW_CHILD);
    REQUIRE(list != nullptr);
    DWORD_PTR rows = 0;
    SendMessageTimeoutA(list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, send_timeout_ms, &rows);
    CHECK(rows == 2);
    CHECK(!IsWindowEnabled(main_window));
    CHECK_EQ_STR(read_file(root + "\\notes.txt"), "the colour of the sea\r\n");
    CHECK_EQ_STR(read_file(root + "\\readme.txt"), "colour and colour\r\nno change\r\n");
    if (keep_open) return window;
    PostMessageA(list, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    CHECK(wait_for([&] { return !IsWindow(window); }, 5000));
    CHECK(wait_for([] { return IsWindowEnabled(main_window) != 0; }, 5000));
    return nullptr;
}

void scenario_preview() {
    start_program();
    preview_window(current_folder() + "\\docs", false);
    // With nothing to change, a box says so.
    fill_run_fields(current_folder() + "\\docs", "*.txt", "absent", "x", "0");
    press(IDC_PREVIEW);
    HWND box = wait_box("Sarvelt Preview");
    REQUIRE(box != nullptr);
    CHECK_EQ_STR(box_text(box), "No file would change: 3 files read.");
    close_box(box);
    quit_and_expect_zero();
}

// UNDO after a run: a box names the run and asks first; Yes gives every file back; UNDO again
// finds no run to undo.
void scenario_undo() {
    start_program();
    const std::string root = current_folder() + "\\tree";
    make_folder(root);
    write_file(root + "\\a.txt", "hello world\r\n");
    write_file(root + "\\b.txt", "hello again\n");
    fill_run_fields(root, "*.txt", "hello", "bye", "0");
    press(IDC_RUN);
    REQUIRE(wait_for([] { return field(IDC_STATUS) == "Progress: 2 of 2 files. (100%)"; }, 20000));
    CHECK_EQ_STR(read_file(root + "\\b.txt"), "bye again\r\n");
    press(IDC_UNDO);
    HWND box = wait_box("Undo");
    REQUIRE(box != nullptr);
    CHECK(contains(box_text(box), "which replaced 'hello' with 'bye' in 2 files?"));
    PostMessageA(box, WM_COMMAND, IDYES, 0);
    CHECK(wait_for([] { return field(IDC_STATUS) == "Undo done: 2 files looked at."; }, 20000));
    CHECK_EQ_STR(read_file(root + "\\a.txt"), "hello world\r\n");
    CHECK_EQ_STR(read_file(root + "\\b.txt"), "hello again\n");
    press(IDC_UNDO);
    box = wait_box("Undo");
    REQUIRE(box != nullptr);
    CHECK_EQ_STR(box_text(box), "There is no run to undo on the Path '" + root + "'.");
    close_box(box);
    quit_and_expect_zero();
}

// The README's picture of the preview's window.
void scenario_screenshot_preview(const std::string &handshake) {
    REQUIRE(!handshake.empty());
    start_program();
    // A path the reader can follow, and the same in every picture: a folder of the test
    // prefix's own drive C.
    make_folder("C:\\projects");
    HWND window = preview_window("C:\\projects\\docs", true);
    picture_taken(window, handshake);
    PostMessageA(window, WM_CLOSE, 0, 0);
    CHECK(wait_for([&] { return !IsWindow(window); }, 5000));
    quit_and_expect_zero();
}

struct scenario {
    const char *name;
    void (*run)();
};

std::string handshake_folder;
void screenshot_entry() { scenario_screenshot(handshake_folder); }
void screenshot_preview_entry() { scenario_screenshot_preview(handshake_folder); }
void screenshot_144dpi_entry() { scenario_screenshot_144dpi(handshake_folder); }

const scenario scenarios[] = {
    {"resources", scenario_resources},
    {"startup", scenario_startup},
    {"run", scenario_run},
    {"pause", scenario_pause},
    {"cancel", scenario_cancel},
    {"quit_during_run", scenario_quit_during_run},
    {"alt_f4_during_run", scenario_alt_f4_during_run},
    {"errors", scenario_errors},
    {"log_unavailable", scenario_log_unavailable},
    {"refusals", scenario_refusals},
    {"keys", scenario_keys},
    {"boxes", scenario_boxes},
    {"browse", scenario_browse},
    {"browse_during_run", scenario_browse_during_run},
    {"browse_choose", scenario_browse_choose},
    {"keys_during_run", scenario_keys_during_run},
    {"preview", scenario_preview},
    {"undo", scenario_undo},
    {"screenshot_preview", screenshot_preview_entry},
    {"screenshot", screenshot_entry},
    {"screenshot_144dpi", screenshot_144dpi_entry},
};

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--list") == 0) {
        for (const scenario &s : scenarios) printf("%s\n", s.name);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc < 3) {
        fprintf(stderr,
                "usage: gui_driver <scenario> <sarvelt.exe> [<handshake folder>]\n"
                "       gui_driver --list\n");
        return 2;
    }
    program_path = argv[2];
    if (argc > 3) handshake_folder = argv[3];
    for (const scenario &s : scenarios) {
        if (strcmp(s.name, argv[1]) != 0) continue;
        scenario_name = s.name;
        try {
            s.run();
        } catch (const abort_scenario &) {}
        kill_program();
        printf("%s: %s\n", s.name, failures ? "FAILED" : "passed");
        return failures ? 1 : 0;
    }
    fprintf(stderr, "gui_driver: no scenario \"%s\"\n", argv[1]);
    return 2;
}
