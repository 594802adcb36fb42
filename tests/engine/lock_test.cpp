// Another program that holds a file for a moment (a scanner, an indexer, a reader) does not make
// its rewrite fail: the rewrite tries again for about two seconds. Held for longer, the rewrite
// takes its error path and loses nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>

#include "engine/engine.h"
#include "engine/rewrite.h"
#include "log/log.h"
#include "tests/common/files.h"

using namespace testutil;

namespace {

int hold_ms = 0;
PROCESS_INFORMATION holder = {};

// Just before the swap another program takes hold of the file, and keeps it for hold_ms.
void hold_before_swap(const char *path) {
    std::string marker = std::string(path) + ".held";
    std::string program = "Z:" HOLD_FILE;  // under Wine the build's paths are on drive Z:
    for (char &ch : program)
        if (ch == '/') ch = '\\';
    std::string cmd =
        "\"" + program + "\" \"" + path + "\" " + std::to_string(hold_ms) + " \"" + marker + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    ASSERT_TRUE(CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                               &holder));
    for (int i = 0; i < 1000 && GetFileAttributesA(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(10);
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(marker.c_str()));
}

TEST(Locks, AFileHeldForAMomentIsRewrittenAndOneHeldLongerIsLeftWhole) {
    const struct {
        int hold_ms;
        bool rewritten;
    } cases[] = {{300, true}, {10000, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE("held for " + std::to_string(c.hold_ms) + " ms");
        scratch_dir dir("locks");
        std::string path = dir.file("held.txt");
        write_file(path, "one needle\n");
        ASSERT_TRUE(set_mtime(path, old_time));
        size_t log_start = log_text().size();
        errors_seen = 0;
        hold_ms = c.hold_ms;
        rewrite_before_swap_hook = hold_before_swap;
        auto start = std::chrono::steady_clock::now();
        int result = update_file(path.c_str(), "needle", "pin");
        auto took = std::chrono::steady_clock::now() - start;
        rewrite_before_swap_hook = nullptr;
        TerminateProcess(holder.hProcess, 0);
        WaitForSingleObject(holder.hProcess, 5000);
        CloseHandle(holder.hProcess);
        CloseHandle(holder.hThread);

        std::string logged = log_text().substr(log_start);
        EXPECT_EQ(c.rewritten ? 1 : 0, result) << logged;
        EXPECT_EQ(c.rewritten ? 0 : 1, errors_seen);
        EXPECT_EQ(c.rewritten ? "one pin\r\n" : "one needle\n", read_file(path));
        EXPECT_EQ(old_time, mtime_of(path));
        EXPECT_EQ((std::set<std::string>{"held.txt", "held.txt.held"}), names_in(dir.str()));
        EXPECT_EQ(c.rewritten, logged.find("ERROR") == std::string::npos) << logged;
        if (!c.rewritten) {
            EXPECT_NE(std::string::npos, logged.find("file not changed: " + path)) << logged;
            EXPECT_GE(took, std::chrono::milliseconds(1500));  // the tries took their time
            EXPECT_LT(took, std::chrono::milliseconds(8000));  // and did not wait for the holder
        }
    }
}

}  // namespace
