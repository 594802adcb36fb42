// libFuzzer target: the file rewrite's read-translate-write path. Each input becomes a file
// in a scratch folder; update_file rewrites it, and the result must be what the text-mode rule
// and the plain replacement loop give, byte for byte, with no temporary file left.
#include <string>

#include "engine/engine.h"
#include "log/log.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_scratch.h"

using fuzzfiles::check;

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzzfiles::make_scratch();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input in;
    if (!split_input(data, size, &in)) return 0;
    fuzzfiles::trim_log();

    int ref = 0;
    std::string expect = testutil::reference_rewrite(in.body, in.search, in.repl, &ref);
    if (ref < 0 && in.repl.find(in.search) == std::string::npos && !run_heavy(data, size)) return 0;
    const std::string path = fuzzfiles::file_path();
    fuzzfiles::write_whole(in.body);
    errors_seen = 0;
    int got = update_file(path.c_str(), in.search.c_str(), in.repl.c_str());
    std::string now = fuzzfiles::read_whole();
    fuzzfiles::check_alone();
    if (ref >= 0) {
        check(got == 1);
        check(errors_seen == 0);
        check(now == expect);
    } else if (got == 0) {
        check(now == in.body);  // stopped by the runaway guard: the file as it was
        check(errors_seen == 1);
    }
    unlink(path.c_str());
    return 0;
}
