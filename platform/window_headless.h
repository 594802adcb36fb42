// The headless window: what stands in for the dialog where there is none (the command-line
// program and the tests). Control texts and the progress position live in memory; posted
// commands wait in a queue until a pump dispatches them to the host's command handling.
#pragma once

#include <string>
#include <vector>

#include "platform/window.h"

struct headless_box {
    int owned;
    std::string text;
    std::string caption;
    window_box_kind kind;
};

// What the program around the headless window gives it, once, when the window opens: the
// command handling it dispatches to, what to do when the window closes, and what to be told
// of (each may be null).
struct headless_host {
    void (*dispatch)(int command_id) = nullptr;
    // The window was destroyed by a close request, before the quit message is posted.
    void (*closed)() = nullptr;
    void (*text_changed)(int control_id, const char *text) = nullptr;
    void (*progress_changed)(int position) = nullptr;
    // At the start of every pump, before the queue is looked at: tests post commands at a
    // chosen moment of a run this way.
    void (*pumping)() = nullptr;
    // Every message box, after it is recorded.
    void (*box_shown)(const headless_box &box) = nullptr;
};

// A list shown by window_show_list.
struct headless_list {
    std::string caption;
    std::vector<std::string> columns;
    std::vector<std::vector<std::string>> rows;
};

// Creates the window (texts empty, progress 0, queue empty, boxes forgotten) for host, or
// destroys it.
void headless_open(const headless_host &host);
void headless_destroy();

std::string headless_text(int control_id);
int headless_progress();
// The progress bar's set-up state: 1 once window_setup_progress ran.
int headless_progress_ready();
const std::vector<headless_box> &headless_boxes();
// What the next questions (window_ask_yes_no) are answered: 1 Yes (the default), 0 No. A
// question is recorded as a box of kind box_question.
void headless_answer_questions(int yes);
// The lists shown since the window opened.
const std::vector<headless_list> &headless_lists();
void headless_clear_boxes();
// Commands waiting in the queue.
size_t headless_queued();
// 1 once window_request_close was called since the window was opened.
int headless_close_requested();
// Closing works as it does for a real window: window_request_close queues a close message;
// the pump that takes it destroys the window (texts, progress and boxes then do nothing,
// queued commands are dropped), tells the host and posts the quit message. No pump ever takes
// the quit message, so a close requested during a run still ends the program's loop once the
// run has returned.
int headless_quit_posted();
