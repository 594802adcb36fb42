// A file's preview: its text view line by line through the line replacement, nothing written.
#include "engine/preview.h"

#include <string.h>

#include <memory>

#include "engine/engine.h"
#include "engine/line_stream.h"
#include "engine/text_copy.h"
#include "platform/os.h"

namespace {

constexpr size_t block_size = size_t(1) << 20;

// The start of a line's text, cut at preview_line_bytes.
void keep_shown(std::string *shown, bool *cut, const char *p, size_t n) {
    const size_t room = preview_line_bytes - std::min(shown->size(), preview_line_bytes);
    if (n > room) *cut = true;
    shown->append(p, std::min(n, room));
}

struct line_watch {
    line_stream s;
    uint64_t number = 1;
    std::string before, after;
    bool before_cut = false, after_cut = false;
    bool in_line = false;
};

void begin_line(line_watch &w) {
    line_begin(w.s);
    w.before.clear();
    w.after.clear();
    w.before_cut = w.after_cut = false;
    w.in_line = true;
}

// Moves what of the line's output can no longer change into the shown text.
void drain(line_watch &w, bool all) {
    const size_t n = all ? w.s.out.size() : line_final_bytes(w.s);
    keep_shown(&w.after, &w.after_cut, w.s.out.data(), n);
    w.s.out.erase(0, n);
}

void end_line(line_watch &w, file_preview *out) {
    drain(w, true);
    w.in_line = false;
    if (w.s.replacements == 0) return;
    out->replacements += w.s.replacements;
    if (out->first.size() < preview_lines_shown) {
        changed_line c;
        c.number = w.number;
        c.before = w.before + (w.before_cut ? "..." : "");
        c.after = w.after + (w.after_cut ? "..." : "");
        out->first.push_back(std::move(c));
    }
}

// Feeds the text view's bytes [p, end) to the lines. false when the runaway guard stopped.
bool feed(line_watch &w, const char *p, const char *end, file_preview *out) {
    while (p < end) {
        const char *lf = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        const char *stop = lf ? lf : end;
        if (!w.in_line) begin_line(w);
        keep_shown(&w.before, &w.before_cut, p, size_t(stop - p));
        if (line_feed(w.s, p, size_t(stop - p) + (lf ? 1 : 0)) < 0) return false;
        if (lf) {
            if (line_end(w.s) < 0) return false;
            // The line's own LF is not shown.
            if (!w.s.out.empty() && w.s.out.back() == '\n') w.s.out.pop_back();
            end_line(w, out);
            ++w.number;
        } else {
            drain(w, false);
        }
        p = stop + (lf ? 1 : 0);
    }
    return true;
}

}  // namespace

int preview_file(const char *path, const char *search_text, const char *replace_text,
                 file_preview *out) {
    *out = file_preview();
    if (!replace_text) replace_text = "";
    os_file f;
    os_stat st;
    if (!os_open_read(path, &f)) {
        out->code = os_last_error();
        return 0;
    }
    line_watch w;
    line_setup(w.s, search_text, strlen(search_text), replace_text, strlen(replace_text));
    bool found = false;
    size_t held = 0;
    bool ok = os_fstat(f, &st) &&
              text_has_occurrence(f, w.s, st.size, &found, &held) == copy_ok &&
              (!found || os_rewind(f));
    out->read_only = ok && st.read_only;
    std::unique_ptr<char[]> raw(found && ok ? new char[block_size] : nullptr);
    std::string view;
    bool held_cr = false;  // a CR at the end of the last block, waiting for its next byte
    while (found && ok) {
        size_t got = 0;
        if (!os_read(f, raw.get(), block_size, &got)) {
            ok = false;
            break;
        }
        // The text view: CR LF arrives as LF; every other byte as it is.
        view.clear();
        if (held_cr && (got == 0 || raw[0] != '\n')) view.push_back('\r');
        held_cr = false;
        for (const char *p = raw.get(), *end = p + got; p < end;) {
            const char *cr = static_cast<const char *>(memchr(p, '\r', size_t(end - p)));
            view.append(p, size_t((cr ? cr : end) - p));
            if (!cr) break;
            if (cr + 1 == end)
                held_cr = true;  // decided by the next block
            else if (cr[1] != '\n')
                view.push_back('\r');
            p = cr + 1;
        }
        if (!feed(w, view.data(), view.data() + view.size(), out)) {
            out->runaway = true;
            break;
        }
        if (got == 0) {
            if (w.in_line) {
                if (line_end(w.s) < 0)
                    out->runaway = true;
                else
                    end_line(w, out);
            }
            break;
        }
    }
    if (!ok) out->code = os_last_error();
    os_close(&f);
    if (out->runaway) out->replacements = 0, out->first.clear();
    return ok ? 1 : 0;
}
