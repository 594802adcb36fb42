// libFuzzer target: the line replacement, whole and fed in pieces, against the plain loop.
#include <stdlib.h>
#include <string.h>

#include "engine/engine.h"
#include "engine/line_stream.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input in;
    if (!split_input(data, size, &in)) return 0;

    std::string expect = in.body;
    int ref = testutil::reference_replace(expect, in.search, in.repl);
    if (ref < 0 && in.repl.find(in.search) == std::string::npos && !run_heavy(data, size)) return 0;
    std::string whole = in.body;
    int got = replace_all_in_line(whole, in.search.c_str(), in.repl.c_str());
    if (ref >= 0) {
        check(got == ref);
        check(whole == expect);
    } else {
        check(got == -1 ? whole == in.body : got == 1);
    }
    if (got < 0) return 0;

    // The same line fed in pieces, its final front taken away as it goes.
    line_stream s;
    line_setup(s, in.search.data(), in.search.size(), in.repl.data(), in.repl.size());
    line_begin(s);
    std::string out;
    for (size_t pos = 0; pos < in.body.size(); pos += in.piece) {
        size_t n = in.body.size() - pos < in.piece ? in.body.size() - pos : in.piece;
        check(line_feed(s, in.body.data() + pos, n) == 0);
        size_t fin = line_final_bytes(s);
        check(fin <= s.out.size());
        out.append(s.out, 0, fin);
        s.out.erase(0, fin);
    }
    check(line_end(s) == 0);
    out += s.out;
    check(out == whole);
    check(out.find(in.search) == std::string::npos);
    return 0;
}
