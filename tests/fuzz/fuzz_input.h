// The shape of a fuzz input shared by the targets. The definitions the engine must match (the
// replacement loop and the text-mode rule of the file rewrite) are tests/common/reference.h.
//
// Input: byte 0 gives the search text's length (1 to 8), byte 1 the replacement's (0 to 8),
// byte 2 the piece size for feeding a line in pieces (1 to 64); then the search text, the
// replacement, and the rest is the line or the file. NUL in the search or replacement becomes
// 'a' (both are C strings to the engine); the rest may hold any byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/reference.h"

struct fuzz_input {
    std::string search;
    std::string repl;
    size_t piece = 1;
    std::string body;
};

inline bool split_input(const uint8_t *data, size_t size, fuzz_input *in) {
    if (size < 3) return false;
    size_t m = 1 + data[0] % 8;
    size_t r = data[1] % 9;
    in->piece = 1 + data[2] % 64;
    if (size < 3 + m + r) return false;
    const char *p = reinterpret_cast<const char *>(data) + 3;
    in->search.assign(p, m);
    in->repl.assign(p + m, r);
    for (char &c : in->search)
        if (c == '\0') c = 'a';
    for (char &c : in->repl)
        if (c == '\0') c = 'a';
    in->body.assign(p + m + r, size - 3 - m - r);
    return true;
}

// A line whose plain loop runs past the budget makes the engine work up to its runaway guard
// (hundreds of MiB, seconds under the sanitizers): such inputs would take the fuzzer's whole
// time. One in sixty-four of them, chosen by the input's bytes so that a run can be repeated, is
// still handed to the engine; the rest stop at the reference.
inline bool run_heavy(const uint8_t *data, size_t size) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return h % 64 == 0;
}
