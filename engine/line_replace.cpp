// Line replacement: every occurrence of the search text goes, including occurrences that a
// replacement forms together with the text around it, until the line holds none.
//
// The result equals that of the plain loop "find the leftmost occurrence from the start of
// the line, replace it, repeat", but the work is linear: after a replacement at offset k no
// occurrence can start before k - len(search) + 1, because the text before k is unchanged and
// held no occurrence. So the processed text (out) never holds an occurrence; only its last
// len(search) - 1 bytes can still take part in one, together with the text that follows.
// What follows is a stack of pieces: the replacement text just inserted on top, the rest of
// the line below it.
#include <string.h>

#include <algorithm>
#include <cstdint>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/engine.h"
#include "engine/line_stream.h"

namespace {

// How common a byte is in the files people rewrite: the search looks for the needle's least
// common byte first, so that it stops at few places that are not a match.
int byte_rank_of(unsigned char c) {
    if (c >= 'a' && c <= 'z') return strchr("etaoinsrhldcum", c) ? 10 : 8;
    if (c == ' ' || c == '\n' || c == '\r') return 10;
    if (c == 0 || c == 0xff) return 7;  // common in binary files
    if ((c >= '0' && c <= '9') || strchr(".,;:()_=\"'-/\t", c)) return 6;
    if (c >= 'A' && c <= 'Z') return 4;
    return 2;
}

struct byte_ranks {
    unsigned char rank[256];
    byte_ranks() {
        for (int c = 0; c < 256; ++c) rank[c] = (unsigned char)byte_rank_of((unsigned char)c);
    }
};

const byte_ranks ranks;

// Where the needle is when memchr's quick look is no help (too many stops that were no
// match): a search whose time stays linear in the worst case where the C library has one.
size_t find_bytes_steady(const char *hay, size_t hay_len, const char *needle, size_t needle_len) {
    if (hay_len < needle_len) return SIZE_MAX;
#if defined(__GLIBC__)
    const void *hit = memmem(hay, hay_len, needle, needle_len);
    return hit ? size_t(static_cast<const char *>(hit) - hay) : SIZE_MAX;
#else
    const char last = needle[needle_len - 1];
    const char *p = hay + needle_len - 1;
    const char *end = hay + hay_len;
    while (p < end) {
        const char *q = static_cast<const char *>(memchr(p, last, size_t(end - p)));
        if (!q) return SIZE_MAX;
        const char *start = q - (needle_len - 1);
        if (memcmp(start, needle, needle_len - 1) == 0) return size_t(start - hay);
        p = q + 1;
    }
    return SIZE_MAX;
#endif
}

}  // namespace

size_t rarest_byte_at(const char *needle, size_t needle_len) {
    size_t at = 0;
    for (size_t i = 1; i < needle_len; ++i)
        if (ranks.rank[(unsigned char)needle[i]] < ranks.rank[(unsigned char)needle[at]]) at = i;
    return at;
}

size_t count_lf(const char *p, size_t n) {
    size_t count = 0, i = 0;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n'), zero = _mm_setzero_si128();
    while (n - i >= 16) {
        // Each byte lane counts up to 255 pieces of 16 bytes before the lanes are summed.
        const size_t pieces = std::min<size_t>((n - i) / 16, 255);
        __m128i lanes = zero;
        for (size_t k = 0; k < pieces; ++k, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(v, lf));
        }
        const __m128i sums = _mm_sad_epu8(lanes, zero);
        count +=
            size_t(_mm_cvtsi128_si32(sums)) + size_t(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    // The rest (all of it without SSE2) a word at a time. A byte of the word that is 0 once
    // the LFs are made 0 is found without a borrow from its neighbours: its 0x80 bit is the
    // only one left set in the mask.
    constexpr uint64_t ones = 0x0101010101010101ull, lows = 0x7F7F7F7F7F7F7F7Full;
    for (; n - i >= 8; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, sizeof w);
        w ^= ones * '\n';
        const uint64_t zeros = ~(((w & lows) + lows) | w | lows);
        count += size_t(((zeros >> 7) * ones) >> 56);
    }
    for (; i < n; ++i) count += p[i] == '\n';
    return count;
}

const char *last_lf(const char *p, size_t n) {
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    for (; n >= 16; n -= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + n - 16));
        const unsigned mask = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lf)));
        if (mask) return p + n - 16 + (31 - __builtin_clz(mask));
    }
#endif
    while (n > 0)
        if (p[--n] == '\n') return p + n;
    return nullptr;
}

size_t find_bytes(const char *hay, size_t hay_len, const char *needle, size_t needle_len) {
    return find_bytes(hay, hay_len, needle, needle_len, rarest_byte_at(needle, needle_len));
}

size_t find_bytes(const char *hay, size_t hay_len, const char *needle, size_t needle_len,
                  size_t at) {
    if (needle_len == 0) return 0;
    if (hay_len < needle_len) return SIZE_MAX;
    if (needle_len == 1) {
        const void *hit = memchr(hay, needle[0], hay_len);
        return hit ? size_t(static_cast<const char *>(hit) - hay) : SIZE_MAX;
    }
    // memchr (vectorised) finds the needle's rarest byte (at); each stop is checked whole.
    const char rare = needle[at];
    const char *p = hay + at;
    const char *const last = hay + (hay_len - needle_len) + at;  // the rare byte's last place
    size_t misses = 0;
    while (p <= last) {
        const char *q = static_cast<const char *>(memchr(p, rare, size_t(last - p) + 1));
        if (!q) return SIZE_MAX;
        const char *start = q - at;
        if (memcmp(start, needle, needle_len) == 0) return size_t(start - hay);
        // Many stops for little progress: the text is made of the needle's bytes.
        if (++misses > 32 && misses * 32 > size_t(q - hay)) {
            size_t rest =
                find_bytes_steady(start + 1, hay_len - size_t(start + 1 - hay), needle, needle_len);
            return rest == SIZE_MAX ? SIZE_MAX : size_t(start + 1 - hay) + rest;
        }
        p = q + 1;
    }
    return SIZE_MAX;
}

namespace {

// Replacements a line may take before the guard calls it endless: generous for any line
// whose rewrite ends, reached quickly by one that cycles without growing.
uint64_t replacement_limit(const line_stream &s) { return 16 * s.fed + (uint64_t(1) << 24); }

// Removes n bytes from the front of the pending text (top of the stack first).
void consume_pending(line_stream &s, size_t n) {
    while (n > 0 && !s.pending.empty()) {
        line_piece &top = s.pending.back();
        size_t take = top.n < n ? top.n : n;
        top.p += take;
        top.n -= take;
        n -= take;
        if (top.n == 0) s.pending.pop_back();
    }
}

// Counts one replacement whose replacement text is now on top of the stack; applies the guard.
int note_replacement(line_stream &s) {
    s.replacements++;
    s.growth += int64_t(s.replace_len) - int64_t(s.search_len);
    if (s.replace_holds_search) return -1;  // the text would come back after every replacement
    if (s.growth > int64_t(runaway_growth_limit)) return -1;
    if (s.replacements > replacement_limit(s)) return -1;
    if (s.replace_len > 0) s.pending.push_back(line_piece{s.replace, s.replace_len});
    s.check_boundary = true;
    return 0;
}

// Looks for an occurrence that starts in out's last len-1 bytes and runs on into the pending
// text. Replaces it if there is one: returns 1 (or -1 from the guard), else 0.
int replace_across_boundary(line_stream &s) {
    const size_t m = s.search_len;
    size_t tail = s.out.size() < m - 1 ? s.out.size() : m - 1;
    if (tail == 0) return 0;
    s.window.assign(s.out, s.out.size() - tail, tail);
    size_t need = m - 1;
    for (auto it = s.pending.rbegin(); it != s.pending.rend() && need > 0; ++it) {
        size_t take = it->n < need ? it->n : need;
        s.window.append(it->p, take);
        need -= take;
    }
    size_t j = find_search(s, s.window.data(), s.window.size());
    if (j == SIZE_MAX || j >= tail) return 0;
    s.out.resize(s.out.size() - (tail - j));
    consume_pending(s, m - (tail - j));
    return note_replacement(s) < 0 ? -1 : 1;
}

// Works through the pending text until none is left.
int process(line_stream &s) {
    const size_t m = s.search_len;
    while (!s.pending.empty()) {
        if (s.check_boundary) {
            int r = replace_across_boundary(s);
            if (r < 0) return -1;
            if (r > 0) continue;
            s.check_boundary = false;
        }
        line_piece &top = s.pending.back();
        size_t k = find_search(s, top.p, top.n);
        if (k == SIZE_MAX) {
            s.out.append(top.p, top.n);
            s.pending.pop_back();
            s.check_boundary = true;
            continue;
        }
        s.out.append(top.p, k);
        top.p += k + m;
        top.n -= k + m;
        if (top.n == 0) s.pending.pop_back();
        if (note_replacement(s) < 0) return -1;
    }
    return 0;
}

}  // namespace

void line_setup(line_stream &s, const char *search, size_t search_len, const char *replace,
                size_t replace_len) {
    s.search = search;
    s.search_len = search_len;
    s.replace = replace;
    s.replace_len = replace_len;
    s.search_rare_at = rarest_byte_at(search, search_len);
    s.replace_holds_search =
        search_len > 0 && find_bytes(replace, replace_len, search, search_len) != SIZE_MAX;
    // A new occurrence starting L bytes before an inserted replacement needs the replacement to
    // continue the search text from its byte L on (as far as the replacement reaches).
    s.can_cascade_left = false;
    for (size_t L = 1; L < search_len && !s.can_cascade_left; ++L) {
        size_t n = replace_len < search_len - L ? replace_len : search_len - L;
        s.can_cascade_left = memcmp(search + L, replace, n) == 0;
    }
    // One that starts inside the replacement and runs on past its end needs an end of the
    // replacement to be a start of the search text.
    s.can_cascade_right = false;
    for (size_t n = 1; n < search_len && n <= replace_len && !s.can_cascade_right; ++n)
        s.can_cascade_right = memcmp(replace + replace_len - n, search, n) == 0;
    line_begin(s);
}

void line_begin(line_stream &s) {
    s.out.clear();
    s.pending.clear();
    s.check_boundary = false;
    s.fed = 0;
    s.replacements = 0;
    s.growth = 0;
}

int line_feed(line_stream &s, const char *p, size_t n) {
    if (s.search_len == 0) return -1;  // an empty text occurs everywhere, without end
    if (n == 0) return 0;
    s.fed += n;
    s.pending.push_back(line_piece{p, n});
    // Whatever was processed before this piece must be checked against it.
    s.check_boundary = !s.out.empty();
    return process(s);
}

int line_end(line_stream &s) {
    if (s.search_len == 0) return -1;
    return process(s);
}

size_t line_final_bytes(const line_stream &s) {
    if (s.can_cascade_left) return 0;
    size_t keep = s.search_len > 0 ? s.search_len - 1 : 0;
    return s.out.size() > keep ? s.out.size() - keep : 0;
}

int replace_all_in_line(std::string &line, const char *search_text, const char *replace_text) {
    if (!search_text || !replace_text) return -1;
    size_t m = strlen(search_text);
    if (m == 0) return -1;
    if (line.size() < m) return 0;
    // The common case first: no occurrence at all.
    if (find_bytes(line.data(), line.size(), search_text, m) == SIZE_MAX) return 0;
    line_stream s;
    line_setup(s, search_text, m, replace_text, strlen(replace_text));
    if (line_feed(s, line.data(), line.size()) < 0) return -1;
    if (line_end(s) < 0) return -1;
    line.swap(s.out);
    return 1;
}
