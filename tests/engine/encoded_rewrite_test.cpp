// The whole rewrite of files in their own encodings (update_file with a text setup), against the
// real file services and conversions of this platform: one case per encoding with its bytes
// before and after, the line ends in UTF-16 code units, binary files, an unrepresentable
// replacement and the bytes that would not survive the trip; the preview counts the same.
#include <gtest/gtest.h>

#include <string>

#include "engine/encoding.h"
#include "engine/preview.h"
#include "engine/rewrite.h"
#include "log/log.h"
#include "tests/common/files.h"

using namespace testutil;

namespace {

using std::string;

string B(const char *p, size_t n) { return string(p, n); }
#define BYTES(lit) B(lit, sizeof(lit) - 1)

constexpr size_t block = size_t(1) << 20;  // the rewrite's read block

const string utf8_bom = "\xEF\xBB\xBF";

struct encoded_case {
    const char *what;
    uint32_t code_page;
    bool include_binary;
    string before;
    const char *search, *repl;
    string after;        // == before: the file must be left as it was
    int result;          // what update_file returns
    uint64_t count;      // the preview's replacements
    const char *logged;  // the line the log gets for the file, up to its path ("": none of ours)
};

const encoded_case cases[] = {
    {"UTF-8", 1252, false, "a M\xC3\xBCller\n", "M\xC3\xBCller", "Mu", "a Mu\r\n", 1, 1, ""},
    {"UTF-8 with BOM", 1252, false, utf8_bom + "M\xC3\xBCller\r\n", "M\xC3\xBCller", "Mueller",
     utf8_bom + "Mueller\r\n", 1, 1, "INFO: File in UTF-8 with BOM: "},
    {"UTF-16LE with BOM", 1252, false, BYTES("\xFF\xFEM\0\xFC\0l\0l\0e\0r\0\n\0"),
     "M\xC3\xBCller", "Mu", BYTES("\xFF\xFEM\0u\0\r\0\n\0"), 1, 1, "INFO: File in UTF-16LE: "},
    {"UTF-16BE with BOM", 1252, false, BYTES("\xFE\xFF\0M\0\xFC\0l\0l\0e\0r"), "M\xC3\xBCller",
     "\xE2\x82\xAC", BYTES("\xFE\xFF\x20\xAC"), 1, 1, "INFO: File in UTF-16BE: "},
    {"UTF-16LE without BOM", 1252, false, BYTES("a\0 \0M\0\xFC\0l\0l\0e\0r\0"), "M\xC3\xBCller",
     "X", BYTES("a\0 \0X\0"), 1, 1, "INFO: File in UTF-16LE without BOM: "},
    // A LF unit gains its CR, CR LF stays; 0A bytes inside other units are no LF.
    {"UTF-16LE line ends", 1252, false,
     BYTES("\xFF\xFE" "b\0\n\0\x41\x0A\r\0\n\0\n\x41"), "b", "c",
     BYTES("\xFF\xFE" "c\0\r\0\n\0\x41\x0A\r\0\n\0\n\x41"), 1, 1, "INFO: File in UTF-16LE: "},
    {"UTF-16BE line ends", 1252, false, BYTES("\xFE\xFF\0b\0\n\x0A\0\0\r\0\n"), "b", "c\n",
     BYTES("\xFE\xFF\0c\0\r\0\n\0\r\0\n\x0A\0\0\r\0\n"), 1, 1, "INFO: File in UTF-16BE: "},
    {"windows-1252", 1252, false, "M\xFCller\n", "M\xC3\xBCller", "Mueller", "Mueller\r\n", 1, 1,
     "INFO: File in windows-1252: "},
    // 83 5C is one character (a katakana); a byte-wise search for "\" would hit its second byte.
    {"code page 932", 932, false, "\x83\x5C\\\x83\x5C", "\\", "/", "\x83\x5C/\x83\x5C", 1, 1,
     "INFO: File in code page 932: "},
    {"code page 932, a character for another", 932, false, "a\x83\x5C\x83\x5C", "\xE3\x82\xBD",
     "\xE3\x82\xA2", "a\x83\x41\x83\x41", 1, 2, "INFO: File in code page 932: "},
    {"binary left alone", 1252, false, BYTES("x\0\0y Mu\n"), "Mu", "Mi", BYTES("x\0\0y Mu\n"), 1,
     0, "INFO: Binary file left alone (holds NUL bytes): "},
    {"binary included", 1252, true, BYTES("x\0\0y Mu\n"), "Mu", "Mi", BYTES("x\0\0y Mi\r\n"), 1, 1,
     "INFO: Binary file rewritten byte for byte (holds NUL bytes): "},
    {"unrepresentable replacement", 1252, false, "M\xFCller", "ller", "\xCE\xA9", "M\xFCller", 0, 0,
     "ERROR: The replacement cannot be written in the file's encoding (windows-1252); file not "
     "changed: "},
    {"unrepresentable search", 1252, false, "M\xFCller", "\xCE\xA9", "x", "M\xFCller", 1, 0, ""},
    {"odd-length UTF-16", 1252, false, BYTES("\xFF\xFE" "a\0b\0c"), "a", "x",
     BYTES("\xFF\xFE" "a\0b\0c"), 0, 0,
     "ERROR: The file's bytes cannot be kept in its encoding (UTF-16LE: an odd number of bytes "
     "in a UTF-16 file, at byte 6); file not changed: "},
    {"unpaired surrogate", 1252, false, BYTES("\xFF\xFE" "a\0\x00\xD8" "b\0"), "a", "x",
     BYTES("\xFF\xFE" "a\0\x00\xD8" "b\0"), 0, 0,
     "ERROR: The file's bytes cannot be kept in its encoding (UTF-16LE: a UTF-16 high surrogate "
     "without its low surrogate, at byte 4); file not changed: "},
    {"lone lead byte at the end", 932, false, "\x83\x5C" "a\x83", "a", "x", "\x83\x5C" "a\x83", 0,
     0,
     "ERROR: The file's bytes cannot be kept in its encoding (code page 932: a double-byte "
     "character cut off by the end of the file, at byte 3); file not changed: "},
    {"BOM alone", 1252, false, "\xFF\xFE", "a", "x", "\xFF\xFE", 1, 0, ""},
    // A BOM is no part of the text: never found, always written back as it was.
    {"a search in the UTF-8 BOM", 1252, false, utf8_bom + "\r-\n", "\xBB", "\xBF",
     utf8_bom + "\r-\n", 1, 0, ""},
    {"a search in the UTF-16 BOM", 1252, false, BYTES("\xFF\xFE" "a\0\n\0"), "\xEF\xBB\xBF" "a",
     "b", BYTES("\xFF\xFE" "a\0\n\0"), 1, 0, ""},
    {"a text just after the UTF-16 BOM", 1252, false, BYTES("\xFE\xFF\0a\0\n"), "a", "b",
     BYTES("\xFE\xFF\0b\0\r\0\n"), 1, 1, "INFO: File in UTF-16BE: "},
    {"empty file", 1252, false, "", "a", "x", "", 1, 0, ""},
    // UTF-8 in the first block, the legacy code page after it: scanned again in it.
    {"legacy after the first block", 1252, false, string(block, 'x') + "M\xFCller",
     "M\xC3\xBCller", "Mu", string(block, 'x') + "Mu", 1, 1, "INFO: File in windows-1252: "},
    // ... and found so while the copy writes a replacement the encodings store apart.
    {"legacy found by the copy", 1252, false, "Mu " + string(block, 'x') + "\xFC", "Mu",
     "M\xC3\xBC", "M\xFC " + string(block, 'x') + "\xFC", 1, 1, "INFO: File in windows-1252: "},
    {"binary after the first block", 1252, false, "Mu " + string(block, 'x') + BYTES("\0"), "Mu",
     "Mi", "Mu " + string(block, 'x') + BYTES("\0"), 1, 0,
     "INFO: Binary file left alone (holds NUL bytes): "},
};

TEST(EncodedRewrite, EachFileInItsOwnEncoding) {
    scratch_dir dir("encoded");
    int i = 0;
    for (const encoded_case &c : cases) {
        SCOPED_TRACE(c.what);
        text_setup setup;
        ASSERT_EQ(1, make_text_setup(c.code_page, c.include_binary, &setup));
        const string path = dir.file("f" + std::to_string(i++) + ".txt");
        ASSERT_TRUE(write_file(path, c.before));
        ASSERT_TRUE(set_mtime(path, old_time));

        file_preview seen;
        ASSERT_EQ(1, preview_file(path.c_str(), c.search, c.repl, &seen, &setup));
        EXPECT_EQ(c.count, seen.replacements);
        EXPECT_EQ(string(c.logged).find("Binary file left alone") != string::npos, seen.binary);
        EXPECT_EQ(c.result == 0, !seen.refused.empty()) << seen.refused;

        errors_seen = 0;
        const size_t log_start = log_text().size();
        EXPECT_EQ(c.result, update_file(path.c_str(), c.search, c.repl, setup));
        EXPECT_EQ(c.result == 0 ? 1 : 0, errors_seen);
        EXPECT_TRUE(read_file(path) == c.after) << "the file's bytes differ";
        if (c.after == c.before) {
            EXPECT_EQ(old_time, mtime_of(path));
        }
        const string log = log_text().substr(log_start);
        if (*c.logged) {
            EXPECT_NE(string::npos, log.find(c.logged + path + "\r\n")) << log;
        } else {
            EXPECT_EQ(string::npos, log.find("INFO: File in")) << log;
        }
    }
}

// A code page the platform does not know is refused when the setup is made.
TEST(EncodedRewrite, UnknownCodePageIsRefused) {
    text_setup setup;
    EXPECT_EQ(0, make_text_setup(59999, false, &setup));
    EXPECT_EQ(1, make_text_setup(1252, false, &setup));
    EXPECT_TRUE(setup.ascii_same);
}

}  // namespace
