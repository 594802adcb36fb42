// What a file's bytes are: its encoding, decided from its content, and the pieces a streaming
// rewrite needs to search and write in that encoding. Every function here is pure (no state
// outside its arguments), so any thread may call it.
//
// How a rewrite uses this, block by block:
//   1. detect_encoding(first block) gives a first verdict; the first block should hold at least
//      encoding_sniff_bytes, or the whole file.
//   2. encoding_check_begin(check, that verdict, table of the legacy code page), then every block
//      of the file, the first one included and from offset 0, through encoding_check_feed, and
//      encoding_check_end after the last. Feed returns false from the moment the verdict is no
//      longer the one begun with: check.verdict then says what the file is (a file that looked
//      UTF-8 is in the legacy code page after an invalid sequence, or binary after a NUL; a legacy
//      file is binary after a NUL), or check.fault says that its bytes would not survive the trip
//      through its encoding (the file is then left as it was, with an error).
//   3. On a changed verdict, whatever was done with the old encoding is thrown away: the rewrite
//      starts again from the file's start with the new verdict. The check has followed every
//      possible verdict from the start, so a second check begun with the new verdict is not
//      needed to know the final answer; it only reaches the same one again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

enum text_encoding {
    enc_utf8,         // valid UTF-8 throughout, no BOM (plain ASCII included)
    enc_utf8_bom,     // EF BB BF, then UTF-8
    enc_utf16le,      // no BOM: NUL bytes at odd offsets, as UTF-16LE puts them for Latin text
    enc_utf16le_bom,  // FF FE, then UTF-16LE
    enc_utf16be,      // no BOM: NUL bytes at even offsets
    enc_utf16be_bom,  // FE FF, then UTF-16BE
    enc_legacy,       // the legacy code page (any other text)
    enc_binary,       // NUL bytes outside a UTF-16 pattern
};

bool is_utf16(text_encoding e);
bool is_big_endian(text_encoding e);
// The BOM a file in this encoding starts with ("" for none).
std::string_view bom_bytes(text_encoding e);
// Bytes of one code unit: 2 for UTF-16, 1 otherwise.
size_t code_unit_bytes(text_encoding e);
// CR and LF as the encoding stores them (UTF-16LE "0D 00" / "0A 00", UTF-16BE "00 0D" /
// "00 0A", one byte otherwise).
std::string_view encoded_cr(text_encoding e);
std::string_view encoded_lf(text_encoding e);
// The encoding's name for the log: "UTF-16LE", "UTF-16BE without BOM", "UTF-8 with BOM",
// "windows-1252", "code page 932", "binary".
std::string encoding_name(text_encoding e, uint32_t code_page);

// --- the legacy code page's byte classes -----------------------------------------------------
// Which bytes of a code page begin a two-byte character, and which may follow such a byte. For
// a single-byte code page double_byte is false and every byte is a character of its own.
struct dbcs_table {
    uint32_t code_page = 0;
    bool double_byte = false;
    bool lead[256] = {};
    bool trail[256] = {};
};
// Fills t for code_page from the platform's tables (lead bytes) and its conversion (a trail
// byte is one that forms an exact character after some lead byte). Built once per code page
// and run, not per file. Returns 1, or 0 when the platform does not know the code page.
int make_dbcs_table(uint32_t code_page, dbcs_table *t);

// How a run takes its files' encodings: the legacy code page with its byte classes (built once
// per run, not per file) and what becomes of binary files. A preparation is given a pointer to
// the run's one (prepare_options::text).
struct text_setup {
    uint32_t legacy_code_page = 0;
    dbcs_table legacy;            // the byte classes of legacy_code_page
    bool include_binary = false;  // binary files are rewritten byte for byte, not left alone
    bool ascii_same = false;      // the code page stores every ASCII character as ASCII does
};
// Fills s for code_page. Returns 1, or 0 when the platform does not know the code page.
int make_text_setup(uint32_t code_page, bool include_binary, text_setup *s);

// --- detection -------------------------------------------------------------------------------
// How many bytes at the file's start decide whether NUL bytes form a UTF-16 pattern.
constexpr size_t encoding_sniff_bytes = 4096;
// The first verdict, from the file's first n bytes (whole_file: they are all of it). A BOM
// decides; else NUL bytes in a UTF-16 pattern over the first encoding_sniff_bytes say UTF-16;
// other NUL bytes say binary; bytes that are valid UTF-8 so far say UTF-8; the rest is legacy.
// An empty file is UTF-8.
text_encoding detect_encoding(const char *p, size_t n, bool whole_file);

// Why a file's bytes would not survive the trip through its encoding.
enum enc_fault {
    fault_none,
    fault_utf8_invalid,      // behind a UTF-8 BOM, a byte that is no part of a UTF-8 character
    fault_utf8_truncated,    // ... or a character cut off by the end of the file
    fault_utf16_odd_length,  // a UTF-16 file of an odd number of bytes
    fault_utf16_lone_high,   // a high surrogate not followed by a low one
    fault_utf16_lone_low,    // a low surrogate not preceded by a high one
    fault_dbcs_bad_trail,    // a lead byte followed by a byte that cannot follow it
    fault_dbcs_truncated,    // a lead byte as the file's last byte
};
// The fault in words, for the log ("an unpaired UTF-16 surrogate", ...).
const char *enc_fault_text(enc_fault f);

// Incremental validators: feed the bytes in order in blocks of any size (a character may be
// split between blocks), then end. Each stops at the first fault: fault and fault_at (offset of
// the offending byte, counted from the first byte fed) say what and where; feed and end return
// false from then on.
struct utf8_check {
    uint64_t offset = 0;      // bytes fed
    int need = 0;             // continuation bytes still expected
    unsigned char lo = 0x80;  // the range the next continuation byte must fall in
    unsigned char hi = 0xBF;
    uint64_t started_at = 0;  // where the incomplete character began
    enc_fault fault = fault_none;
    uint64_t fault_at = 0;
};
bool utf8_check_feed(utf8_check &c, const char *p, size_t n);
bool utf8_check_end(utf8_check &c);

struct utf16_check {
    bool big_endian = false;
    uint64_t offset = 0;
    int have_byte = 0;  // 1: the first byte of a code unit is held
    unsigned char held = 0;
    bool after_high = false;  // the last unit was a high surrogate
    uint64_t high_at = 0;
    enc_fault fault = fault_none;
    uint64_t fault_at = 0;
};
bool utf16_check_feed(utf16_check &c, const char *p, size_t n);
bool utf16_check_end(utf16_check &c);

// For a single-byte code page it never finds a fault.
struct dbcs_check {
    const dbcs_table *table = nullptr;
    uint64_t offset = 0;
    bool after_lead = false;
    uint64_t lead_at = 0;
    enc_fault fault = fault_none;
    uint64_t fault_at = 0;
};
bool dbcs_check_feed(dbcs_check &c, const char *p, size_t n);
bool dbcs_check_end(dbcs_check &c);

// The confirmation of a first verdict while the file streams (see the top of this header).
struct encoding_check {
    text_encoding begun = enc_utf8;    // the verdict begun with
    text_encoding verdict = enc_utf8;  // what the file is, as far as it has been fed
    enc_fault fault = fault_none;      // set: the file must be left as it was
    uint64_t fault_at = 0;
    uint64_t offset = 0;              // bytes fed, the BOM included
    uint64_t first_nul = UINT64_MAX;  // (verdict binary) where a NUL made it so
    utf8_check u8;
    utf16_check u16;
    dbcs_check legacy;  // the legacy code page's check, followed for UTF-8 as well
};
// legacy: the table of the code page a legacy file is in; the check holds a pointer to it.
void encoding_check_begin(encoding_check &c, text_encoding first_verdict, const dbcs_table &legacy);
// Returns true while the verdict is still the one begun with and no fault is found.
bool encoding_check_feed(encoding_check &c, const char *p, size_t n);
bool encoding_check_end(encoding_check &c);

// --- the program's texts in a file's encoding -----------------------------------------------
enum encode_result {
    encode_exact,              // out holds the text in the encoding, and it converts back exactly
    encode_not_representable,  // the encoding cannot hold the text exactly (or it is not UTF-8)
    encode_unsupported,        // the platform does not know the code page
};
// utf8 (the program's text) in the encoding e: as it is for UTF-8 and binary files (byte for
// byte, as they have always been searched), UTF-16 without BOM, or the legacy code_page through
// the platform with no best fit and no substitute character. out is empty unless exact.
encode_result encode_text(const std::string &utf8, text_encoding e, uint32_t code_page,
                          std::string *out);
// The reverse, for showing a file's text (a line of a preview): bytes in the encoding e as
// UTF-8. encode_not_representable when the bytes are not a valid text in it.
encode_result decode_text(const std::string &bytes, text_encoding e, uint32_t code_page,
                          std::string *out);

// --- where a match may stand ------------------------------------------------------------------
// The first character boundary at or after off in p, scanning from the boundary from (from <=
// off). The result can be off + 1 when off is the second byte of a character; with off = n (the
// end of a block) it is where the next block's first character starts: n, or n + 1 when the
// block ends with a lead byte. A block whose start is a boundary is needed to begin with: the
// file's start, any line start (LF is never a trail byte), or the value this returned for the
// block before, less that block's length.
size_t dbcs_next_boundary(const dbcs_table &t, const char *p, size_t from, size_t off);
// Is off a character boundary in p, counting from the boundary from?
bool dbcs_is_boundary(const dbcs_table &t, const char *p, size_t from, size_t off);
// Leftmost occurrence of needle in hay that starts on a character boundary (hay[0] is one), or
// SIZE_MAX. An encoded text is made of whole characters, so such a match also ends on one.
size_t dbcs_find(const dbcs_table &t, const char *hay, size_t hay_len, const char *needle,
                 size_t needle_len);
// Leftmost occurrence of needle in hay at a code-unit boundary of UTF-16 text, whose first code
// unit starts at hay[first_unit] (0 or 1, for a block that begins in the middle of a unit), or
// SIZE_MAX. Matches at the other parity are skipped.
size_t utf16_find(const char *hay, size_t hay_len, const char *needle, size_t needle_len,
                  size_t first_unit = 0);

// --- the line-end rule in code units ----------------------------------------------------------
// A rewritten file's line ends, in the encoding's code units: a LF not preceded by a CR gets
// one; CR LF and a lone CR stay as they are. UTF-16 bytes 0A 00 that straddle two code units
// are no LF. Fed block by block (a code unit, or a CR and its LF, may be split between blocks),
// the result appended to out; end gives out a last byte of an odd-length UTF-16 file as it is.
struct line_end_state {
    text_encoding encoding = enc_utf8;
    bool after_cr = false;  // the last code unit given out was a CR
    bool holding = false;   // UTF-16: the first byte of a code unit is held
    char held = 0;
};
void line_ends_begin(line_end_state &s, text_encoding e);
void line_ends_feed(line_end_state &s, const char *p, size_t n, std::string *out);
void line_ends_end(line_end_state &s, std::string *out);
