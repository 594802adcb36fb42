// Run state, the message pump, the cooperative wait and the scan's view of the window.
#include "scan/run_state.h"

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "log/log.h"
#include "platform/os.h"
#include "resources/resource.h"
#include "scan/pipeline.h"

run_state_t run_state = {0, 0, 0, 0, 0, 0, 0};
run_fields_t run_fields = {};

namespace {

// Empty Name Len and Age days fields: sound, and selecting everything.
struct fields_defaults {
    fields_defaults() {
        run_fields.name_len_ok = 1;
        run_fields.age_days_ok = 1;
    }
} set_fields_defaults;

constexpr int tick_ms = 10;

}  // namespace

void pump_one_message() {
    window_pump_one();
    // The command just handled may have paused or stopped the run: the work ahead waits too.
    pipeline_allow(!run_state.paused && !run_state.stop_walk);
}

void wait_ticks(int32_t milliseconds) {
    // In 64 bits, so that the largest delays cannot overflow the rounding up.
    int64_t ticks = (int64_t(milliseconds) + tick_ms - 1) / tick_ms;
    // The log's entries that wait are written before the walk stands still.
    if (ticks > 0) log_write_waiting();
    for (int64_t i = 0; i < ticks; ++i) {
        if (run_state.closing || run_state.cancel_requested) return;
        pump_one_message();
        os_sleep_ms(tick_ms);
        pump_one_message();
    }
}

void wait_pumping(int32_t milliseconds) {
    log_write_waiting();  // the walk stands still: the log tells what it has reached
    for (int32_t waited = 0; waited < milliseconds; waited += tick_ms) {
        pump_one_message();
        os_sleep_ms(tick_ms);
    }
    pump_one_message();
}

void set_status(const char *format, ...) {
    char text[400];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    set_status_text(text);
}

void set_status_text(const char *text) {
    char cut[400];
    const size_t n = strlen(text);
    if (n >= sizeof cut) {
        memcpy(cut, text, sizeof cut - 1);
        cut[sizeof cut - 1] = '\0';
        text = cut;
    }
    window_set_text(IDC_STATUS, text);
}

void set_progress_position(uint32_t position) {
    window_set_progress(position > 1000 ? 1000 : int(position));
}

int32_t read_delay_field() {
    memset(run_fields.delay_text, 0, sizeof run_fields.delay_text);
    window_get_text(IDC_DELAY, run_fields.delay_text, delay_text_read);
    const char *p = run_fields.delay_text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    int64_t value = 0;  // magnitude, held at INT32_MAX + 1 once past it
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
    }
    if (negative) return int32_t(-value);
    return value > INT32_MAX ? INT32_MAX : int32_t(value);
}
