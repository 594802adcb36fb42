// libFuzzer target: the file rewrite's read-translate-write path. Each input becomes a file
// in a scratch folder; update_file rewrites it, and the result must be what the text-mode rule
// and the plain replacement loop give, byte for byte, with no temporary file left.
#include <dirent.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "engine/engine.h"
#include "log/log.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

std::string scratch;  // the fuzzer's own folder: the session log and the folder below
std::string folder;   // holds the one file under rewrite and nothing else

// Removes the scratch folder at the end of a run (a crash leaves it, to be looked at).
void remove_scratch() {
    unlink((folder + "/file.txt").c_str());
    rmdir(folder.c_str());
    unlink((scratch + "/logging.log").c_str());
    rmdir(scratch.c_str());
}

void write_all(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    check(f != nullptr);
    check(fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    check(fclose(f) == 0);
}

std::string read_all(const std::string &path) {
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    check(f != nullptr);
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    fclose(f);
    return s;
}

// The folder holds only the one file: no temporary file was left.
void check_alone() {
    DIR *d = opendir(folder.c_str());
    check(d != nullptr);
    int count = 0;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++count;
    closedir(d);
    check(count == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The session log and the scratch file live in a folder of their own.
    // In memory where there is a tmpfs: every rewrite flushes its file to the disk.
    char pattern[] = "/dev/shm/sarvelt-fuzz-XXXXXX";
    char fallback[] = "/tmp/sarvelt-fuzz-XXXXXX";
    char *made = mkdtemp(pattern);
    if (!made) made = mkdtemp(fallback);
    check(made != nullptr);
    check(chdir(made) == 0);
    scratch = made;
    folder = scratch + "/files";
    check(mkdir(folder.c_str(), 0700) == 0);
    atexit(remove_scratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_input in;
    if (!split_input(data, size, &in)) return 0;
    static unsigned runs = 0;
    if (++runs % 512 == 0) truncate("logging.log", 0);  // the log is appended to at its end

    int ref = 0;
    std::string expect = testutil::reference_rewrite(in.body, in.search, in.repl, &ref);
    if (ref < 0 && in.repl.find(in.search) == std::string::npos && !run_heavy(data, size)) return 0;
    std::string path = folder + "/file.txt";
    write_all(path, in.body);
    errors_seen = 0;
    int got = update_file(path.c_str(), in.search.c_str(), in.repl.c_str());
    std::string now = read_all(path);
    check_alone();
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
