// The rewrite of a file in its own encoding written out as plainly as it can be, for the encoded
// fuzz target to hold the engine against. It goes by what the program does to a file, not by how
// the engine does it:
//   - the encoding comes from the file's bytes: a BOM decides; else NUL bytes in a UTF-16
//     pattern over the first 4096 bytes (at least half the code units with a zero high byte,
//     zero low bytes at most an eighth as many as those) say UTF-16, other NUL bytes binary;
//     else valid UTF-8 is UTF-8 and the rest is in the legacy code page;
//   - the text after the BOM is decoded to UTF-8: UTF-16 by the conversion below, a legacy code
//     page one character at a time through iconv. A character without an exact counterpart
//     (an unassigned pair, a byte the code page leaves undefined, the second of two byte
//     sequences that stand for one character) becomes a marker that no valid UTF-8 text can
//     match, and goes back as the bytes it stood for;
//   - testutil::reference_rewrite runs over that text (the line loop and the line-end rule), and
//     the result is encoded back behind the BOM.
// The search text and the replacement are UTF-8: a file in UTF-16 or a legacy code page holds an
// occurrence only of a text its encoding can hold exactly. A UTF-8 file (with or without BOM)
// and a binary one that is rewritten go byte for byte, the texts as they are.
//
// Standard C++ and iconv only: nothing of the engine.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/common/reference.h"

namespace encref {

enum class file_enc { utf8, utf8_bom, utf16le, utf16le_bom, utf16be, utf16be_bom, legacy, binary };

inline const char *enc_name(file_enc e) {
    switch (e) {
    case file_enc::utf8: return "UTF-8";
    case file_enc::utf8_bom: return "UTF-8 with BOM";
    case file_enc::utf16le: return "UTF-16LE without BOM";
    case file_enc::utf16le_bom: return "UTF-16LE with BOM";
    case file_enc::utf16be: return "UTF-16BE without BOM";
    case file_enc::utf16be_bom: return "UTF-16BE with BOM";
    case file_enc::legacy: return "legacy code page";
    case file_enc::binary: return "binary";
    }
    return "?";
}

inline std::string bom_of(file_enc e) {
    switch (e) {
    case file_enc::utf8_bom: return "\xEF\xBB\xBF";
    case file_enc::utf16le_bom: return "\xFF\xFE";
    case file_enc::utf16be_bom: return "\xFE\xFF";
    default: return "";
    }
}

inline bool is_utf16(file_enc e) {
    return e == file_enc::utf16le || e == file_enc::utf16le_bom || e == file_enc::utf16be ||
           e == file_enc::utf16be_bom;
}

// --- UTF-8 ---------------------------------------------------------------------------------

// The character of a UTF-8 text that starts at s[i]: its length, and its code point in *cp; 0
// where none does (a stray byte, an overlong form, a surrogate, past U+10FFFF, cut off).
inline size_t utf8_char(const std::string &s, size_t i, uint32_t *cp) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    size_t len = 0;
    uint32_t v = 0, least = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2, v = b & 0x1F, least = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, v = b & 0x0F, least = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, v = b & 0x07, least = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        const unsigned char c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        v = (v << 6) | (c & 0x3F);
    }
    if (v < least || v > 0x10FFFF || (v >= 0xD800 && v < 0xE000)) return 0;
    *cp = v;
    return len;
}

inline bool valid_utf8(const std::string &s) {
    uint32_t cp = 0;
    for (size_t i = 0; i < s.size();) {
        const size_t len = utf8_char(s, i, &cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

inline void put_utf8(uint32_t cp, std::string *out) {
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

// A character of a file that has no exact counterpart, kept in the decoded text: FF (never part
// of valid UTF-8) and three continuation bytes holding its value, so that no valid UTF-8 text
// matches it, nor a part of it, nor across it.
inline void put_marker(uint32_t v, std::string *out) {
    *out += '\xFF';
    *out += char(0x80 | ((v >> 12) & 0x3F));
    *out += char(0x80 | ((v >> 6) & 0x3F));
    *out += char(0x80 | (v & 0x3F));
}

// --- UTF-16 --------------------------------------------------------------------------------

// UTF-16 bytes as UTF-8. *valid turns false for an odd number of bytes (the last byte is then
// no part of the text) and for a surrogate without its partner (kept as a marker).
inline std::string utf16_to_utf8(const std::string &b, bool big, bool *valid) {
    *valid = b.size() % 2 == 0;
    const size_t units = b.size() / 2;
    auto unit = [&](size_t k) -> uint32_t {
        const uint32_t x = static_cast<unsigned char>(b[2 * k]);
        const uint32_t y = static_cast<unsigned char>(b[2 * k + 1]);
        return big ? (x << 8) | y : (y << 8) | x;
    };
    std::string out;
    for (size_t k = 0; k < units; ++k) {
        const uint32_t u = unit(k);
        if (u >= 0xD800 && u < 0xDC00 && k + 1 < units && unit(k + 1) >= 0xDC00 &&
            unit(k + 1) < 0xE000) {
            put_utf8(0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00), &out);
            ++k;
        } else if (u >= 0xD800 && u < 0xE000) {
            *valid = false;
            put_marker(u, &out);
        } else {
            put_utf8(u, &out);
        }
    }
    return out;
}

// Valid UTF-8 as UTF-16 bytes.
inline std::string utf8_to_utf16(const std::string &t, bool big) {
    std::string out;
    auto put = [&](uint32_t u) {
        const char hi = char(u >> 8), lo = char(u & 0xFF);
        out += big ? hi : lo;
        out += big ? lo : hi;
    };
    uint32_t cp = 0;
    for (size_t i = 0; i < t.size();) {
        const size_t len = utf8_char(t, i, &cp);
        if (len == 0) return std::string();  // not reached for valid text
        i += len;
        if (cp >= 0x10000) {
            put(0xD800 + ((cp - 0x10000) >> 10));
            put(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            put(cp);
        }
    }
    return out;
}

// --- legacy code pages through iconv --------------------------------------------------------

// One conversion through cd, whole, with nothing converted irreversibly.
inline bool iconv_whole(iconv_t cd, const std::string &in, std::string *out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    out->assign(in.size() * 4 + 16, '\0');
    char *src = const_cast<char *>(in.data());  // iconv does not write through it
    size_t left = in.size();
    char *dst = &(*out)[0];
    size_t room = out->size();
    if (iconv(cd, &src, &left, &dst, &room) != 0) return false;
    if (iconv(cd, nullptr, nullptr, &dst, &room) != 0) return false;
    out->resize(out->size() - room);
    return true;
}

struct code_page {
    uint32_t number = 0;
    iconv_t to_utf8 = iconv_t(-1), from_utf8 = iconv_t(-1);
    bool lead[256] = {};   // begins a two-byte character (Windows' lead bytes of the code page)
    bool trail[256] = {};  // completes one after some lead byte
    // A character's UTF-8 by its value (a byte, or lead * 256 + trail); "" where it has no
    // single code point that converts back to the same bytes.
    std::vector<std::string> text;

    // bytes -> UTF-8 -> bytes, each way whole and the same at the end.
    bool exact_to_utf8(const std::string &bytes, std::string *utf8) const {
        std::string back;
        return iconv_whole(to_utf8, bytes, utf8) && iconv_whole(from_utf8, *utf8, &back) &&
               back == bytes;
    }
    bool exact_from_utf8(const std::string &utf8, std::string *bytes) const {
        std::string back;
        return iconv_whole(from_utf8, utf8, bytes) && iconv_whole(to_utf8, *bytes, &back) &&
               back == utf8;
    }

    // 1252, 932 or 936; false when iconv lacks it.
    bool open(uint32_t cp) {
        number = cp;
        const char *name = cp == 932 ? "CP932" : cp == 936 ? "CP936" : "WINDOWS-1252";
        to_utf8 = iconv_open("UTF-8", name);
        from_utf8 = iconv_open(name, "UTF-8");
        if (to_utf8 == iconv_t(-1) || from_utf8 == iconv_t(-1)) return false;
        for (int b = 0; b < 256; ++b)
            lead[b] = cp == 932 ? (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)
                    : cp == 936 ? b >= 0x81 && b <= 0xFE
                                : false;
        text.assign(65536, std::string());
        auto one = [&](const std::string &bytes) {
            std::string u;
            uint32_t cp32 = 0;
            if (!exact_to_utf8(bytes, &u) || u.empty() || utf8_char(u, 0, &cp32) != u.size())
                return std::string();
            return u;
        };
        for (int b = 0; b < 256; ++b) {
            if (!lead[b]) {
                text[b] = one(std::string(1, char(b)));
                continue;
            }
            for (int t = 0; t < 256; ++t) {
                const char pair[2] = {char(b), char(t)};
                std::string &u = text[size_t(b) * 256 + t];
                u = one(std::string(pair, 2));
                trail[t] = trail[t] || !u.empty();
            }
        }
        return true;
    }
};

// Bytes in the code page as UTF-8. *valid turns false where a lead byte is followed by a byte
// that cannot follow it, or ends the bytes. A lead byte takes the byte after it whatever it is;
// one at the end is no part of the text.
inline std::string legacy_to_utf8(const code_page &cp, const std::string &b, bool *valid) {
    *valid = true;
    std::string out;
    for (size_t i = 0; i < b.size();) {
        const unsigned char c = static_cast<unsigned char>(b[i]);
        uint32_t v = c;
        if (cp.lead[c]) {
            if (i + 1 == b.size()) {
                *valid = false;
                break;
            }
            const unsigned char t = static_cast<unsigned char>(b[i + 1]);
            *valid = *valid && cp.trail[t];
            v = uint32_t(c) * 256 + t;
            i += 2;
        } else {
            i += 1;
        }
        if (cp.text[v].empty())
            put_marker(v, &out);
        else
            out += cp.text[v];
    }
    return out;
}

// The decoded text back in the code page: markers as the bytes they stood for, the rest through
// iconv. false when some of it has no exact counterpart (the reference is then wrong).
inline bool utf8_to_legacy(const code_page &cp, const std::string &t, std::string *out) {
    out->clear();
    std::string run, bytes;
    auto flush = [&] {
        if (run.empty()) return true;
        if (!cp.exact_from_utf8(run, &bytes)) return false;
        *out += bytes;
        run.clear();
        return true;
    };
    for (size_t i = 0; i < t.size();) {
        if (t[i] != '\xFF') {
            run += t[i++];
            continue;
        }
        if (!flush() || t.size() - i < 4) return false;
        const uint32_t v = (uint32_t(t[i + 1] & 0x3F) << 12) | (uint32_t(t[i + 2] & 0x3F) << 6) |
                           uint32_t(t[i + 3] & 0x3F);
        if (v >= 0x100) *out += char(v >> 8);
        *out += char(v & 0xFF);
        i += 4;
    }
    return flush();
}

// --- the file -------------------------------------------------------------------------------

inline file_enc detect(const std::string &f) {
    for (file_enc e : {file_enc::utf8_bom, file_enc::utf16le_bom, file_enc::utf16be_bom}) {
        const std::string bom = bom_of(e);
        if (f.compare(0, bom.size(), bom) == 0) return e;
    }
    if (f.find('\0') != std::string::npos) {
        const size_t m = (f.size() < 4096 ? f.size() : 4096) & ~size_t(1);
        size_t units = m / 2, even = 0, odd = 0;
        for (size_t i = 0; i < m; i += 2) {
            even += f[i] == '\0';
            odd += f[i + 1] == '\0';
        }
        if (units > 0 && 2 * odd >= units && 8 * even <= odd) return file_enc::utf16le;
        if (units > 0 && 2 * even >= units && 8 * odd <= even) return file_enc::utf16be;
        return file_enc::binary;
    }
    return valid_utf8(f) ? file_enc::utf8 : file_enc::legacy;
}

// Does search occur in a line of text as the rewrite reads it (CR LF as LF)?
inline bool occurs_in_a_line(const std::string &text, const std::string &search) {
    std::string view;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) view += text[i];
    for (size_t start = 0; start < view.size();) {
        const size_t lf = view.find('\n', start);
        const size_t end = lf == std::string::npos ? view.size() : lf + 1;
        if (view.substr(start, end - start).find(search) != std::string::npos) return true;
        start = end;
    }
    return false;
}

enum class verdict {
    untouched,    // the file keeps its bytes, without error
    rewritten,    // the file holds bytes, without error
    fails,        // the file keeps its bytes, with an error
    past_budget,  // a line runs past the plain loop's budget: the rewrite may finish or stop
};

struct expectation {
    file_enc encoding = file_enc::utf8;
    verdict what = verdict::untouched;
    std::string bytes;  // (rewritten) the file afterwards
    const char *why = "";
};

// What the rewrite of file must come to, with search and repl (UTF-8), the legacy code page cp
// and binary files included or not.
inline expectation expected_rewrite(const std::string &file, const std::string &search,
                                    const std::string &repl, const code_page &cp,
                                    bool include_binary) {
    expectation x;
    x.encoding = detect(file);
    x.bytes = file;
    auto from_loop = [&](int r, std::string out) {
        x.what = r < 0 ? verdict::past_budget : r == 0 ? verdict::untouched : verdict::rewritten;
        if (r > 0) x.bytes = std::move(out);
    };
    int r = 0;
    if (x.encoding == file_enc::binary && !include_binary) {
        x.why = "binary, left alone";
        return x;
    }
    if (x.encoding == file_enc::utf8 || x.encoding == file_enc::binary) {
        std::string out = testutil::reference_rewrite(file, search, repl, &r);
        from_loop(r, out);
        x.why = "byte for byte";
        return x;
    }
    const std::string bom = bom_of(x.encoding);
    const std::string body = file.substr(bom.size());
    const bool big = x.encoding == file_enc::utf16be || x.encoding == file_enc::utf16be_bom;
    bool valid = true, search_ok = true, repl_ok = true;
    std::string text;
    if (x.encoding == file_enc::utf8_bom) {
        text = body;
        valid = valid_utf8(body);
    } else if (is_utf16(x.encoding)) {
        text = utf16_to_utf8(body, big, &valid);
        search_ok = valid_utf8(search);
        repl_ok = valid_utf8(repl);
    } else {
        text = legacy_to_utf8(cp, body, &valid);
        std::string unused;
        search_ok = cp.exact_from_utf8(search, &unused);
        repl_ok = cp.exact_from_utf8(repl, &unused);
    }
    if (!search_ok) {
        x.why = "the search text cannot occur in the encoding";
        return x;
    }
    if (!occurs_in_a_line(text, search)) {
        x.why = "no occurrence";
        return x;
    }
    if (!valid || !repl_ok) {
        x.what = verdict::fails;
        x.why = !valid ? "the bytes would not survive the encoding" : "replacement not representable";
        return x;
    }
    std::string out = testutil::reference_rewrite(text, search, repl, &r);
    std::string encoded = out;
    if (is_utf16(x.encoding)) {
        encoded = utf8_to_utf16(out, big);
    } else if (x.encoding == file_enc::legacy && !utf8_to_legacy(cp, out, &encoded)) {
        x.what = verdict::fails;
        x.why = "REFERENCE: the result has no exact bytes in the code page";
        return x;
    }
    from_loop(r, bom + encoded);
    x.why = "through the decoded text";
    return x;
}

}  // namespace encref
