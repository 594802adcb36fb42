// The replacement written out as plainly as it can be, for the tests and the fuzz targets to
// hold the engine against: a line's loop (find the leftmost occurrence, searching from offset 0
// every time, replace it, repeat until none is left) and the whole-file rewrite in text mode
// (read: CR LF arrives as LF, every other byte as it is; write: LF is stored as CR LF; a file
// without change keeps its bytes).
//
// Standard C++ only: the fuzz targets are built from it with clang, outside the project's build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace testutil {

// The plain loop over one line. Returns 1 changed, 0 unchanged, -1 when it ran past its budget
// (more than max_steps replacements, or the line grew longer than max_size): the engine may then
// stop with its runaway guard or finish, either is accepted. A replacement that holds the search
// text always leaves an occurrence: it never ends (-1 as soon as there is one).
// *count (if given) grows by the replacements made.
inline int reference_replace(std::string &line, const std::string &search, const std::string &repl,
                             size_t max_size = size_t(16) << 10, int max_steps = 5000,
                             uint64_t *count = nullptr) {
    size_t k = line.find(search);
    if (k == std::string::npos) return 0;
    if (repl.find(search) != std::string::npos) return -1;
    int steps = 0;
    while (k != std::string::npos) {
        if (++steps > max_steps || line.size() > max_size) return -1;
        line.replace(k, search.size(), repl);
        if (count) ++*count;
        k = line.find(search);
    }
    return 1;
}

// The whole file as the rewrite must leave it. *result: 1 changed, 0 unchanged (the file must
// keep its bytes), -1 a line ran past the budget (then raw comes back).
inline std::string reference_rewrite(const std::string &raw, const std::string &search,
                                     const std::string &repl, int *result,
                                     size_t max_line = size_t(16) << 10,
                                     uint64_t *count = nullptr) {
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
        int r = reference_replace(line, search, repl, max_line, 5000, count);
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

// The same for a text whose every line stays within the budget (the usual test data: a search
// text and a replacement that cannot make the loop run away). Throws std::logic_error for any
// other text: a test must not compare against a result the reference does not have.
inline std::string reference_rewrite(const std::string &raw, const std::string &search,
                                     const std::string &repl) {
    int result = 0;
    std::string out = reference_rewrite(raw, search, repl, &result);
    if (result < 0)
        throw std::logic_error("reference_rewrite: a line runs past the budget for '" + search +
                               "' -> '" + repl + "'");
    return out;
}

}  // namespace testutil
