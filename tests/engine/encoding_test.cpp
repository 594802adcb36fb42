// A file's encoding from its bytes, its validators, the program's texts in it, and where a
// match may stand. The same sources run natively (iconv) and under Wine (the Win32 conversions).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "engine/encoding.h"
#include "platform/os.h"

namespace {

using std::string;

string bytes(const char *p, size_t n) { return string(p, n); }
#define B(lit) bytes(lit, sizeof(lit) - 1)

// The bytes fed to a check in pieces: every split into two, and one byte at a time. run returns
// a description of the result; every cut must give the same one.
template <typename Run>
void for_every_cut(const string &s, Run run) {
    const string whole = run(std::vector<string>{s});
    for (size_t cut = 0; cut <= s.size(); ++cut)
        EXPECT_EQ(whole, run(std::vector<string>{s.substr(0, cut), s.substr(cut)}))
            << "cut " << cut;
    std::vector<string> ones;
    for (char c : s) ones.push_back(string(1, c));
    EXPECT_EQ(whole, run(ones)) << "byte by byte";
}

dbcs_table table_of(uint32_t cp) {
    dbcs_table t;
    EXPECT_EQ(1, make_dbcs_table(cp, &t)) << cp;
    return t;
}

// verdict/fault@offset after feeding the pieces to a check begun with first.
string checked(text_encoding first, const dbcs_table &legacy, const std::vector<string> &pieces) {
    encoding_check c;
    encoding_check_begin(c, first, legacy);
    for (const string &p : pieces) encoding_check_feed(c, p.data(), p.size());
    encoding_check_end(c);
    return encoding_name(c.verdict, legacy.code_page) + "/" + enc_fault_text(c.fault) + "@" +
           std::to_string(c.fault == fault_none ? 0 : c.fault_at);
}

TEST(Encoding, DetectsEachEncodingAndTheCheckAgreesHoweverTheFileIsCut) {
    // clang-format off
    const struct { const char *what; string in; text_encoding first, final; enc_fault fault;
                   uint64_t fault_at; } cases[] = {
        {"empty file", "", enc_utf8, enc_utf8, fault_none, 0},
        {"ASCII", "plain\r\ntext\n", enc_utf8, enc_utf8, fault_none, 0},
        {"UTF-8", "M\xC3\xBCller \xE2\x82\xAC \xF0\x9F\x98\x80", enc_utf8, enc_utf8, fault_none, 0},
        {"UTF-8 BOM", "\xEF\xBB\xBFx", enc_utf8_bom, enc_utf8_bom, fault_none, 0},
        {"UTF-8 BOM alone", "\xEF\xBB\xBF", enc_utf8_bom, enc_utf8_bom, fault_none, 0},
        {"UTF-8 BOM, NUL", B("\xEF\xBB\xBF\0"), enc_utf8_bom, enc_utf8_bom, fault_none, 0},
        {"UTF-8 BOM, bad byte", "\xEF\xBB\xBF" "a\xFF", enc_utf8_bom, enc_utf8_bom,
         fault_utf8_invalid, 4},
        {"UTF-16LE BOM alone", "\xFF\xFE", enc_utf16le_bom, enc_utf16le_bom, fault_none, 0},
        {"UTF-16LE BOM", B("\xFF\xFE" "A\0\r\0\n\0"), enc_utf16le_bom, enc_utf16le_bom,
         fault_none, 0},
        {"UTF-16BE BOM", B("\xFE\xFF\0A\0\n"), enc_utf16be_bom, enc_utf16be_bom, fault_none, 0},
        {"UTF-16LE no BOM", B("A\0B\0\r\0\n\0"), enc_utf16le, enc_utf16le, fault_none, 0},
        {"UTF-16BE no BOM", B("\0A\0B\0\n"), enc_utf16be, enc_utf16be, fault_none, 0},
        {"UTF-16LE odd", B("A\0B\0C"), enc_utf16le, enc_utf16le, fault_utf16_odd_length, 4},
        {"UTF-16LE BOM odd", B("\xFF\xFE" "A"), enc_utf16le_bom, enc_utf16le_bom,
         fault_utf16_odd_length, 2},
        {"windows-1252", "M\xFCller", enc_legacy, enc_legacy, fault_none, 0},
        {"cut-off UTF-8", "ab\xC3", enc_legacy, enc_legacy, fault_none, 0},
        {"overlong", "\xC0\xAF", enc_legacy, enc_legacy, fault_none, 0},
        {"surrogate in UTF-8", "\xED\xA0\x80", enc_legacy, enc_legacy, fault_none, 0},
        {"binary", B("\x7F" "ELF\x02\x01\0\0\0\0\x03\0"), enc_binary, enc_binary, fault_none, 0},
        {"one NUL", B("\0"), enc_binary, enc_binary, fault_none, 0},
    };
    // clang-format on

    const dbcs_table legacy = table_of(1252);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        text_encoding first = detect_encoding(c.in.data(), c.in.size(), true);
        EXPECT_EQ(c.first, first);
        const string expect = encoding_name(c.final, 1252) + "/" + enc_fault_text(c.fault) + "@" +
                              std::to_string(c.fault_at);
        for_every_cut(c.in, [&](const std::vector<string> &pieces) {
            string got = checked(first, legacy, pieces);
            EXPECT_EQ(expect, got);
            return got;
        });
    }
}

// Long runs of plain ASCII are looked over in pieces: whatever byte follows such a run, and
// wherever the blocks are cut, the verdict is the one that byte gives.
TEST(Encoding, PlainTextBeforeAByteThatMattersChangesNothing) {
    const struct { const char *what; string tail; text_encoding final; } cases[] = {
        {"NUL", B("\0"), enc_binary},           {"bad byte", "\xFF", enc_legacy},
        {"UTF-8", "\xC3\xBC", enc_utf8},        {"cut-off UTF-8", "\xE2\x82", enc_legacy},
        {"surrogate", "\xED\xA0\x80", enc_legacy}, {"DEL", "\x7F", enc_utf8},
    };
    const dbcs_table legacy = table_of(1252);
    for (const auto &c : cases)
        for (size_t plain : {0, 31, 63, 64, 65, 127, 128, 191}) {
            SCOPED_TRACE(std::string(c.what) + " after " + std::to_string(plain));
            const string in = string(plain, 'a') + c.tail + string(70, 'z');
            const string expect = encoding_name(c.final, 1252) + "/no fault@0";
            for_every_cut(in, [&](const std::vector<string> &pieces) {
                string got = checked(enc_utf8, legacy, pieces);
                EXPECT_EQ(expect, got);
                return got;
            });
        }
}

TEST(Encoding, ALaterBlockOverturnsTheFirstVerdict) {
    const uint64_t sniff = encoding_sniff_bytes;
    const string start(sniff, 'a');
    const dbcs_table cp1252 = table_of(1252), cp932 = table_of(932);
    // The first block: encoding_sniff_bytes of "a", its last byte replaced by last (if not 0);
    // then the rest in two blocks, cut at split.
    // clang-format off
    const struct { const char *what; char last; string rest; size_t split;
                   const dbcs_table &legacy; text_encoding first, final; enc_fault fault;
                   uint64_t fault_at; } cases[] = {
        {"invalid UTF-8 later", 0, "b\xFF", 1, cp1252, enc_utf8, enc_legacy, fault_none, 0},
        {"NUL later", 0, B("x\0y"), 2, cp1252, enc_utf8, enc_binary, fault_none, 0},
        {"UTF-8 character across blocks", '\xC3', "\xBC", 0, cp1252, enc_utf8, enc_utf8,
         fault_none, 0},
        {"legacy, then NUL", '\xFC', B("b\0"), 1, cp1252, enc_legacy, enc_binary, fault_none, 0},
        {"932 lone lead byte at the end", 0, "\xFF\x83", 1, cp932, enc_utf8, enc_legacy,
         fault_dbcs_truncated, sniff + 1},
        {"932 lead before LF", '\x83', "\n", 1, cp932, enc_legacy, enc_legacy,
         fault_dbcs_bad_trail, sniff - 1},
        {"damaged 932, then NUL", 0, B("\x83\x0A\0"), 2, cp932, enc_utf8, enc_binary,
         fault_none, 0},
    };
    // clang-format on

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        string first = start;
        if (c.last) first.back() = c.last;
        text_encoding guess = detect_encoding(first.data(), first.size(), false);
        EXPECT_EQ(c.first, guess);
        encoding_check k;
        encoding_check_begin(k, guess, c.legacy);
        EXPECT_TRUE(encoding_check_feed(k, first.data(), first.size()));
        bool same = encoding_check_feed(k, c.rest.data(), c.split);
        same = encoding_check_feed(k, c.rest.data() + c.split, c.rest.size() - c.split) && same;
        same = encoding_check_end(k) && same;
        EXPECT_EQ(c.final, k.verdict);
        EXPECT_EQ(c.fault, k.fault);
        EXPECT_EQ(c.final == c.first && c.fault == fault_none, same);
        if (c.final == enc_binary) {
            EXPECT_EQ(first.size() + c.rest.find('\0'), k.first_nul);
        }
        if (c.fault != fault_none) {
            EXPECT_EQ(c.fault_at, k.fault_at);
        }
    }
}

// fault@offset after the pieces went through the validator v.
template <typename V, typename Feed, typename End>
string fault_of(V v, const std::vector<string> &pieces, Feed feed, End end) {
    for (const string &p : pieces) feed(v, p.data(), p.size());
    end(v);
    return std::to_string(v.fault) + "@" + std::to_string(v.fault == fault_none ? 0 : v.fault_at);
}

TEST(Encoding, ValidatorsFindTheFirstFaultAcrossBlocks) {
    // clang-format off
    // kind: 0 UTF-8, 1 UTF-16LE, 2 UTF-16BE, 3 code page 932
    const struct { const char *what; int kind; string in; enc_fault fault; uint64_t at; } cases[] = {
        {"euro", 0, "\xE2\x82\xAC", fault_none, 0},
        {"cut off", 0, "a\xE2\x82", fault_utf8_truncated, 1},
        {"stray continuation", 0, "a\x80", fault_utf8_invalid, 1},
        {"past U+10FFFF", 0, "\xF4\x90\x80\x80", fault_utf8_invalid, 1},
        {"pair", 1, B("\x3D\xD8\x00\xDE"), fault_none, 0},
        {"odd length", 1, B("A\0B"), fault_utf16_odd_length, 2},
        {"lone high, then a letter", 1, B("\x3D\xD8" "A\0"), fault_utf16_lone_high, 0},
        {"lone high at the end", 1, B("A\0\x3D\xD8"), fault_utf16_lone_high, 2},
        {"lone low", 1, B("A\0\x00\xDE"), fault_utf16_lone_low, 2},
        {"BE pair", 2, B("\xD8\x3D\xDE\x00"), fault_none, 0},
        {"BE lone low", 2, B("\xDE\x00"), fault_utf16_lone_low, 0},
        {"932 so and backslash", 3, "\x83\x5C\x5C", fault_none, 0},
        {"932 lone lead at the end", 3, "ab\x83", fault_dbcs_truncated, 2},
        {"932 lead before LF", 3, "a\x83\n", fault_dbcs_bad_trail, 1},
    };
    // clang-format on

    const dbcs_table cp932 = table_of(932);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        for_every_cut(c.in, [&](const std::vector<string> &pieces) {
            utf16_check u16;
            u16.big_endian = c.kind == 2;
            dbcs_check db;
            db.table = &cp932;
            string got = c.kind == 0
                             ? fault_of(utf8_check(), pieces, utf8_check_feed, utf8_check_end)
                         : c.kind < 3 ? fault_of(u16, pieces, utf16_check_feed, utf16_check_end)
                                      : fault_of(db, pieces, dbcs_check_feed, dbcs_check_end);
            EXPECT_EQ(std::to_string(c.fault) + "@" + std::to_string(c.at), got);
            return got;
        });
    }
}

// The same faults after any number of units without surrogates (which the check passes over
// a piece at a time), in either byte order: found, and found where they stand.
TEST(Encoding, Utf16FaultsAreFoundAfterAnyLengthOfPlainText) {
    const struct { string units; enc_fault fault; } cases[] = {  // (little-endian)
        {B("\x3D\xD8" "A\0"), fault_utf16_lone_high},
        {B("\x00\xDE" "A\0"), fault_utf16_lone_low},
        {B("\x3D\xD8\x00\xDE"), fault_none},
    };
    for (const bool big : {false, true}) {
        for (const auto &c : cases) {
            for (size_t before = 0; before < 40; ++before) {
                string text;
                for (size_t i = 0; i < before; ++i) text += i % 5 ? B("A\0") : B("\xE9\0");
                text += c.units;
                for (int i = 0; i < 20; ++i) text += B("z\0");
                if (big)
                    for (size_t i = 0; i < text.size(); i += 2) std::swap(text[i], text[i + 1]);
                utf16_check u;
                u.big_endian = big;
                utf16_check_feed(u, text.data(), text.size());
                utf16_check_end(u);
                ASSERT_EQ(c.fault, u.fault) << big << " " << before;
                if (c.fault != fault_none) {
                    ASSERT_EQ(2 * before, u.fault_at) << big << " " << before;
                }
            }
        }
    }
}

TEST(Encoding, TextsConvertExactlyOrNotAtAll) {
    const string mixed = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // "Aé€😀"
    // clang-format off
    const struct { const char *what; string text; text_encoding enc; uint32_t cp;
                   encode_result result; string out; } cases[] = {
        {"UTF-16LE", mixed, enc_utf16le_bom, 0, encode_exact, B("A\0\xE9\0\xAC\x20\x3D\xD8\0\xDE")},
        {"UTF-16BE", mixed, enc_utf16be, 0, encode_exact, B("\0A\0\xE9\x20\xAC\xD8\x3D\xDE\0")},
        {"not UTF-8", "\xFF", enc_utf16le, 0, encode_not_representable, ""},
        {"UTF-8 as it is", "M\xC3\xBCller", enc_utf8_bom, 0, encode_exact, "M\xC3\xBCller"},
        {"1252", "M\xC3\xBCller \xE2\x82\xAC", enc_legacy, 1252, encode_exact, "M\xFCller \x80"},
        {"omega in 1252", "\xCE\xA9", enc_legacy, 1252, encode_not_representable, ""},
        {"omega in 1253", "\xCE\xA9", enc_legacy, 1253, encode_exact, "\xD9"},
        {"932", "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", enc_legacy, 932, encode_exact,
         "\x93\xFA\x96\x7B\x8C\xEA"},
        {"932 so", "\xE3\x82\xBD\\", enc_legacy, 932, encode_exact, "\x83\x5C\x5C"},
        {"936", "\xE4\xB8\xAD\xE6\x96\x87", enc_legacy, 936, encode_exact, "\xD6\xD0\xCE\xC4"},
        {"950", "\xE4\xB8\xAD\xE6\x96\x87", enc_legacy, 950, encode_exact, "\xA4\xA4\xA4\xE5"},
        {"949", "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", enc_legacy, 949, encode_exact,
         "\xC7\xD1\xB1\xB9\xBE\xEE"},
        {"UTF-8 as a code page", "\xCE\xA9", enc_legacy, 65001, encode_exact, "\xCE\xA9"},
        {"not UTF-8, in 65001", "a\xFF", enc_legacy, 65001, encode_not_representable, ""},
        {"emoji in 932", "\xF0\x9F\x98\x80", enc_legacy, 932, encode_not_representable, ""},
        {"UTF-16 is no byte code page", "a", enc_legacy, 1200, encode_unsupported, ""},
        {"no such code page", "a", enc_legacy, 12345, encode_unsupported, ""},
    };
    // clang-format on

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        string out = "left over";
        EXPECT_EQ(c.result, encode_text(c.text, c.enc, c.cp, &out));
        EXPECT_EQ(c.out, out);
        if (c.result != encode_exact) continue;
        string back;
        EXPECT_EQ(encode_exact, decode_text(out, c.enc, c.cp, &back));
        EXPECT_EQ(c.text, back);
    }
}

TEST(Encoding, LegacyCodePageIsAByteCodePage) {
    uint32_t cp = os_legacy_code_page();
#if !defined(_WIN32)
    EXPECT_EQ(1252u, cp);
#endif
    EXPECT_NE(65001u, cp);
    string out;
    EXPECT_EQ(1, os_convert_from_utf8(cp, "plain", &out));
    EXPECT_EQ("plain", out);
}

// [from, to] byte ranges, as the four double-byte code pages of Windows define them.
using ranges = std::vector<std::pair<int, int>>;
string set_of(const bool (&in)[256]) {
    string s;
    for (int b = 0; b < 256; ++b) s += in[b] ? '1' : '0';
    return s;
}
string set_of(const ranges &r) {
    bool in[256] = {};
    for (auto [from, to] : r)
        for (int b = from; b <= to; ++b) in[b] = true;
    return set_of(in);
}

TEST(Encoding, DoubleByteTablesOfTheFourCodePages) {
    const struct {
        uint32_t cp;
        ranges lead, trail;
    } cases[] = {
        {932, {{0x81, 0x9F}, {0xE0, 0xFC}}, {{0x40, 0x7E}, {0x80, 0xFC}}},
        {936, {{0x81, 0xFE}}, {{0x40, 0x7E}, {0x80, 0xFE}}},
        {949, {{0x81, 0xFE}}, {{0x41, 0x5A}, {0x61, 0x7A}, {0x81, 0xFE}}},
        {950, {{0x81, 0xFE}}, {{0x40, 0x7E}, {0xA1, 0xFE}}},
    };
    for (const auto &c : cases) {
        dbcs_table t = table_of(c.cp);
        EXPECT_TRUE(t.double_byte) << c.cp;
        EXPECT_EQ(set_of(c.lead), set_of(t.lead)) << c.cp;
        EXPECT_EQ(set_of(c.trail), set_of(t.trail)) << c.cp;
    }
    for (uint32_t cp : {1252u, 1251u, 65001u}) EXPECT_FALSE(table_of(cp).double_byte) << cp;
    dbcs_table t;
    EXPECT_EQ(0, make_dbcs_table(12345, &t));
}

TEST(Encoding, DoubleByteMatchesStartOnCharacterBoundaries) {
    const dbcs_table cp932 = table_of(932), cp1252 = table_of(1252);
    const string so = "\x83\x5C\x5C";  // "ソ\": the first 5C is the second byte of ソ
    EXPECT_EQ(2u, dbcs_find(cp932, so.data(), so.size(), "\\", 1));
    EXPECT_EQ(1u, dbcs_find(cp1252, so.data(), so.size(), "\\", 1));
    EXPECT_FALSE(dbcs_is_boundary(cp932, so.data(), 0, 1));
    EXPECT_EQ(2u, dbcs_next_boundary(cp932, so.data(), 0, 1));
    const string twice = "\x83\x5C\x83\x5C";
    EXPECT_EQ(SIZE_MAX, dbcs_find(cp932, twice.data(), twice.size(), "\\", 1));
    EXPECT_EQ(SIZE_MAX, dbcs_find(cp932, twice.data(), twice.size(), "\\\x83", 2));
    const string later =
        "\x83\x5C"
        "A\x5C"
        "A";  // "\A" inside ソ, then whole at 3
    EXPECT_EQ(3u, dbcs_find(cp932, later.data(), later.size(), "\\A", 2));
    // A block ending with a lead byte: the next block's first character starts at its byte 1.
    const string first = "a\x83", second = "\x5C\\";
    size_t next = dbcs_next_boundary(cp932, first.data(), 0, first.size());
    EXPECT_EQ(3u, next);
    size_t from = next - first.size();
    EXPECT_EQ(1u, from + dbcs_find(cp932, second.data() + from, second.size() - from, "\\", 1));
}

TEST(Encoding, Utf16FindSkipsMatchesAtOddOffsets) {
    const string hay = B("x\0\0AA\0");  // units x, U+4100, A: "A\0" at 3 straddles two units
    EXPECT_EQ(4u, utf16_find(hay.data(), hay.size(), "A\0", 2));
    // The same text from its second byte: the first whole unit starts at 1.
    EXPECT_EQ(3u, utf16_find(hay.data() + 1, hay.size() - 1, "A\0", 2, 1));
    const string units = B("\n\n\0\0");  // U+0A0A, U+0000: no LF unit, though bytes 0A 00 are
    std::string_view lf = encoded_lf(enc_utf16le);
    EXPECT_EQ(SIZE_MAX, utf16_find(units.data(), units.size(), lf.data(), lf.size()));
    EXPECT_EQ(B("\0\r"), string(encoded_cr(enc_utf16be)));
    EXPECT_EQ(B("\r\0"), string(encoded_cr(enc_utf16le_bom)));
    EXPECT_EQ("\n", string(encoded_lf(enc_legacy)));
    EXPECT_EQ("", string(bom_bytes(enc_utf8)));
    EXPECT_EQ("UTF-16BE", encoding_name(enc_utf16be_bom, 0));
    EXPECT_EQ("windows-1252", encoding_name(enc_legacy, 1252));
    EXPECT_EQ("code page 932", encoding_name(enc_legacy, 932));
}

TEST(Encoding, LineEndRuleWorksOnCodeUnitsAcrossBlocks) {
    // clang-format off
    const struct {
        text_encoding enc;
        string in, out;
    } cases[] = {
        {enc_legacy, "a\nb\r\nc\rd\n", "a\r\nb\r\nc\rd\r\n"},
        {enc_utf8, "\n\n\r", "\r\n\r\n\r"},
        {enc_utf16le, B("a\0\n\0\r\0\n\0\r\0"), B("a\0\r\0\n\0\r\0\n\0\r\0")},
        {enc_utf16le, B("\n\n\0\n"), B("\n\n\0\n")},  // U+0A0A, U+0A00: no LF unit
        {enc_utf16le_bom, B("\xFF\xFE\n\0"), B("\xFF\xFE\r\0\n\0")},
        {enc_utf16be, B("\0a\0\n\r\0"), B("\0a\0\r\0\n\r\0")},
        {enc_utf16le, B("\n\0\n"), B("\r\0\n\0\n")},  // odd length: the last byte as it is
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(encoding_name(c.enc, 0) + " " + testing::PrintToString(c.in));
        for_every_cut(c.in, [&](const std::vector<string> &pieces) {
            line_end_state s;
            line_ends_begin(s, c.enc);
            string out;
            for (const string &p : pieces) line_ends_feed(s, p.data(), p.size(), &out);
            line_ends_end(s, &out);
            EXPECT_EQ(c.out, out);
            return out;
        });
    }
}

// More code pages than a thread keeps converters for, on four threads at once.
TEST(Encoding, ConversionsOnManyThreadsAtOnce) {
    const std::pair<uint32_t, string> texts[] = {{932, "\xE3\x82\xBD\\"}, {936, "\xE4\xB8\xAD"},
                                                 {949, "\xED\x95\x9C"},   {950, "\xE4\xB8\xAD"},
                                                 {1252, "\xC3\xBC"},      {1250, "\xC5\x91"}};
    string expect[6];
    for (size_t k = 0; k < 6; ++k)
        EXPECT_EQ(encode_exact,
                  encode_text(texts[k].second, enc_legacy, texts[k].first, &expect[k]));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (size_t i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (size_t round = 0, k = i; round < 300; ++round, k = (k + 1) % 6) {
                string out;
                encode_text(texts[k].second, enc_legacy, texts[k].first, &out);
                wrong += out != expect[k];
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(0, wrong.load());
}

}  // namespace
