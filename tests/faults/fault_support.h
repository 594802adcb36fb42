// The fault tests' fixture: whole runs of sarvelt-cli over generated trees (started natively
// or inside Wine, optionally changed just before the program starts: limits, user, signals),
// and the checks of a file after such a run.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/common/files.h"
#include "tests/common/process.h"
#include "tests/common/reference.h"

namespace faults {

using namespace testutil;

// Each test: a tree to walk, a working folder to run in (where logging.log goes) and a
// folder for the program's output, all below one fresh folder.
class Faults : public ::testing::Test, protected run_folders {
  protected:
    Faults() : run_folders("sarvelt-faults") {}

    fs::path file(const std::string &rel, const std::string &bytes) {
        // In the platform's own separators: the log names files that way.
        fs::path p = (tree / fs::u8path(rel)).make_preferred();
        write_file(p, bytes);
        EXPECT_TRUE(set_mtime(p, old_time)) << rel;
        return p;
    }

    result run(const std::vector<std::string> &args,
               const std::function<void()> &before_exec = nullptr) {
        return cli_process(args, work, outputs, before_exec).wait();
    }

    // The usual run: every file, "needle" becomes "thread".
    std::vector<std::string> args(const std::string &type = "*.*") const {
        return {"--path",   tree.string(), "--type",    type,
                "--search", "needle",      "--replace", "thread"};
    }

    std::string log() const { return read_file(work / "logging.log"); }
};

// Checks one file after the usual run: rewritten (and its old time kept) or left byte for byte.
inline void expect_new(const fs::path &p, const std::string &before) {
    EXPECT_EQ(reference_rewrite(before, "needle", "thread"), read_file(p)) << p;
    EXPECT_EQ(old_time, mtime_of(p)) << p;
}

inline void expect_untouched(const fs::path &p, const std::string &before) {
    EXPECT_EQ(before, read_file(p)) << p;
    EXPECT_EQ(old_time, mtime_of(p)) << p;
}

}  // namespace faults
