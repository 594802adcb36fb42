// The session log. One file per process, opened (and emptied) by the first entry and kept
// open until the process ends; every entry is written at once (but those that may wait, a
// moment), so the file is complete up to the last entry even if the process is ended from
// outside. Line feeds are stored as CR LF on every platform, as a Windows text stream stores
// them.
#include "log/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <string>

const char *const log_file_name = "logging.log";
int errors_seen = 0;

namespace {

// One entry may hold the search and replacement texts and two paths of the longest the system
// takes (on Windows 32,760 UTF-16 units, up to three bytes each here); longer entries are cut.
constexpr size_t entry_limit = 256 * 1024;
const char *const cut_mark = " [...]\n";

enum log_state { log_closed, log_open, log_failed };

log_state state = log_closed;
os_file log_handle;
uint32_t write_error = 0;   // the first failed write's error, until taken
os_file_id session_log_id;  // the open log file, or the file the log would open
bool session_log_id_known = false;

// Entries that wait to be written with the next ones (CR LF already), and since when.
std::string waiting;
std::chrono::steady_clock::time_point waiting_since;
constexpr size_t most_waiting = 64 * 1024;
constexpr auto longest_wait = std::chrono::milliseconds(50);

bool id_valid(const os_file_id &id) { return id.volume != 0 || id.index != 0; }

void remember_identity() {
    os_stat st;
    session_log_id_known = os_stat_path(log_file_name, &st, 1) && id_valid(st.id);
    if (session_log_id_known) session_log_id = st.id;
}

// The local time as "Sun Dec 06 04:20:24 2026\n" (day of the month always two digits).
std::string local_asctime() {
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct tm t;
    memset(&t, 0, sizeof t);
    os_local_time(os_time_now(), &t);
    char buf[64];
    snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %d\n", days[t.tm_wday % 7],
             months[t.tm_mon % 12], t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_year + 1900);
    return buf;
}

// Writes text with every line feed stored as CR LF, in one write with what waits before it;
// or, with may_wait, adds it to what waits.
void write_text(const std::string &text, bool may_wait = false) {
    if (may_wait && waiting.empty()) waiting_since = std::chrono::steady_clock::now();
    const char *p = text.data();
    const char *end = p + text.size();
    while (const char *lf = static_cast<const char *>(memchr(p, '\n', size_t(end - p)))) {
        waiting.append(p, size_t(lf - p));
        waiting.append("\r\n", 2);
        p = lf + 1;
    }
    waiting.append(p, size_t(end - p));
    if (may_wait && waiting.size() < most_waiting &&
        std::chrono::steady_clock::now() - waiting_since < longest_wait)
        return;
    log_write_waiting();
}

bool open_log() {
    if (!os_open_log(log_file_name, &log_handle)) {
        state = log_failed;
        return false;
    }
    state = log_open;
    remember_identity();
    static const char rule[] =
        "--------------------------------------------------------------------------\n";
    std::string banner = "\n\n";
    banner += rule;
    banner += "INFO: Session Logging beginning " + local_asctime() + " \n";
    banner += rule;
    write_text(banner);
    return true;
}

// An entry at or past entry_limit keeps what fits before the cut mark.
void cut_to_limit(std::string &entry) {
    if (entry.size() < entry_limit) return;
    entry.resize(entry_limit - 1 - strlen(cut_mark));
    entry += cut_mark;
}

// The formatted entry, cut to entry_limit.
std::string format_entry(const char *format, va_list args) {
    char first[2048];  // most entries fit
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(first, sizeof first, format, args);
    if (n < 0) n = 0;
    std::string entry;
    if (size_t(n) < sizeof first) {
        entry.assign(first, size_t(n));
    } else {
        entry.assign(std::min(size_t(n), entry_limit) + 1, '\0');
        vsnprintf(&entry[0], entry.size(), format, again);
        entry.pop_back();
    }
    va_end(again);
    cut_to_limit(entry);
    return entry;
}

void write_entry(std::string &entry, bool may_wait) {
    if (state == log_closed && !open_log()) return;
    if (entry.empty() || entry.back() != '\n') entry += '\n';
    write_text(entry, may_wait);
}

void log_entry(bool may_wait, const char *format, va_list args) {
    if (state == log_failed) return;
    std::string entry = format_entry(format, args);
    write_entry(entry, may_wait);
}

}  // namespace

void log_message(const char *format, ...) {
    va_list args;
    va_start(args, format);
    log_entry(false, format, args);
    va_end(args);
}

void log_message_may_wait(const char *format, ...) {
    va_list args;
    va_start(args, format);
    log_entry(true, format, args);
    va_end(args);
}

void log_strings(bool may_wait, const char *format, std::initializer_list<const char *> strings) {
    if (state == log_failed) return;
    std::string entry;
    const char *const *next = strings.begin();
    for (const char *p = format; *p;) {
        const char *mark = strchr(p, '%');
        if (!mark) {
            entry += p;
            break;
        }
        entry.append(p, size_t(mark - p));
        if (mark[1] == 's' && next != strings.end()) entry += *next++;
        if (mark[1] == '%') entry += '%';
        p = mark[1] ? mark + 2 : mark + 1;
        if (entry.size() >= entry_limit) break;
    }
    cut_to_limit(entry);
    write_entry(entry, may_wait);
}

void log_write_waiting() {
    if (waiting.empty()) return;
    bool written = os_write_log(log_handle, waiting.data(), waiting.size()) != 0;
    waiting.clear();
    if (written) return;
    if (write_error == 0) write_error = os_last_error();
    if (write_error == 0) write_error = 1;
    errors_seen = 1;
}

void log_system_error(const char *path) {
    uint32_t code = os_last_error();  // read before anything else can change it
    log_message("ERROR:  %s: unknown error 0x%lx\n", path ? path : "", (unsigned long)code);
}

int log_unavailable() { return state == log_failed ? 1 : 0; }

std::string log_unavailable_text() {
    char text[300];
    snprintf(text, sizeof text, "ERROR:  The debug logging file '%s' could not not be opened\n",
             log_file_name);
    return text;
}

uint32_t log_take_write_error() {
    uint32_t code = write_error;
    write_error = 0;
    return code;
}

int log_is_session_log(const os_file_id &id) {
    return session_log_id_known && id_valid(id) && id == session_log_id;
}

void log_refresh_identity() {
    // Once open, the log is the file opened then, whatever happens to its name later.
    if (state != log_open) remember_identity();
}
