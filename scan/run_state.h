// The state a run shares with the window: the run flags and counters, the field values a run
// works with, the message pump, the cooperative wait, and the three ways the scan reaches the
// window (status text, progress bar, Delay field).
//
// Everything runs on one thread. A run executes inside the handling of RUN and pumps window
// messages as it goes, so the commands (PAUSE, RUN / CONTINUE, CANCEL / RESET, QUIT) are
// handled in the middle of a run and talk to it only through these flags.
#pragma once

#include <cstdint>
#include <string>

#include "platform/window.h"

struct run_state_t {
    int busy;                // a run is in progress
    int paused;              // the user paused the run
    int cancel_requested;    // CANCEL / RESET since the last RUN / CONTINUE; ends waits
    int stop_walk;           // the walk stops at its next check
    int closing;             // the window is being closed; ends waits and pauses
    uint32_t matched_count;  // files selected so far in the current pass
    uint32_t total_matches;  // files selected by the last counting pass
};
extern run_state_t run_state;

// Room of the field buffers, terminator included. The Path is read whole, however long.
constexpr int folder_path_room = 460;
constexpr int search_text_room = 5008;
constexpr int delay_text_room = 664;
constexpr int count_text_room = 64;  // Name Len and Age days

// How many bytes the fields are read with (terminator included); a longer text is cut there.
constexpr int folder_path_read = 459;
constexpr int search_text_read = 5000;
constexpr int delay_text_read = 659;
// The Type is read with one byte more than it may hold, so that a longer one is seen (and
// refused) rather than cut.
constexpr int type_text_longest = folder_path_read - 1;

// The dialog's values for a run. Command 201 fills them (delay_text: read_delay_field).
struct run_fields_t {
    std::string folder_path;
    char file_type[folder_path_room];
    char size_text[folder_path_room];
    uint64_t min_size;  // parse_size_text(size_text)
    char search_text[search_text_room];
    char replace_text[search_text_room];
    char delay_text[delay_text_room];
    char name_len_text[count_text_room];
    char age_days_text[count_text_room];
    // Parsed Name Len and Age days: *_ok is 0 when the text is not a whole number (RUN
    // refuses it); *_given is 0 for an empty field, which selects as if there were no field.
    int name_len_ok;
    int name_len_given;
    uint64_t min_name_len;
    int age_days_ok;
    int age_days_given;
    uint64_t age_days;
};
extern run_fields_t run_fields;

// Takes one waiting message from the queue, if any, and dispatches it. Never waits.
void pump_one_message();

// Waits milliseconds in ticks of 10 ms, pumping messages; returns early once closing or
// cancel_requested is raised. 1 to 10 ms wait one tick; 0 or less none.
void wait_ticks(int32_t milliseconds);

// Waits milliseconds in ticks of 10 ms, pumping messages, whatever the flags say: how a rewrite
// waits for a file that another program holds for a moment. CANCEL does not cut it short, since
// a rewrite is never interrupted; the walk stops after it.
void wait_pumping(int32_t milliseconds);

// The Status line shows the formatted text (cut to 399 characters).
void set_status(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The Status line shows text as it is (cut to 399 characters).
void set_status_text(const char *text);

// The progress bar shows position (0 to 1,000; more shows as full).
void set_progress_position(uint32_t position);

// Reads the Delay field into delay_text and returns its value as atol reads a 32-bit long:
// leading white space and a sign, digits up to the first non-digit, saturated to the 32-bit
// range. 0 when there is no window.
int32_t read_delay_field();
