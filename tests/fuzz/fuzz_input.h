// The shape of a fuzz input shared by the targets, and the plain definitions the engine must
// match: the replacement loop (leftmost occurrence, search again from the start) and the
// text-mode rule of the file rewrite (read: CR LF arrives as LF, every other byte as it is;
// write: LF is stored as CR LF).
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

// The plain loop. Returns 1 changed, 0 unchanged, -1 when it ran past the budget of 5,000 steps
// or a line longer than max_size (the engine may then stop with its runaway guard or finish:
// either is accepted).
inline int reference_replace(std::string &line, const std::string &search, const std::string &repl,
                             size_t max_size = size_t(16) << 10) {
    size_t k = line.find(search);
    if (k == std::string::npos) return 0;
    // A replacement that holds the search text always leaves an occurrence: it never ends.
    if (repl.find(search) != std::string::npos) return -1;
    int steps = 0;
    while (k != std::string::npos) {
        if (++steps > 5000 || line.size() > max_size) return -1;
        line.replace(k, search.size(), repl);
        k = line.find(search);
    }
    return 1;
}

// The whole file as the rewrite must leave it. *result: 1 changed, 0 unchanged (the file must
// keep its bytes), -1 a line ran past the budget.
inline std::string reference_rewrite(const std::string &raw, const std::string &search,
                                     const std::string &repl, int *result,
                                     size_t max_line = size_t(16) << 10) {
    std::string view;
    view.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        view += raw[i];
    }
    std::string out;
    bool changed = false;
    size_t start = 0;
    while (start < view.size()) {
        size_t lf = view.find('\n', start);
        size_t end = lf == std::string::npos ? view.size() : lf + 1;
        std::string line = view.substr(start, end - start);
        int r = reference_replace(line, search, repl, max_line);
        if (r < 0) {
            *result = -1;
            return raw;
        }
        changed = changed || r == 1;
        for (char c : line) {
            if (c == '\n') out += '\r';
            out += c;
        }
        start = end;
    }
    *result = changed ? 1 : 0;
    return changed ? out : raw;
}
