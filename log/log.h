// The session log, "logging.log" in the current folder, and the error mark.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "platform/os.h"

// The name of the session log file.
extern const char *const log_file_name;

// Raised (1) when a rewrite failed during a run; read and cleared at the end of the run.
extern int errors_seen;

// Writes one entry, printf style. The first call of the process creates (or empties) the log
// file and writes the banner. A line feed is added unless the message ends with one. An entry
// longer than the log's buffer is cut, and the cut is marked. A write that fails raises
// errors_seen (see log_take_write_error).
void log_message(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Writes an entry as log_message does, or lets it wait a moment to go with the next ones in one
// write: at most 50 ms, and while fewer than 64 KiB wait. Any other entry, and
// log_write_waiting, writes what waits first, so the log's order is the order of the calls. For
// the entries of files a run left as they were, and for an entry that the caller's next one
// follows before anything else is done: a process ended from outside may lose those that wait,
// never an entry of something done.
void log_message_may_wait(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void log_write_waiting();

// Writes an entry as log_message (or, with may_wait, log_message_may_wait) would write
// format filled with strings, for a format whose only conversions are "%s" (and "%%"): filled
// without printf, for the entries written once per file of a run.
void log_strings(bool may_wait, const char *format, std::initializer_list<const char *> strings);

// Writes "ERROR:  <path>: unknown error 0x<code>" for the last system error.
void log_system_error(const char *path);

// 1 once the session log could not be opened: nothing is written from then on and a run
// stops at once. What the user is told, and how the program ends, is the front end's choice;
// log_unavailable_text is what to tell.
int log_unavailable();
std::string log_unavailable_text();

// The system's error of the first write to the log that failed since the last call (0: none);
// the call forgets it.
uint32_t log_take_write_error();

// Is the file with this id the session log (open now, or the file the log would open)?
// Runs never select the log file.
int log_is_session_log(const os_file_id &id);
// Reads again which file the session log is, for log_is_session_log; a walk calls it when it
// starts.
void log_refresh_identity();
