// The folder the file-rewrite fuzz targets work in: the session log and one folder that holds
// the one file under rewrite and nothing else, so that a temporary file left behind shows.
// In memory where there is a tmpfs: every rewrite flushes its file to the disk.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/common/files.h"

namespace fuzzfiles {

inline void check(bool ok) {
    if (!ok) abort();
}

inline std::string &scratch() {  // the fuzzer's own folder: the session log and the folder below
    static std::string s;
    return s;
}
inline std::string &folder() {  // holds the one file under rewrite
    static std::string f;
    return f;
}
inline std::string file_path() { return folder() + "/file.txt"; }

// Removes the scratch folder at the end of a run (a crash leaves it, to be looked at).
inline void remove_scratch() {
    unlink(file_path().c_str());
    rmdir(folder().c_str());
    unlink((scratch() + "/logging.log").c_str());
    rmdir(scratch().c_str());
}

// Makes the scratch folder and goes into it (the session log is written to the current folder).
inline void make_scratch() {
    char pattern[] = "/dev/shm/sarvelt-fuzz-XXXXXX";
    char fallback[] = "/tmp/sarvelt-fuzz-XXXXXX";
    char *made = mkdtemp(pattern);
    if (!made) made = mkdtemp(fallback);
    check(made != nullptr);
    check(chdir(made) == 0);
    scratch() = made;
    folder() = scratch() + "/files";
    check(mkdir(folder().c_str(), 0700) == 0);
    atexit(remove_scratch);
}

// The log is appended to at its end: cut it now and then so that it stays small.
inline void trim_log() {
    static unsigned runs = 0;
    if (++runs % 512 == 0) check(truncate("logging.log", 0) == 0 || errno == ENOENT);
}

inline void write_whole(const std::string &bytes) {
    check(testutil::write_file(file_path(), bytes));
}

inline std::string read_whole() { return testutil::read_file(file_path()); }

// The folder holds only the one file: no temporary file was left.
inline void check_alone() {
    DIR *d = opendir(folder().c_str());
    check(d != nullptr);
    int count = 0;
    while (struct dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++count;
    closedir(d);
    check(count == 1);
}

}  // namespace fuzzfiles
