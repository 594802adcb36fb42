// The streaming form of the line replacement, used by the file rewrite so that lines of any
// length are handled whole in bounded memory. replace_all_in_line is built on it.
//
// A line is fed in pieces (line_feed) and closed with line_end. The output collects in
// state.out; line_final_bytes tells how much of its front can no longer change, and the caller
// may take that away at any time. When a replacement can form a new occurrence with the text
// before it (as deleting "ab" from "aabb" does), the replacements can cascade leftwards without
// bound, and nothing is final before the line ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct line_piece {
    const char *p;
    size_t n;
};

struct line_stream {
    // Set up once per search and replacement text.
    const char *search = nullptr;
    size_t search_len = 0;
    const char *replace = nullptr;
    size_t replace_len = 0;
    bool replace_holds_search = false;  // every replacement would bring the text back
    bool can_cascade_left = false;      // a replacement can form an occurrence reaching left
    bool can_cascade_right = false;     // ... or one that starts in it and reaches right
    size_t search_rare_at = 0;          // where the search text's least common byte stands

    // Per line.
    std::string out;                  // processed text; holds no occurrence
    std::vector<line_piece> pending;  // text still to process, top of the stack first
    std::string window;               // scratch for the check across out's end
    bool check_boundary = false;      // out's end must be checked against what follows
    uint64_t fed = 0;                 // bytes fed into this line
    uint64_t replacements = 0;        // replacements made in this line
    int64_t growth = 0;               // bytes added minus bytes removed in this line
};

// Result of line_feed and line_end: 0 fine, -1 stopped by the runaway guard.
void line_setup(line_stream &s, const char *search, size_t search_len, const char *replace,
                size_t replace_len);
void line_begin(line_stream &s);
int line_feed(line_stream &s, const char *p, size_t n);
int line_end(line_stream &s);
// How many bytes at the front of s.out can no longer change.
size_t line_final_bytes(const line_stream &s);

// Leftmost occurrence of needle in hay, or SIZE_MAX.
size_t find_bytes(const char *hay, size_t hay_len, const char *needle, size_t needle_len);
// The same, for a needle whose least common byte (rarest_byte_at) is known already: a search
// that runs once per occurrence should not work it out again every time.
size_t find_bytes(const char *hay, size_t hay_len, const char *needle, size_t needle_len,
                  size_t rare_at);
size_t rarest_byte_at(const char *needle, size_t needle_len);
// The number of LFs in p[0, n), and the last of them (null when there is none): lines are
// numbered a block at a time, not one memchr per line.
size_t count_lf(const char *p, size_t n);
const char *last_lf(const char *p, size_t n);
// The search text of s in hay.
inline size_t find_search(const line_stream &s, const char *hay, size_t hay_len) {
    return find_bytes(hay, hay_len, s.search, s.search_len, s.search_rare_at);
}
