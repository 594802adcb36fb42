// The headless window (see window_headless.h).
#include "platform/window_headless.h"

#include <string.h>

#include <deque>
#include <map>

namespace {

// The close message in the queue (no command has a negative id).
constexpr int close_message = -1;

struct headless_window {
    bool alive = false;
    std::map<int, std::string> texts;
    int progress = 0;
    bool progress_ready = false;
    std::deque<int> queue;
    bool close_requested = false;
    std::vector<headless_box> boxes;
    headless_host host;
    bool quit_posted = false;
};

headless_window &win() {
    static headless_window w;
    return w;
}

}  // namespace

namespace {
std::vector<headless_list> &shown_lists() {
    static std::vector<headless_list> lists;
    return lists;
}
}  // namespace

void headless_open(const headless_host &host) {
    shown_lists().clear();
    headless_window &w = win();
    w.host = host;
    w.alive = true;
    w.boxes.clear();
    w.texts.clear();
    w.progress = 0;
    w.progress_ready = false;
    w.queue.clear();
    w.close_requested = false;
    w.quit_posted = false;
}

void headless_destroy() {
    win().alive = false;
    win().queue.clear();
    win().host = headless_host();
}

std::string headless_text(int control_id) {
    auto it = win().texts.find(control_id);
    return it == win().texts.end() ? std::string() : it->second;
}

int headless_progress() { return win().progress; }
int headless_progress_ready() { return win().progress_ready ? 1 : 0; }
const std::vector<headless_box> &headless_boxes() { return win().boxes; }
void headless_clear_boxes() { win().boxes.clear(); }
size_t headless_queued() { return win().queue.size(); }
int headless_close_requested() { return win().close_requested ? 1 : 0; }
int headless_quit_posted() { return win().quit_posted ? 1 : 0; }

int window_alive() { return win().alive ? 1 : 0; }

void window_set_text(int control_id, const char *text) {
    headless_window &w = win();
    if (!w.alive) return;
    w.texts[control_id] = text;
    if (w.host.text_changed) w.host.text_changed(control_id, text);
}

void window_get_text(int control_id, char *out, int room) {
    if (room <= 0) return;
    out[0] = '\0';
    if (!win().alive) return;
    std::string t = headless_text(control_id);
    size_t n = t.size() < size_t(room - 1) ? t.size() : size_t(room - 1);
    memcpy(out, t.data(), n);
    out[n] = '\0';
}

std::string window_get_text(int control_id) {
    return win().alive ? headless_text(control_id) : std::string();
}

void window_setup_progress() {
    headless_window &w = win();
    if (!w.alive) return;
    w.progress_ready = true;
    w.progress = 0;
}

void window_set_progress(int position) {
    headless_window &w = win();
    if (!w.alive || !w.progress_ready) return;
    if (position < 0) position = 0;
    w.progress = position > 1000 ? 1000 : position;
    if (w.host.progress_changed) w.host.progress_changed(w.progress);
}

int window_pump_one() {
    headless_window &w = win();
    if (w.host.pumping) w.host.pumping();
    if (w.queue.empty()) return 0;
    int id = w.queue.front();
    w.queue.pop_front();
    if (id == close_message) {
        w.alive = false;
        w.queue.clear();
        if (w.host.closed) w.host.closed();
        w.quit_posted = true;
    } else if (w.host.dispatch) {
        w.host.dispatch(id);
    }
    return 1;
}

void window_post_command(int id) {
    if (win().alive) win().queue.push_back(id);
}

void window_request_close() {
    headless_window &w = win();
    if (!w.alive) return;
    w.close_requested = true;
    w.queue.push_back(close_message);
}

namespace {
int question_answer = 1;
}  // namespace

void window_show_list(const char *caption, const std::vector<std::string> &columns,
                      const std::vector<std::vector<std::string>> &rows) {
    if (window_alive()) shown_lists().push_back({caption, columns, rows});
}

const std::vector<headless_list> &headless_lists() { return shown_lists(); }

void headless_answer_questions(int yes) { question_answer = yes ? 1 : 0; }

int window_ask_yes_no(const char *text, const char *caption) {
    window_message_box(1, text, caption, box_question);
    return question_answer;
}

void window_message_box(int owned, const char *text, const char *caption, window_box_kind kind) {
    headless_window &w = win();
    headless_box box{owned && w.alive ? 1 : 0, text, caption, kind};
    w.boxes.push_back(box);
    if (w.host.box_shown) w.host.box_shown(box);
}
