// The headless window: what stands in for the dialog where there is none (the command-line
// program and the tests). Control texts and the progress position live in memory; posted
// commands wait in a queue until a pump dispatches them to the handler set here.
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

// Creates the window (texts empty, progress 0, queue empty) or destroys it.
void headless_open();
void headless_destroy();
// The function that handles a dispatched command (the portable command handling).
void headless_set_dispatcher(void (*dispatch)(int command_id));
// Called after each control text change, e.g. so the command-line program can print status.
void headless_set_text_observer(void (*observe)(int control_id, const char *text));
// Called for every message box, after it is recorded.
void headless_set_box_observer(void (*observe)(const headless_box &box));
// Called at the start of every pump, before the queue is looked at: tests use it to post
// commands at a chosen moment of a run.
void headless_set_pump_observer(void (*observe)());
// Called after each change of the progress position.
void headless_set_progress_observer(void (*observe)(int position));
// Called when the window is destroyed by a close request (the portable handling's
// command_window_destroyed), before the quit message is posted.
void headless_set_destroy_handler(void (*on_destroy)());

std::string headless_text(int control_id);
int headless_progress();
// The progress bar's set-up state: 1 once window_setup_progress ran.
int headless_progress_ready();
const std::vector<headless_box> &headless_boxes();
void headless_clear_boxes();
// Commands waiting in the queue.
size_t headless_queued();
// 1 once window_request_close was called since the window was opened.
int headless_close_requested();
// Closing works as it does for a real window: window_request_close queues a close message;
// the pump that takes it destroys the window (texts, progress and boxes then do nothing,
// queued commands are dropped), calls the destroy handler and posts the quit message. No
// pump ever takes the quit message, so a close requested during a run still ends the
// program's loop once the run has returned.
int headless_quit_posted();
