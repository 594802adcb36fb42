// The window seam: the only way the portable code (scan/, log/, ui/commands) reaches the
// dialog. window_win.cpp talks to the real Win32 dialog; window_headless.cpp keeps the
// control texts and the progress position in memory and queues posted commands, which it
// dispatches to the same portable command handling the window procedure uses.
//
// While there is no window (before start-up, or after it was destroyed) the text, progress
// and box operations do nothing and window_get_text yields an empty text.
#pragma once

#include <string>
#include <vector>

// Kinds of message box.
enum window_box_kind { box_plain = 0, box_warning = 1, box_error = 2, box_question = 3 };

// 1 while the main dialog exists.
int window_alive();
// Sets the text of a control of the main dialog.
void window_set_text(int control_id, const char *text);
// Reads the text of a control into out (room bytes, terminator included); out is always
// terminated, and empty when there is no window.
void window_get_text(int control_id, char *out, int room);
// The whole text of a control, however long; empty when there is no window.
std::string window_get_text(int control_id);
// Takes the progress bar and sets it up: range 0 to 1,000, step 1, green bar, position 0.
void window_setup_progress();
// Sets the progress bar's position (0 to 1,000; more shows as full).
void window_set_progress(int position);
// Removes one waiting message from the queue, if there is one, and dispatches it. Never
// waits. Returns 1 if a message was taken.
int window_pump_one();
// Queues a command for the main window, as PostMessage(WM_COMMAND, id) does.
void window_post_command(int id);
// Asks the window to close (WM_SYSCOMMAND SC_CLOSE), as QUIT and Esc do.
void window_request_close();
// Shows a message box and waits until it is closed; owned = 1 makes the main dialog its owner.
void window_message_box(int owned, const char *text, const char *caption, window_box_kind kind);
// Asks a question in a box owned by the main dialog, with the buttons Yes and No, and waits
// for the answer: 1 Yes, 0 No (or the box closed).
int window_ask_yes_no(const char *text, const char *caption);
// Shows rows of texts in a window of its own, captioned caption: a list view with the columns
// given, sized to the screen, owned by the main dialog, which waits meanwhile. Returns once it
// is closed (Esc or its close box).
void window_show_list(const char *caption, const std::vector<std::string> &columns,
                      const std::vector<std::vector<std::string>> &rows);
