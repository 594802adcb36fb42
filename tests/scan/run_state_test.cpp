// Run state: the cooperative wait, the Delay field, status and progress with and without a
// window.
#include <chrono>

#include "scan_support.h"

using namespace scan_test;

namespace {

class RunState : public window_test {};

double seconds_of(const std::function<void()> &f) {
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(RunState, WaitTicksPumpsTwicePerTick) {
    const struct {
        int32_t ms;
        int pumps;
    } cases[] = {{0, 0}, {-50, 0}, {INT32_MIN, 0}, {1, 2}, {10, 2}, {11, 4}, {20, 4}, {25, 6}};
    for (auto &c : cases) {
        record().pumps = 0;
        wait_ticks(c.ms);
        EXPECT_EQ(c.pumps, record().pumps) << c.ms << " ms";
    }
}

TEST_F(RunState, WaitTicksSleepsTenMillisecondsPerTick) {
    double s = seconds_of([] { wait_ticks(50); });
    EXPECT_GE(s, 0.045);
    EXPECT_LT(s, 2.0);
}

TEST_F(RunState, CancelEndsAWaitAtTheNextTick) {
    record().on_pump = [] {
        if (record().pumps == 3) window_post_command(IDC_CANCEL_RESET);
    };
    run_state.busy = 1;
    double s = seconds_of([] { wait_ticks(100000); });
    EXPECT_LT(s, 2.0);
    EXPECT_EQ(4,
              record().pumps);  // the tick that took the cancel ends, the next one does not start
    EXPECT_EQ(1, run_state.cancel_requested);
    EXPECT_EQ(1, run_state.stop_walk);
    EXPECT_EQ(0, run_state.busy);
}

TEST_F(RunState, PauseDoesNotEndAWait) {
    run_state.busy = 1;
    record().on_pump = [] {
        if (record().pumps == 1) window_post_command(IDC_PAUSE);
    };
    wait_ticks(60);
    EXPECT_EQ(12, record().pumps);
    EXPECT_EQ(1, run_state.paused);
    EXPECT_EQ("Paused....", status());
}

TEST_F(RunState, ClosingEndsAWait) {
    run_state.closing = 1;
    wait_ticks(1000);
    EXPECT_EQ(0, record().pumps);
}

TEST_F(RunState, LargestDelaysDoNotOverflow) {
    // INT32_MAX would overflow (ms + 9) in 32 bits; here it is a long wait that a cancel ends.
    record().on_pump = [] { window_post_command(IDC_CANCEL_RESET); };
    double s = seconds_of([] { wait_ticks(INT32_MAX); });
    EXPECT_LT(s, 2.0);
    EXPECT_EQ(2, record().pumps);
}

TEST_F(RunState, ReadDelayFieldReadsAsAtol) {
    const struct {
        const char *text;
        int32_t value;
    } cases[] = {
        {"", 0},
        {"0", 0},
        {"250", 250},
        {"  42", 42},
        {"\t+7", 7},
        {"-50", -50},
        {"12abc", 12},
        {"abc", 0},
        {"1 000", 1},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"99999999999999999999", 2147483647},
        {"-2147483648", INT32_MIN},
        {"-99999999999", INT32_MIN},
    };
    for (auto &c : cases) {
        window_set_text(IDC_DELAY, c.text);
        EXPECT_EQ(c.value, read_delay_field()) << c.text;
        EXPECT_STREQ(c.text, run_fields.delay_text);
    }
}

TEST_F(RunState, ReadDelayFieldCutsLongTexts) {
    std::string text(700, '1');
    window_set_text(IDC_DELAY, text.c_str());
    EXPECT_EQ(INT32_MAX, read_delay_field());
    EXPECT_EQ(size_t(delay_text_read - 1), strlen(run_fields.delay_text));
}

TEST_F(RunState, StatusAndProgress) {
    set_status("Progress: %lu of %lu files. (%0.0f%%)", 1ul, 3ul, 100.0 / 3);
    EXPECT_EQ("Progress: 1 of 3 files. (33%)", status());
    std::string longer(1000, 'x');
    set_status("%s", longer.c_str());
    EXPECT_EQ(std::string(399, 'x'), status());  // a 400-byte buffer
    set_progress_position(500);
    EXPECT_EQ(500, headless_progress());
    set_progress_position(1250);
    EXPECT_EQ(1000, headless_progress());
    set_progress_position(UINT32_MAX);
    EXPECT_EQ(1000, headless_progress());
    set_progress_position(0);
    EXPECT_EQ(0, headless_progress());
}

TEST(RunStateWithoutWindow, OperationsDoNothing) {
    headless_destroy();
    set_status("anything");
    set_progress_position(10);
    EXPECT_EQ(0, read_delay_field());
    EXPECT_STREQ("", run_fields.delay_text);
    EXPECT_EQ(0, window_alive());
}

}  // namespace
