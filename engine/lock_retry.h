// Tries again a file call that another program's brief hold on the file makes fail (a scanner,
// an indexer, a backup tool, a reader): the rewrite's parts share one budget and one way of
// waiting (rewrite_set_lock_wait).
#pragma once

#include <cstdint>

#include "platform/os.h"

// Passes the time between two tries, the way this thread was given (rewrite_set_lock_wait).
void lock_retry_wait(int milliseconds);

// About two seconds of tries: pauses of 10, 20, 40 and 80 ms, then 100 ms each.
constexpr int lock_budget_ms = 2000;

// Runs attempt (1 success, 0 failure with the system's error set) until it succeeds, or fails
// for another reason than a lock that another program holds on path for a moment, or the time
// for tries is used up. The system's error of the last try is kept.
template <class Attempt>
int retry_while_locked(const char *path, Attempt attempt) {
    int waited = 0;
    for (int pause = 10;; pause = pause * 2 > 100 ? 100 : pause * 2) {
        if (attempt()) return 1;
        uint32_t code = os_last_error();
        // Looking at the file to tell a lock from a lasting refusal sets an error of its own.
        bool locked = waited < lock_budget_ms && os_error_is_transient_lock(code, path);
        os_set_last_error(code);
        if (!locked) return 0;
        lock_retry_wait(pause);
        waited += pause;
    }
}
