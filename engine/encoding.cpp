// A file's encoding, its validators, the program's texts in that encoding, and where a match
// may stand in it.
#include "engine/encoding.h"

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/line_stream.h"
#include "platform/os.h"

namespace {

unsigned char byte_at(const char *p, size_t i) { return static_cast<unsigned char>(p[i]); }

bool starts_with(const char *p, size_t n, std::string_view prefix) {
    return n >= prefix.size() && memcmp(p, prefix.data(), prefix.size()) == 0;
}

// Do the NUL bytes of the file's start stand where UTF-16 puts them for mostly Latin text? Over
// the first encoding_sniff_bytes (whole code units), at least half the units must have their
// high byte zero, and zero low bytes must be rare beside them (binary data, with runs of zero
// bytes, has both). Returns enc_utf16le, enc_utf16be or enc_binary.
text_encoding nul_pattern(const char *p, size_t n) {
    size_t m = (n < encoding_sniff_bytes ? n : encoding_sniff_bytes) & ~size_t(1);
    size_t units = m / 2, even_nul = 0, odd_nul = 0;
    for (size_t i = 0; i < m; i += 2) {
        even_nul += p[i] == 0;
        odd_nul += p[i + 1] == 0;
    }
    if (units == 0) return enc_binary;
    if (2 * odd_nul >= units && 8 * even_nul <= odd_nul) return enc_utf16le;
    if (2 * even_nul >= units && 8 * odd_nul <= even_nul) return enc_utf16be;
    return enc_binary;
}

// Appends the code point cp (a Unicode scalar value) to out as UTF-8.
void put_utf8(uint32_t cp, std::string *out) {
    if (cp < 0x80) {
        *out += char(cp);
    } else if (cp < 0x800) {
        *out += char(0xC0 | (cp >> 6));
        *out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out += char(0xE0 | (cp >> 12));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    } else {
        *out += char(0xF0 | (cp >> 18));
        *out += char(0x80 | ((cp >> 12) & 0x3F));
        *out += char(0x80 | ((cp >> 6) & 0x3F));
        *out += char(0x80 | (cp & 0x3F));
    }
}

void put_unit(uint32_t u, bool big_endian, std::string *out) {
    char hi = char(u >> 8), lo = char(u & 0xFF);
    *out += big_endian ? hi : lo;
    *out += big_endian ? lo : hi;
}

// The code points of a UTF-8 text, or false when it is not valid UTF-8.
bool utf8_to_utf16(const std::string &utf8, bool big_endian, std::string *out) {
    utf8_check c;
    if (!utf8_check_feed(c, utf8.data(), utf8.size()) || !utf8_check_end(c)) return false;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char b = byte_at(utf8.data(), i);
        size_t len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        uint32_t cp = len == 1 ? b : len == 2 ? b & 0x1F : len == 3 ? b & 0x0F : b & 0x07;
        for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (byte_at(utf8.data(), i + k) & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            put_unit(0xD800 + ((cp - 0x10000) >> 10), big_endian, out);
            put_unit(0xDC00 + ((cp - 0x10000) & 0x3FF), big_endian, out);
        } else {
            put_unit(cp, big_endian, out);
        }
    }
    return true;
}

bool utf16_to_utf8(const std::string &bytes, bool big_endian, std::string *out) {
    utf16_check c;
    c.big_endian = big_endian;
    if (!utf16_check_feed(c, bytes.data(), bytes.size()) || !utf16_check_end(c)) return false;
    const char *p = bytes.data();
    auto unit = [&](size_t i) -> uint32_t {
        return big_endian ? (uint32_t(byte_at(p, i)) << 8) | byte_at(p, i + 1)
                          : (uint32_t(byte_at(p, i + 1)) << 8) | byte_at(p, i);
    };
    for (size_t i = 0; i < bytes.size(); i += 2) {
        uint32_t u = unit(i);
        if (u >= 0xD800 && u < 0xDC00) {
            i += 2;
            u = 0x10000 + ((u - 0xD800) << 10) + (unit(i) - 0xDC00);
        }
        put_utf8(u, out);
    }
    return true;
}

// The length of p's longest start, in whole pieces of 64 bytes, that holds only bytes from 1
// to 0x7F: plain ASCII without NUL, which neither the NUL nor the UTF-8 check needs to see.
size_t plain_ascii_span(const char *p, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; n - i >= 64; i += 64) {
        __m128i seen = zero;
        for (int k = 0; k < 4; ++k) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i + 16 * k));
            seen = _mm_or_si128(seen, _mm_or_si128(v, _mm_cmpeq_epi8(v, zero)));
        }
        if (_mm_movemask_epi8(seen) != 0) break;  // a byte of 0x80 or more, or a NUL
    }
#else
    // A byte below 0x80 that is not 0 stays below 0x80 when 1 is taken from it, and borrows
    // nothing from the next.
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    for (; n - i >= 64; i += 64) {
        uint64_t w[8];
        memcpy(w, p + i, sizeof w);
        uint64_t seen = 0;
        for (uint64_t x : w) seen |= x | (x - ones);
        if (seen & highs) break;
    }
#endif
    return i;
}

// The number of code points in a valid UTF-8 text.
size_t code_points(const std::string &utf8) {
    size_t n = 0;
    for (char ch : utf8) n += (static_cast<unsigned char>(ch) & 0xC0) != 0x80;
    return n;
}

}  // namespace

bool is_utf16(text_encoding e) {
    return e == enc_utf16le || e == enc_utf16le_bom || e == enc_utf16be || e == enc_utf16be_bom;
}

bool is_big_endian(text_encoding e) { return e == enc_utf16be || e == enc_utf16be_bom; }

std::string_view bom_bytes(text_encoding e) {
    switch (e) {
    case enc_utf8_bom: return std::string_view("\xEF\xBB\xBF", 3);
    case enc_utf16le_bom: return std::string_view("\xFF\xFE", 2);
    case enc_utf16be_bom: return std::string_view("\xFE\xFF", 2);
    default: return std::string_view();
    }
}

size_t code_unit_bytes(text_encoding e) { return is_utf16(e) ? 2 : 1; }

std::string_view encoded_cr(text_encoding e) {
    if (!is_utf16(e)) return std::string_view("\r", 1);
    return is_big_endian(e) ? std::string_view("\0\r", 2) : std::string_view("\r\0", 2);
}

std::string_view encoded_lf(text_encoding e) {
    if (!is_utf16(e)) return std::string_view("\n", 1);
    return is_big_endian(e) ? std::string_view("\0\n", 2) : std::string_view("\n\0", 2);
}

std::string encoding_name(text_encoding e, uint32_t code_page) {
    switch (e) {
    case enc_utf8: return "UTF-8";
    case enc_utf8_bom: return "UTF-8 with BOM";
    case enc_utf16le: return "UTF-16LE without BOM";
    case enc_utf16le_bom: return "UTF-16LE";
    case enc_utf16be: return "UTF-16BE without BOM";
    case enc_utf16be_bom: return "UTF-16BE";
    case enc_binary: return "binary";
    case enc_legacy: break;
    }
    if (code_page >= 1250 && code_page <= 1258) return "windows-" + std::to_string(code_page);
    return "code page " + std::to_string(code_page);
}

int make_dbcs_table(uint32_t code_page, dbcs_table *t) {
    *t = dbcs_table();
    t->code_page = code_page;
    std::string probe;
    if (os_convert_to_utf8(code_page, "A", &probe) < 0) return 0;
    for (int b = 0; b < 256; ++b) {
        t->lead[b] = os_dbcs_lead_byte(code_page, static_cast<unsigned char>(b));
        t->double_byte = t->double_byte || t->lead[b];
    }
    if (!t->double_byte) return 1;
    // A trail byte forms one exact character after at least one lead byte: trying every lead
    // byte fills the gaps that unassigned pairs leave after any single one.
    for (int b = 0; b < 256; ++b) {
        for (int lead = 0; lead < 256 && !t->trail[b]; ++lead) {
            if (!t->lead[lead]) continue;
            const char pair[2] = {char(lead), char(b)};
            std::string one;
            t->trail[b] = os_convert_to_utf8(code_page, std::string(pair, 2), &one) == 1 &&
                          code_points(one) == 1;
        }
    }
    return 1;
}

int make_text_setup(uint32_t code_page, bool include_binary, text_setup *s) {
    *s = text_setup();
    s->legacy_code_page = code_page;
    s->include_binary = include_binary;
    if (!make_dbcs_table(code_page, &s->legacy)) return 0;
    std::string ascii, stored;
    for (int c = 1; c < 0x80; ++c) ascii += char(c);
    s->ascii_same = encode_text(ascii, enc_legacy, code_page, &stored) == encode_exact &&
                    stored == ascii;
    return 1;
}

text_encoding detect_encoding(const char *p, size_t n, bool whole_file) {
    if (starts_with(p, n, bom_bytes(enc_utf8_bom))) return enc_utf8_bom;
    if (starts_with(p, n, bom_bytes(enc_utf16le_bom))) return enc_utf16le_bom;
    if (starts_with(p, n, bom_bytes(enc_utf16be_bom))) return enc_utf16be_bom;
    if (memchr(p, 0, n)) return nul_pattern(p, n);
    utf8_check c;
    if (!utf8_check_feed(c, p, n)) return enc_legacy;
    if (whole_file && !utf8_check_end(c)) return enc_legacy;
    return enc_utf8;
}

const char *enc_fault_text(enc_fault f) {
    switch (f) {
    case fault_none: return "no fault";
    case fault_utf8_invalid: return "a byte sequence that is not UTF-8 after a UTF-8 BOM";
    case fault_utf8_truncated: return "a UTF-8 character cut off by the end of the file";
    case fault_utf16_odd_length: return "an odd number of bytes in a UTF-16 file";
    case fault_utf16_lone_high: return "a UTF-16 high surrogate without its low surrogate";
    case fault_utf16_lone_low: return "a UTF-16 low surrogate without its high surrogate";
    case fault_dbcs_bad_trail: return "a double-byte character with an invalid second byte";
    case fault_dbcs_truncated: return "a double-byte character cut off by the end of the file";
    }
    return "unknown fault";
}

bool utf8_check_feed(utf8_check &c, const char *p, size_t n) {
    if (c.fault != fault_none) return false;
    for (size_t i = 0; i < n; ++i) {
        // Plain ASCII goes eight bytes at a time: most text is made of nothing else.
        if (c.need == 0) {
            uint64_t word;
            while (n - i >= 8 && (memcpy(&word, p + i, 8), (word & 0x8080808080808080ull) == 0))
                i += 8;
            if (i == n) break;
        }
        unsigned char b = byte_at(p, i);
        if (c.need == 0) {
            if (b < 0x80) continue;
            c.lo = 0x80;
            c.hi = 0xBF;
            c.started_at = c.offset + i;
            if (b >= 0xC2 && b <= 0xDF) {
                c.need = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
                c.need = 2;
                if (b == 0xE0) c.lo = 0xA0;  // no overlong form
                if (b == 0xED) c.hi = 0x9F;  // no surrogate
            } else if (b >= 0xF0 && b <= 0xF4) {
                c.need = 3;
                if (b == 0xF0) c.lo = 0x90;  // no overlong form
                if (b == 0xF4) c.hi = 0x8F;  // nothing past U+10FFFF
            } else {
                c.fault = fault_utf8_invalid;
                c.fault_at = c.offset + i;
                return false;
            }
        } else if (b >= c.lo && b <= c.hi) {
            --c.need;
            c.lo = 0x80;
            c.hi = 0xBF;
        } else {
            c.fault = fault_utf8_invalid;
            c.fault_at = c.offset + i;
            return false;
        }
    }
    c.offset += n;
    return true;
}

bool utf8_check_end(utf8_check &c) {
    if (c.fault == fault_none && c.need != 0) {
        c.fault = fault_utf8_truncated;
        c.fault_at = c.started_at;
    }
    return c.fault == fault_none;
}

namespace {

// The length of p's longest start, in whole code units, that holds no surrogate: text the
// check has nothing to look at in. Sixteen bytes at a time, then unit by unit.
size_t utf16_plain_span(const char *p, size_t n, bool big_endian) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i mask = _mm_set1_epi16(short(0xF800)), surrogate = _mm_set1_epi16(short(0xD800));
    for (; n - i >= 16; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        if (big_endian) v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, mask), surrogate))) break;
    }
#endif
    for (; n - i >= 2; i += 2)
        if ((byte_at(p, i + (big_endian ? 0 : 1)) & 0xF8) == 0xD8) break;
    return i;
}

}  // namespace

bool utf16_check_feed(utf16_check &c, const char *p, size_t n) {
    if (c.fault != fault_none) return false;
    size_t plain_from = 0;  // where a span without surrogates is looked for next
    for (size_t i = 0; i < n; ++i) {
        if (!c.have_byte && !c.after_high && i >= plain_from) {
            i += utf16_plain_span(p + i, n - i, c.big_endian);
            if (i == n) break;
            plain_from = i + 16;  // (text full of surrogates is not looked over twice)
        }
        if (!c.have_byte) {
            c.held = byte_at(p, i);
            c.have_byte = 1;
            continue;
        }
        c.have_byte = 0;
        unsigned char second = byte_at(p, i);
        uint32_t u =
            c.big_endian ? (uint32_t(c.held) << 8) | second : (uint32_t(second) << 8) | c.held;
        uint64_t at = c.offset + i - 1;
        bool high = u >= 0xD800 && u < 0xDC00, low = u >= 0xDC00 && u < 0xE000;
        if (c.after_high && !low) {
            c.fault = fault_utf16_lone_high;
            c.fault_at = c.high_at;
            return false;
        }
        if (low && !c.after_high) {
            c.fault = fault_utf16_lone_low;
            c.fault_at = at;
            return false;
        }
        c.after_high = high;
        if (high) c.high_at = at;
    }
    c.offset += n;
    return true;
}

bool utf16_check_end(utf16_check &c) {
    if (c.fault != fault_none) return false;
    if (c.have_byte) {
        c.fault = fault_utf16_odd_length;
        c.fault_at = c.offset - 1;
    } else if (c.after_high) {
        c.fault = fault_utf16_lone_high;
        c.fault_at = c.high_at;
    }
    return c.fault == fault_none;
}

bool dbcs_check_feed(dbcs_check &c, const char *p, size_t n) {
    if (c.fault != fault_none) return false;
    const dbcs_table *t = c.table;
    if (t && t->double_byte) {
        for (size_t i = 0; i < n; ++i) {
            unsigned char b = byte_at(p, i);
            if (c.after_lead) {
                if (!t->trail[b]) {
                    c.fault = fault_dbcs_bad_trail;
                    c.fault_at = c.lead_at;
                    return false;
                }
                c.after_lead = false;
            } else if (t->lead[b]) {
                c.after_lead = true;
                c.lead_at = c.offset + i;
            }
        }
    }
    c.offset += n;
    return true;
}

bool dbcs_check_end(dbcs_check &c) {
    if (c.fault == fault_none && c.after_lead) {
        c.fault = fault_dbcs_truncated;
        c.fault_at = c.lead_at;
    }
    return c.fault == fault_none;
}

void encoding_check_begin(encoding_check &c, text_encoding first_verdict,
                          const dbcs_table &legacy) {
    c = encoding_check();
    c.begun = c.verdict = first_verdict;
    c.u16.big_endian = is_big_endian(first_verdict);
    c.legacy.table = &legacy;
}

namespace {

void take_fault(encoding_check &c, enc_fault f, uint64_t at) {
    if (c.fault != fault_none || f == fault_none) return;
    c.fault = f;
    c.fault_at = at;
}

bool still_as_begun(const encoding_check &c) {
    return c.verdict == c.begun && c.fault == fault_none;
}

}  // namespace

bool encoding_check_feed(encoding_check &c, const char *p, size_t n) {
    // The BOM is not part of the text the checks look at.
    size_t bom = bom_bytes(c.verdict).size(), skip = 0;
    if (c.offset < bom) skip = size_t(bom - c.offset) < n ? size_t(bom - c.offset) : n;
    uint64_t at = c.offset;
    c.offset += n;
    p += skip;
    n -= skip;
    switch (c.verdict) {
    case enc_binary: break;
    case enc_utf16le:
    case enc_utf16le_bom:
    case enc_utf16be:
    case enc_utf16be_bom:
        if (!utf16_check_feed(c.u16, p, n)) take_fault(c, c.u16.fault, c.u16.fault_at + bom);
        break;
    case enc_utf8_bom:
        if (!utf8_check_feed(c.u8, p, n)) take_fault(c, c.u8.fault, c.u8.fault_at + bom);
        break;
    case enc_utf8:
    case enc_legacy:
        // A NUL makes the file binary, whatever was found before it: so the verdict does not
        // depend on how the file was cut into blocks (a first block holding the NUL says binary).
        // Plain ASCII without NUL, most of most text, is looked over once for both checks.
        const size_t plain = c.verdict == enc_utf8 && c.u8.need == 0 ? plain_ascii_span(p, n) : 0;
        c.u8.offset += plain;
        if (const void *nul = memchr(p + plain, 0, n - plain)) {
            c.verdict = enc_binary;
            c.first_nul = at + uint64_t(static_cast<const char *>(nul) - p);
            c.fault = fault_none;
            break;
        }
        if (c.verdict == enc_utf8 && !utf8_check_feed(c.u8, p + plain, n - plain))
            c.verdict = enc_legacy;
        dbcs_check_feed(c.legacy, p, n);
        if (c.verdict == enc_legacy) take_fault(c, c.legacy.fault, c.legacy.fault_at);
        break;
    }
    return still_as_begun(c);
}

bool encoding_check_end(encoding_check &c) {
    size_t bom = bom_bytes(c.verdict).size();
    switch (c.verdict) {
    case enc_binary: break;
    case enc_utf16le:
    case enc_utf16le_bom:
    case enc_utf16be:
    case enc_utf16be_bom:
        if (!utf16_check_end(c.u16)) take_fault(c, c.u16.fault, c.u16.fault_at + bom);
        break;
    case enc_utf8_bom:
        if (!utf8_check_end(c.u8)) take_fault(c, c.u8.fault, c.u8.fault_at + bom);
        break;
    case enc_utf8:
    case enc_legacy:
        if (c.verdict == enc_utf8 && !utf8_check_end(c.u8)) c.verdict = enc_legacy;
        dbcs_check_end(c.legacy);
        if (c.verdict == enc_legacy) take_fault(c, c.legacy.fault, c.legacy.fault_at);
        break;
    }
    return still_as_begun(c);
}

encode_result encode_text(const std::string &utf8, text_encoding e, uint32_t code_page,
                          std::string *out) {
    out->clear();
    if (is_utf16(e)) {
        if (utf8_to_utf16(utf8, is_big_endian(e), out)) return encode_exact;
        out->clear();
        return encode_not_representable;
    }
    if (e != enc_legacy) {
        *out = utf8;
        return encode_exact;
    }
    std::string bytes, back;
    int r = os_convert_from_utf8(code_page, utf8, &bytes);
    if (r < 0) return encode_unsupported;
    // Exact only if the way back gives the same text.
    if (r == 0 || os_convert_to_utf8(code_page, bytes, &back) != 1 || back != utf8)
        return encode_not_representable;
    *out = bytes;
    return encode_exact;
}

encode_result decode_text(const std::string &bytes, text_encoding e, uint32_t code_page,
                          std::string *out) {
    out->clear();
    if (is_utf16(e)) {
        if (utf16_to_utf8(bytes, is_big_endian(e), out)) return encode_exact;
        out->clear();
        return encode_not_representable;
    }
    if (e != enc_legacy) {
        *out = bytes;
        return encode_exact;
    }
    std::string text;
    int r = os_convert_to_utf8(code_page, bytes, &text);
    if (r < 0) return encode_unsupported;
    if (r == 0) return encode_not_representable;
    *out = text;
    return encode_exact;
}

size_t dbcs_next_boundary(const dbcs_table &t, const char *p, size_t from, size_t off) {
    if (!t.double_byte) return off;
    size_t i = from;
    while (i < off) i += t.lead[byte_at(p, i)] ? 2 : 1;
    return i;
}

bool dbcs_is_boundary(const dbcs_table &t, const char *p, size_t from, size_t off) {
    return dbcs_next_boundary(t, p, from, off) == off;
}

size_t dbcs_find(const dbcs_table &t, const char *hay, size_t hay_len, const char *needle,
                 size_t needle_len) {
    size_t rare = rarest_byte_at(needle, needle_len);
    size_t start = 0, boundary = 0;  // boundary: the last one reached, never past a candidate + 1
    while (start <= hay_len) {
        size_t at = find_bytes(hay + start, hay_len - start, needle, needle_len, rare);
        if (at == SIZE_MAX) return SIZE_MAX;
        at += start;
        boundary = dbcs_next_boundary(t, hay, boundary, at);
        if (boundary == at) return at;
        start = at + 1;  // the candidate is a second byte: the next boundary is just after it
    }
    return SIZE_MAX;
}

size_t utf16_find(const char *hay, size_t hay_len, const char *needle, size_t needle_len,
                  size_t first_unit) {
    size_t rare = rarest_byte_at(needle, needle_len);
    size_t start = first_unit;
    while (start <= hay_len) {
        size_t at = find_bytes(hay + start, hay_len - start, needle, needle_len, rare);
        if (at == SIZE_MAX) return SIZE_MAX;
        at += start;
        if ((at - first_unit) % 2 == 0) return at;
        start = at + 1;
    }
    return SIZE_MAX;
}

void line_ends_begin(line_end_state &s, text_encoding e) {
    s = line_end_state();
    s.encoding = e;
}

namespace {

// Gives out the whole code units p[0, n) as they are, noting whether the last one is a CR.
void pass_units(line_end_state &s, const char *p, size_t n, std::string *out) {
    if (n == 0) return;
    std::string_view cr = encoded_cr(s.encoding);
    out->append(p, n);
    s.after_cr = memcmp(p + n - cr.size(), cr.data(), cr.size()) == 0;
}

// Gives out the LF unit, with a CR before it unless the last unit was one.
void pass_lf(line_end_state &s, std::string *out) {
    if (!s.after_cr) *out += encoded_cr(s.encoding);
    *out += encoded_lf(s.encoding);
    s.after_cr = false;
}

}  // namespace

void line_ends_feed(line_end_state &s, const char *p, size_t n, std::string *out) {
    const size_t unit = code_unit_bytes(s.encoding);
    const std::string_view lf = encoded_lf(s.encoding);
    if (s.holding && n > 0) {  // the unit split between the blocks
        const char whole[2] = {s.held, p[0]};
        s.holding = false;
        if (memcmp(whole, lf.data(), 2) == 0)
            pass_lf(s, out);
        else
            pass_units(s, whole, 2, out);
        ++p;
        --n;
    }
    const size_t units_end = n - n % unit;
    size_t start = 0;
    while (start < units_end) {
        size_t at = unit == 2 ? utf16_find(p + start, units_end - start, lf.data(), 2)
                              : find_bytes(p + start, units_end - start, "\n", 1);
        if (at == SIZE_MAX) break;
        pass_units(s, p + start, at, out);
        pass_lf(s, out);
        start += at + unit;
    }
    pass_units(s, p + start, units_end - start, out);
    if (units_end < n) {
        s.held = p[units_end];
        s.holding = true;
    }
}

void line_ends_end(line_end_state &s, std::string *out) {
    if (s.holding) *out += s.held;
    s.holding = false;
}
