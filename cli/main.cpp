// sarvelt-cli: the same run as the window's, without a window. The options are typed into the
// headless window's fields and the run is started by the same commands the dialog sends
// (200 at start, then RUN / CONTINUE), so the fields are read, checked and parsed exactly as
// the dialog's are. Status texts are printed as they change; Ctrl-C acts as CANCEL / RESET.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <map>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#include <io.h>
#else
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#include "log/log.h"
#include "platform/window_headless.h"
#include "resources/resource.h"
#include "scan/run.h"
#include "scan/run_state.h"
#include "ui/commands.h"

namespace {

const char usage_text[] =
    "Usage: sarvelt-cli --path FOLDER --search TEXT [options]\n"
    "Replaces TEXT in every selected file below FOLDER (folders whose names begin with '.'\n"
    "are skipped). Every step is written to logging.log in the current folder.\n"
    "\n"
    "  --path FOLDER     the folder to walk\n"
    "  --search TEXT     the text to replace (case-sensitive)\n"
    "  --replace TEXT    the replacement (default: empty); must not contain TEXT\n"
    "  --type TYPE       an extension such as *.txt, or *.* for every file (default: *.*)\n"
    "  --size SIZE       the least size in bytes, or with KB or MB (default: 0)\n"
    "  --delay MS        milliseconds to wait after each selected file (default: 0)\n"
    "  --name-len N      only files whose name has at least N characters\n"
    "  --age-days D      only files last written at most D days before the run starts\n"
    "  --help            this text\n"
    "\n"
    "Options take their value as the next argument or after '=' (--type=*.txt).\n"
    "Ctrl-C cancels the run between two files.\n"
    "Exit status: 0 done, 1 errors (see logging.log), 2 input refused, 130 cancelled.\n";

// An option and the dialog field it fills.
struct option_field {
    const char *name;
    int control;
    int room;  // what the field holds, terminator included
};

const option_field option_fields[] = {
    {"path", IDC_PATH, folder_path_read},        {"type", IDC_TYPE, folder_path_read},
    {"size", IDC_SIZE, folder_path_read},        {"search", IDC_SEARCH, search_text_read},
    {"replace", IDC_REPLACE, search_text_read},  {"delay", IDC_DELAY, delay_text_read},
    {"name-len", IDC_NAME_LEN, count_text_room}, {"age-days", IDC_AGE_DAYS, count_text_room},
};

const option_field *find_option(const std::string &name) {
    for (const option_field &o : option_fields)
        if (name == o.name) return &o;
    return nullptr;
}

// --- Ctrl-C -------------------------------------------------------------------------------
// The handler only raises a flag; the pump turns it into CANCEL / RESET, so the walk stops at
// its next check and no rewrite is interrupted.

#if defined(_WIN32)
volatile LONG interrupt_pending = 0;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    InterlockedExchange(&interrupt_pending, 1);
    return TRUE;
}

void catch_interrupts() { SetConsoleCtrlHandler(on_console_event, TRUE); }
bool take_interrupt() { return InterlockedExchange(&interrupt_pending, 0) != 0; }
#else
volatile sig_atomic_t interrupt_pending = 0;

void on_interrupt(int) { interrupt_pending = 1; }

void catch_interrupts() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
}

bool take_interrupt() {
    if (!interrupt_pending) return false;
    interrupt_pending = 0;
    return true;
}
#endif

// --- output -------------------------------------------------------------------------------

struct output_state {
    bool terminal = false;
    bool showing = false;  // status texts are printed (from the press of RUN on)
    std::string status;    // the Status line's text
    std::string printed;   // the last status printed (plain lines)
    int position = 0;      // the progress bar, 0 to 1,000
    size_t drawn = 0;      // characters on the terminal's updating line
    bool stale = false;    // a change not drawn yet
    std::chrono::steady_clock::time_point last_draw;
    bool interrupted = false;
    bool refused = false;
    bool errors = false;
};

output_state out;

bool stdout_is_terminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

size_t terminal_columns() {
#if defined(_WIN32)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return size_t(info.srWindow.Right - info.srWindow.Left + 1);
#else
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
#endif
    return 80;
}

// The terminal's updating line: the status and a bar, drawn over the previous one. Redrawn
// at most every 50 ms unless forced, so that a run over many small files is not held up by
// the terminal; a change held back is drawn by a later pump.
void draw_line(bool force) {
    auto now = std::chrono::steady_clock::now();
    out.stale = true;
    if (!force && out.drawn > 0 && now - out.last_draw < std::chrono::milliseconds(50)) return;
    out.last_draw = now;
    out.stale = false;
    const int cells = 20;
    int full = out.position * cells / 1000;
    std::string line =
        "[" + std::string(size_t(full), '#') + std::string(size_t(cells - full), '.') + "] ";
    line += out.status;
    size_t width = terminal_columns();
    if (width > 1 && line.size() > width - 1) line.resize(width - 1);
    size_t shown = line.size();
    if (shown < out.drawn) line += std::string(out.drawn - shown, ' ');
    fputc('\r', stdout);
    fputs(line.c_str(), stdout);
    fflush(stdout);
    out.drawn = shown;
}

// Ends the updating line, so that what follows starts on a line of its own.
void end_line() {
    if (!out.terminal || out.drawn == 0) return;
    draw_line(true);
    fputc('\n', stdout);
    fflush(stdout);
    out.drawn = 0;
}

void on_text(int control, const char *text) {
    if (control != IDC_STATUS) return;
    out.status = text;
    if (!out.showing) return;
    if (out.terminal) {
        draw_line(false);
    } else if (out.status != out.printed) {
        out.printed = out.status;
        printf("%s\n", text);
        fflush(stdout);  // a reader of a pipe or a file sees each status as it comes
    }
}

void on_progress(int position) {
    out.position = position;
    if (out.showing && out.terminal) draw_line(false);
}

void on_box(const headless_box &box) {
    char errors_text[300];
    snprintf(errors_text, sizeof errors_text, run_errors_format, log_file_name);
    end_line();
    if (box.owned) {
        // RUN refused the input.
        out.refused = true;
        fprintf(stderr, "sarvelt-cli: %s\n", box.text.c_str());
    } else if (box.text == errors_text) {
        out.errors = true;
        printf("%s\n", box.text.c_str());
    } else {
        // The session log cannot be opened: nothing can be done, and nothing was written yet.
        fprintf(stderr, "sarvelt-cli: %s\n", box.text.c_str());
        fflush(stdout);
        exit(1);
    }
    fflush(stdout);
}

void on_pump() {
    if (out.stale && out.showing) draw_line(false);
    if (take_interrupt()) {
        out.interrupted = true;
        window_post_command(IDC_CANCEL_RESET);
    }
}

void dispatch(int id) {
    long result = 0;
    command_dispatch(id, &result);
}

void pump_all() {
    while (window_pump_one()) {}
}

int usage_error(const char *what, const char *detail) {
    fprintf(stderr, "sarvelt-cli: %s%s\n\n%s", what, detail, usage_text);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
#if !defined(_WIN32)
    // A write past the file size limit (ulimit -f) must fail as an ordinary write error, which
    // the rewrite handles (the temporary file is removed, the file left as it was). SIGXFSZ's
    // default action would end the program in the middle of that write and leave the
    // temporary file behind.
    signal(SIGXFSZ, SIG_IGN);
#endif
    std::map<std::string, std::string> values;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(usage_text, stdout);
            return 0;
        }
        if (arg.compare(0, 2, "--") != 0) return usage_error("unexpected argument: ", argv[i]);
        std::string name = arg.substr(2);
        std::string value;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        const option_field *option = find_option(name);
        if (!option) return usage_error("unknown option: ", arg.c_str());
        if (eq == std::string::npos) {
            if (i + 1 >= argc) return usage_error("missing value for ", arg.c_str());
            value = argv[++i];
        }
        values[name] = value;
    }
    if (!values.count("path")) return usage_error("missing ", "--path");
    if (!values.count("search")) return usage_error("missing ", "--search");
    for (const option_field &o : option_fields) {
        auto v = values.find(o.name);
        if (v != values.end() && v->second.size() > size_t(o.room - 1)) {
            fprintf(stderr, "sarvelt-cli: --%s is too long (at most %d characters)\n", o.name,
                    o.room - 1);
            return 2;
        }
    }

    out.terminal = stdout_is_terminal();
    headless_open();
    headless_set_dispatcher(dispatch);
    headless_set_destroy_handler(command_window_destroyed);
    headless_set_text_observer(on_text);
    headless_set_progress_observer(on_progress);
    headless_set_box_observer(on_box);
    headless_set_pump_observer(on_pump);
    window_post_command(CMD_INIT);
    pump_all();

    for (const option_field &o : option_fields) {
        auto v = values.find(o.name);
        if (v != values.end()) window_set_text(o.control, v->second.c_str());
    }

    catch_interrupts();
    out.showing = true;
    window_post_command(IDC_RUN);
    pump_all();
    end_line();
    fflush(stdout);

    if (out.refused) return 2;
    if (out.interrupted) return 130;
    return out.errors ? 1 : 0;
}
