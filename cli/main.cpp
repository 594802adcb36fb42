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

#include "log/log.h"
#include "platform/console.h"
#include "platform/os.h"
#include "platform/window_headless.h"
#include "resources/resource.h"
#include "scan/plan.h"
#include "scan/run_state.h"
#include "undo/undo.h"
#include "ui/commands.h"

namespace {

const char usage_text[] =
    "Usage: sarvelt-cli --path FOLDER --search TEXT [options]\n"
    "       sarvelt-cli --path FOLDER --undo\n"
    "Replaces TEXT in every selected file below FOLDER (folders whose names begin with '.'\n"
    "are skipped). Every step is written to logging.log in the current folder.\n"
    "\n"
    "  --path FOLDER     the folder to walk\n"
    "  --search TEXT     the text to replace (case-sensitive)\n"
    "  --replace TEXT    the replacement (default: empty); must not contain TEXT\n"
    "  --type TYPES      *.txt, or a list: *.txt;*.ini, !*.bak leaves out, !build/ skips folders (default: *.*)\n"
    "  --size SIZE       the least size in bytes, or with KB or MB (default: 0)\n"
    "  --delay MS        milliseconds to wait after each selected file (default: 0)\n"
    "  --name-len N      only files whose name has at least N characters\n"
    "  --age-days D      only files last written at most D days before the run starts\n"
    "  --preview         show what a run would change, and change nothing\n"
    "  --no-undo         keep no originals for undo (for trees under version control)\n"
    "  --code-page N     the Windows code page of files that are neither UTF-8 nor UTF-16\n"
    "                    (default: the system's legacy code page)\n"
    "  --include-binary  rewrite files that hold NUL bytes byte for byte (default: leave them)\n"
    "  --undo            undo the latest run on FOLDER that is not undone yet (no --search)\n"
    "  --help            this text\n"
    "\n"
    "Options take their value as the next argument or after '=' (--type=*.txt).\n"
    "Ctrl-C cancels the run between two files.\n"
    "Exit status: 0 done, 1 errors (see logging.log), 2 input refused, 130 cancelled.\n";

// An option and the dialog field it fills.
struct option_field {
    const char *name;
    int control;
    int room;  // what the field holds, terminator included; 0: any length
};

const option_field option_fields[] = {
    {"path", IDC_PATH, 0},        {"type", IDC_TYPE, folder_path_read},
    {"size", IDC_SIZE, folder_path_read},        {"search", IDC_SEARCH, search_text_read},
    {"replace", IDC_REPLACE, search_text_read},  {"delay", IDC_DELAY, delay_text_read},
    {"name-len", IDC_NAME_LEN, count_text_room}, {"age-days", IDC_AGE_DAYS, count_text_room},
};

const option_field *find_option(const std::string &name) {
    for (const option_field &o : option_fields)
        if (name == o.name) return &o;
    return nullptr;
}

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
    bool unflushed = false;  // plain lines printed and not yet handed to the reader
    std::chrono::steady_clock::time_point last_flush;
};

output_state out;

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
    size_t width = size_t(console_columns());
    if (width > 1 && line.size() > width - 1) line.resize(width - 1);
    size_t shown = line.size();
    if (shown < out.drawn) line += std::string(out.drawn - shown, ' ');
    fputc('\r', stdout);
    fputs(line.c_str(), stdout);
    fflush(stdout);
    out.drawn = shown;
}

// Hands the plain lines printed so far to the reader of the pipe or file: at once when forced,
// else at most every 50 ms, so that a run over many small files does not pay a write for each
// status. A line held back goes out with a later status or pump, or at the end of the run.
void flush_lines(bool force) {
    if (!out.unflushed) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - out.last_flush < std::chrono::milliseconds(50)) return;
    out.last_flush = now;
    out.unflushed = false;
    fflush(stdout);
}

// Ends the updating line, so that what follows starts on a line of its own, and hands over
// the plain lines held back, before anything is written to the error stream.
void end_line() {
    flush_lines(true);
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
        out.unflushed = true;
        flush_lines(false);
    }
}

void on_progress(int position) {
    out.position = position;
    if (out.showing && out.terminal) draw_line(false);
}

void on_pump() {
    if (out.stale && out.showing) draw_line(false);
    flush_lines(false);
    if (console_take_interrupt()) window_post_command(IDC_CANCEL_RESET);
}

void pump_all() {
    while (window_pump_one()) {}
}

// The exit status for what the run came to, with what the user is told of it.
int finish(const run_outcome &o) {
    switch (o.end) {
    case run_end::refused: fprintf(stderr, "sarvelt-cli: %s\n", o.message.c_str()); return 2;
    case run_end::log_unavailable:
        // Nothing can be done without the log, and nothing was done.
        fprintf(stderr, "sarvelt-cli: %s", o.message.c_str());
        return 1;
    case run_end::done_with_errors:
        printf("%s\n", o.message.c_str());
        if (o.log_write_error)
            fprintf(stderr, "sarvelt-cli: %s could not be written in full: %s\n", log_file_name,
                    os_error_text(o.log_write_error).c_str());
        return 1;
    case run_end::cancelled: return 130;
    case run_end::done:
    case run_end::already_running: return 0;
    }
    return 0;
}

// What a preview found, as the user reads it: each file that would change (its path as the
// log gives it, then its count) with its first changed lines, the files left alone, and the
// totals.
void print_preview(const preview_report &r) {
    for (const preview_row &row : r.changes) {
        printf("%s: %llu replacement%s\n", row.path.c_str(),
               (unsigned long long)row.what.replacements, row.what.replacements == 1 ? "" : "s");
        for (const changed_line &c : row.what.first) {
            printf("-%llu: %s\n", (unsigned long long)c.number, c.before.c_str());
            printf("+%llu: %s\n", (unsigned long long)c.number, c.after.c_str());
        }
    }
    for (const auto &left : r.left_alone)
        printf("left alone: %s (%s)\n", left.first.c_str(), left.second.c_str());
    printf("Preview: %llu file%s would change, %llu replacement%s in all; %llu file%s read, "
           "%llu left alone.\n",
           (unsigned long long)r.changes.size(), r.changes.size() == 1 ? "" : "s",
           (unsigned long long)r.replacements, r.replacements == 1 ? "" : "s",
           (unsigned long long)r.files_read, r.files_read == 1 ? "" : "s",
           (unsigned long long)r.left_alone.size());
}

int usage_error(const char *what, const char *detail) {
    fprintf(stderr, "sarvelt-cli: %s%s\n\n%s", what, detail, usage_text);
    return 2;
}

// The option a run's sarvelt-cli starts itself again with, to remove the runs that went from
// the undo store after it has ended (see undo_hand_off_removal). Harmless when typed: it
// removes only what is left of runs that went.
const char remove_gone_option[] = "--remove-gone";

#if !defined(_WIN32)
bool start_remover() { return console_start_detached(remove_gone_option) != 0; }
#endif

}  // namespace

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], remove_gone_option) == 0) {
        undo_remove_gone();
        return 0;
    }
#if !defined(_WIN32)
    // Not on Windows: under Wine, where it is tested, a process started so keeps the run's
    // standard streams open (Wine hands its own descriptors on) and may wait forever for a
    // Wine server that ended with the run. The run's thread removes the folders there.
    undo_hand_off_removal(start_remover);
#endif
    std::map<std::string, std::string> values;
    bool preview = false, undo = false, no_undo = false, include_binary = false;
    std::string code_page;
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
        if (eq == std::string::npos && (name == "preview" || name == "undo" || name == "no-undo" ||
                                         name == "include-binary")) {
            (name == "preview"          ? preview
             : name == "undo"           ? undo
             : name == "include-binary" ? include_binary
                                        : no_undo) = true;
            continue;
        }
        if (name == "code-page") {
            if (eq == std::string::npos) {
                if (i + 1 >= argc) return usage_error("missing value for ", arg.c_str());
                value = argv[++i];
            }
            code_page = value;
            continue;
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
    if (!values.count("search") && !undo) return usage_error("missing ", "--search");
    if (undo && (preview || values.count("search")))
        return usage_error("--undo takes no ", preview ? "--preview" : "--search");
    for (const option_field &o : option_fields) {
        auto v = values.find(o.name);
        if (v != values.end() && o.room > 0 && v->second.size() > size_t(o.room - 1)) {
            fprintf(stderr, "sarvelt-cli: --%s is too long (at most %d characters)\n", o.name,
                    o.room - 1);
            return 2;
        }
    }

    // The code page is checked before anything is touched: a number the platform knows.
    if (!code_page.empty()) {
        char *end = nullptr;
        const unsigned long page = strtoul(code_page.c_str(), &end, 10);
        text_setup probe;
        if (*end != '\0' || code_page[0] < '0' || code_page[0] > '9' || page == 0 ||
            page > 65535 || !make_text_setup(uint32_t(page), include_binary, &probe)) {
            fprintf(stderr, "sarvelt-cli: --code-page %s is not a code page this system knows\n",
                    code_page.c_str());
            return 2;
        }
        run_text_choice.code_page = uint32_t(page);
    }
    run_text_choice.include_binary = include_binary;

    // A write past the file size limit (ulimit -f) must fail as an ordinary write error, which
    // the rewrite handles (the temporary file is removed, the file left as it was); and the
    // console must show the program's text as it is.
    console_prepare();
    out.terminal = console_is_terminal() != 0;
    // The command handling, then what the program prints from: texts, progress and pumps.
    headless_open(headless_host{command_handle, command_window_destroyed, on_text, on_progress,
                                on_pump, nullptr});
    window_post_command(CMD_INIT);
    pump_all();

    for (const option_field &o : option_fields) {
        auto v = values.find(o.name);
        if (v != values.end()) window_set_text(o.control, v->second.c_str());
    }

    console_catch_interrupts();
    out.showing = true;
    command_keep_originals(!no_undo);
    window_post_command(undo ? IDC_UNDO : preview ? IDC_PREVIEW : IDC_RUN);
    pump_all();
    end_line();
    const run_outcome &o = command_last_outcome();
    const bool ran = o.end != run_end::refused && o.end != run_end::log_unavailable;
    if (preview && ran) print_preview(command_last_preview());
    if (!preview && !undo && ran)
        printf("Files rewritten: %llu, without occurrence: %llu, left alone: %llu, errors: %llu\n",
               (unsigned long long)o.rewritten, (unsigned long long)o.untouched,
               (unsigned long long)o.left_alone, (unsigned long long)o.failed);
    int status = finish(command_last_outcome());
    fflush(stdout);
    console_restore();
    return status;
}
