// libFuzzer target: the file rewrite with each file in its own encoding (update_file with a text
// setup). Each input becomes a file in UTF-16, a double-byte or single-byte legacy code page or
// UTF-8 with BOM; the rewrite's result must be what tests/fuzz/encoded_reference.h gives, byte
// for byte, or both must agree that the file is left alone or fails, with no temporary file left.
//
// Input: as fuzz_input.h has it; besides, byte 0's high bits choose the file (byte 0 >> 3):
//   bits 0-2  the file's shape: UTF-16LE with BOM, UTF-16LE, UTF-16BE with BOM, UTF-16BE, code
//             page 932, code page 936, UTF-8 with BOM, windows-1252
//   bit 3     the body's bytes go into the file as they are (any byte, valid or not); clear: the
//             body is taken as UTF-8 text (a stray byte as the Latin-1 character of its value)
//             and stored in the shape's encoding (characters a code page lacks left out)
//   bit 4     binary files are rewritten byte for byte rather than left alone
// and byte 2's top two bits the legacy code page of the run where the shape is no code page of
// its own: 1252, 932, 936, 1252. The seeds of the plain target (byte 0 below 8, byte 2 below 64)
// are UTF-16LE files with BOM here, their bodies as text.
#include <stdio.h>

#include <string>

#include "engine/encoding.h"
#include "engine/engine.h"
#include "engine/rewrite.h"
#include "log/log.h"
#include "tests/fuzz/encoded_reference.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_scratch.h"

using fuzzfiles::check;

namespace {

enum shape { u16le_bom, u16le, u16be_bom, u16be, cp932, cp936, u8_bom, cp1252 };
const char *const shape_names[] = {"UTF-16LE+BOM", "UTF-16LE", "UTF-16BE+BOM", "UTF-16BE",
                                   "cp932",        "cp936",    "UTF-8+BOM",    "cp1252"};
const uint32_t code_pages[3] = {1252, 932, 936};

encref::code_page references[3];
text_setup setups[3][2];  // [code page][binary files included]

int code_page_index(uint32_t cp) { return cp == 932 ? 1 : cp == 936 ? 2 : 0; }

// The body as valid UTF-8: a byte that begins no character stands for the Latin-1 one.
std::string as_text(const std::string &body) {
    std::string out;
    uint32_t cp = 0;
    for (size_t i = 0; i < body.size();) {
        const size_t len = encref::utf8_char(body, i, &cp);
        if (len == 0) {
            encref::put_utf8(static_cast<unsigned char>(body[i]), &out);
            ++i;
        } else {
            out.append(body, i, len);
            i += len;
        }
    }
    return out;
}

std::string make_file(shape s, bool raw, const std::string &body, const encref::code_page &cp) {
    switch (s) {
    case u16le_bom:
    case u16le:
    case u16be_bom:
    case u16be: {
        const bool big = s == u16be_bom || s == u16be;
        const std::string bom = s == u16le_bom ? "\xFF\xFE" : s == u16be_bom ? "\xFE\xFF" : "";
        return bom + (raw ? body : encref::utf8_to_utf16(as_text(body), big));
    }
    case u8_bom: return "\xEF\xBB\xBF" + (raw ? body : as_text(body));
    case cp932:
    case cp936:
    case cp1252: {
        if (raw) return body;
        const std::string text = as_text(body);
        std::string out, bytes;
        uint32_t unused = 0;
        for (size_t i = 0; i < text.size();) {
            const size_t len = encref::utf8_char(text, i, &unused);
            if (cp.exact_from_utf8(text.substr(i, len), &bytes)) out += bytes;
            i += len;
        }
        return out;
    }
    }
    return body;
}

void dump(const char *what, const std::string &bytes) {
    fprintf(stderr, "%-9s (%zu):", what, bytes.size());
    for (size_t i = 0; i < bytes.size() && i < 256; ++i)
        fprintf(stderr, " %02x", static_cast<unsigned char>(bytes[i]));
    fprintf(stderr, bytes.size() > 256 ? " ...\n" : "\n");
}

const char *verdict_name(encref::verdict v) {
    switch (v) {
    case encref::verdict::untouched: return "left as it was";
    case encref::verdict::rewritten: return "rewritten";
    case encref::verdict::fails: return "fails, left as it was";
    case encref::verdict::past_budget: return "past the loop's budget";
    }
    return "?";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzfiles::make_scratch();
    for (int i = 0; i < 3; ++i) {
        check(references[i].open(code_pages[i]));
        for (int binary = 0; binary < 2; ++binary)
            check(make_text_setup(code_pages[i], binary != 0, &setups[i][binary]) == 1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input in;
    if (!split_input(data, size, &in)) return 0;
    fuzzfiles::trim_log();
    const unsigned mode = data[0] >> 3;
    const shape s = shape(mode & 7);
    const bool raw = (mode & 8) != 0, include_binary = (mode & 16) != 0;
    const uint32_t cp = s == cp932 ? 932 : s == cp936 ? 936 : s == cp1252 ? 1252
                        : (data[2] >> 6) == 1 ? 932 : (data[2] >> 6) == 2 ? 936 : 1252;
    const int k = code_page_index(cp);
    const std::string file = make_file(s, raw, in.body, references[k]);

    const encref::expectation want =
        encref::expected_rewrite(file, in.search, in.repl, references[k], include_binary);
    if (want.what == encref::verdict::past_budget &&
        in.repl.find(in.search) == std::string::npos && !run_heavy(data, size))
        return 0;

    const std::string path = fuzzfiles::file_path();
    fuzzfiles::write_whole(file);
    errors_seen = 0;
    const int got = update_file(path.c_str(), in.search.c_str(), in.repl.c_str(),
                                setups[k][include_binary ? 1 : 0]);
    const std::string now = fuzzfiles::read_whole();
    fuzzfiles::check_alone();

    bool ok = false;
    switch (want.what) {
    case encref::verdict::untouched: ok = got == 1 && errors_seen == 0 && now == file; break;
    case encref::verdict::rewritten: ok = got == 1 && errors_seen == 0 && now == want.bytes; break;
    case encref::verdict::fails: ok = got == 0 && errors_seen == 1 && now == file; break;
    case encref::verdict::past_budget:
        ok = got == 1 || (errors_seen == 1 && now == file);  // the guard stopped it, or not
        break;
    }
    if (!ok) {
        fprintf(stderr,
                "fuzz_encoded_rewrite: %s%s, code page %u%s; taken for %s; expected: %s (%s); "
                "update_file gave %d, errors_seen %d\n",
                shape_names[s], raw ? " (raw bytes)" : "", cp,
                include_binary ? ", binary included" : "", encref::enc_name(want.encoding),
                verdict_name(want.what), want.why, got, int(errors_seen));
        dump("search", in.search);
        dump("replace", in.repl);
        dump("file", file);
        dump("expected", want.what == encref::verdict::rewritten ? want.bytes : file);
        dump("now", now);
        abort();
    }
    unlink(path.c_str());
    return 0;
}
