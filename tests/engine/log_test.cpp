// The session log: banner, entry endings, the system-error line, long entries, identity.
#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "log/log.h"
#include "tests/common/files.h"

using namespace testutil;

namespace {

// The text the log gained while f ran.
template <class F>
std::string logged_by(F f) {
    log_message("INFO: marker");  // makes sure the log exists before measuring it
    size_t before = log_text().size();
    f();
    return log_text().substr(before);
}

TEST(Log, FileStartsWithTheBanner) {
    log_message("INFO: first");
    const std::string rule(74, '-');
    std::regex banner("\r\n\r\n" + rule +
                      "\r\nINFO: Session Logging beginning "
                      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                      "[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\r\n \r\n" +
                      rule + "\r\n");
    std::string text = log_text();
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, banner)) << text.substr(0, 300);
    EXPECT_EQ(0, m.position(0));
    // Only one banner per process.
    EXPECT_EQ(std::string::npos, text.find("Session Logging beginning", m.length(0)));
}

TEST(Log, LineFeedIsAddedOnlyWhenMissing) {
    EXPECT_EQ("INFO: one\r\n", logged_by([] { log_message("INFO: one"); }));
    EXPECT_EQ("INFO: two\r\n", logged_by([] { log_message("INFO: two\n"); }));
    EXPECT_EQ("INFO: a\r\nb\r\n", logged_by([] { log_message("INFO: a\nb"); }));
}

// Entries that may wait go out before the next entry, in their order; on their own once one has
// waited 50 ms; and when told.
TEST(Log, EntriesThatMayWaitKeepTheirOrderAndAreWrittenInTime) {
    EXPECT_EQ("INFO: w1\r\nINFO: w2\r\nINFO: now\r\n", logged_by([] {
                  log_message_may_wait("INFO: w1");
                  log_message_may_wait("INFO: w2");
                  log_message("INFO: now");
              }));
    EXPECT_EQ("INFO: w3\r\nINFO: w4\r\n", logged_by([] {
                  log_message_may_wait("INFO: w3");
                  usleep(60 * 1000);
                  log_message_may_wait("INFO: w4");
              }));
    EXPECT_EQ("INFO: w5\r\n", logged_by([] {
                  log_message_may_wait("INFO: w5");
                  log_write_waiting();
              }));
}

TEST(Log, FormatsItsArguments) {
    EXPECT_EQ("INFO: 7 files in C:\\x\r\n",
              logged_by([] { log_message("INFO: %d files in %s", 7, "C:\\x"); }));
}

TEST(Log, SystemErrorLineNamesThePathAndTheCodeInLowerCaseHex) {
    EXPECT_EQ("ERROR:  C:\\a b.txt: unknown error 0x1f\r\n", logged_by([] {
                  os_set_last_error(0x1f);
                  log_system_error("C:\\a b.txt");
              }));
    EXPECT_EQ("ERROR:  x: unknown error 0x5\r\n", logged_by([] {
                  os_set_last_error(5);
                  log_system_error("x");
              }));
}

TEST(Log, VeryLongEntriesAreKeptUpToTheLimitAndMarkedWhenCut) {
    // Two paths of 32,760 characters of three bytes each, with the texts: still whole.
    const std::string mid(2 * 3 * 32760 + 2 * 5000, 'm');
    std::string got = logged_by([&] { log_message("INFO: %s", mid.c_str()); });
    EXPECT_EQ("INFO: " + mid + "\r\n", got);

    const std::string huge(600000, 'h');
    got = logged_by([&] { log_message("INFO: %s", huge.c_str()); });
    EXPECT_LT(got.size(), size_t(270000));
    EXPECT_EQ(0u, got.find("INFO: hhhh"));
    EXPECT_EQ(" [...]\r\n", got.substr(got.size() - 8));
}

// Entries filled without printf read as printf fills them, cut included.
TEST(Log, StringsFilledWithoutPrintfReadAsPrintfFillsThem) {
    const std::string huge(200000, 'h');
    const std::vector<std::vector<const char *>> cases = {
        {"INFO: %s in '%s' at 50%% \nnext: %s.", "a 100% b", "", "x\ny"},
        {"%s%s", "ends with a line feed", "\n", ""},
        {"INFO: %s and %s", huge.c_str(), "after the cut", ""},
    };
    for (const auto &c : cases) {
        std::string want = logged_by([&] { log_message(c[0], c[1], c[2], c[3]); });
        EXPECT_EQ(want, logged_by([&] { log_strings(false, c[0], {c[1], c[2], c[3]}); }));
        EXPECT_EQ(want, logged_by([&] {
                      log_strings(true, c[0], {c[1], c[2], c[3]});
                      log_write_waiting();
                  }));
    }
}

TEST(Log, KnowsItsOwnFileByIdentity) {
    log_message("INFO: identity");
    os_stat st;
    ASSERT_EQ(1, os_stat_path("logging.log", &st, 1));
    EXPECT_EQ(1, log_is_session_log(st.id));
    scratch_dir d;
    write_file(d.file("logging.log"), "another log of the same name\n");
    ASSERT_EQ(1, os_stat_path(d.file("logging.log").c_str(), &st, 1));
    EXPECT_EQ(0, log_is_session_log(st.id));
    EXPECT_EQ(0, log_is_session_log(os_file_id()));
}

#if !defined(_WIN32)
TEST(LogDeathTest, ALogThatCannotBeOpenedIsToldToTheCallerAndEndsNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a fresh process nothing has been logged yet; its folder is gone, so the log cannot
    // be created there. The process goes on; what to do is its front end's decision.
    EXPECT_EXIT(
        {
            scratch_dir gone;
            std::filesystem::current_path(gone.path());
            std::filesystem::remove(gone.path());
            log_message("INFO: never written");
            log_message("INFO: nor this");
            fprintf(stderr, "%s", log_unavailable_text().c_str());
            _exit(log_unavailable() ? 3 : 0);
        },
        ::testing::ExitedWithCode(3),
        "ERROR:  The debug logging file 'logging.log' could not not be opened");
}
#endif

}  // namespace
