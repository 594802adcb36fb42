// A file's preview: its text view line by line through the line replacement, nothing written.
#include "engine/preview.h"

#include <string.h>


#include "engine/encoding.h"
#include "engine/engine.h"
#include "engine/line_stream.h"
#include "engine/text_copy.h"
#include "platform/os.h"

namespace {

// The start of a line's text, cut at preview_line_bytes.
void keep_shown(std::string *shown, bool *cut, const char *p, size_t n) {
    const size_t room = preview_line_bytes - std::min(shown->size(), preview_line_bytes);
    if (n > room) *cut = true;
    shown->append(p, std::min(n, room));
}

struct line_watch {
    line_stream s;
    const text_form *form = nullptr;  // the file's encoding, when it is not taken byte for byte
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

// A shown line's text in UTF-8. Only shown, never written: a cut that does not decode says so.
std::string shown_text(const line_watch &w, const std::string &text) {
    if (!w.form) return text;
    std::string utf8;
    if (decode_text(text_form_bytes(*w.form, text), w.form->encoding, w.form->code_page, &utf8) !=
        encode_exact)
        return "(not shown: not a whole text in " +
               encoding_name(w.form->encoding, w.form->code_page) + ")";
    return utf8;
}

// The line in hand as the preview shows it.
changed_line shown_line(const line_watch &w) {
    changed_line c;
    c.number = w.number;
    c.before = shown_text(w, w.before) + (w.before_cut ? "..." : "");
    c.after = shown_text(w, w.after) + (w.after_cut ? "..." : "");
    return c;
}

void end_line(line_watch &w, file_preview *out) {
    drain(w, true);
    w.in_line = false;
    if (w.s.replacements == 0) return;
    out->replacements += w.s.replacements;
    if (out->first.size() < preview_lines_shown) out->first.push_back(shown_line(w));
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

// Why the run would not rewrite a file in its encoding.
std::string refusal_of(const encoded_scan &scan, const text_watch *copy) {
    const encoding_check &c = copy && copy->check.fault != fault_none ? copy->check : scan.watch.check;
    if (c.fault != fault_none)
        return encoding_name(c.verdict, scan.form.code_page) + ": " + enc_fault_text(c.fault);
    return "the replacement cannot be written in " +
           encoding_name(scan.form.encoding, scan.form.code_page);
}

// The view of the file through the line replacement, counting. -1: the watch stopped it.
int count_through(text_view_source &src, line_watch &w, file_preview *out,
                  const std::atomic<int> *cancel) {
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) return 0;
        const int read = text_view_read(src);
        if (read <= 0) return read;
        if (src.view.empty()) {
            if (w.in_line) {
                if (line_end(w.s) < 0)
                    out->runaway = true;
                else
                    end_line(w, out);
            }
            return 1;
        }
        if (!feed(w, src.view.data(), src.view.data() + src.view.size(), out)) {
            out->runaway = true;
            return 1;
        }
    }
}

// The line of the file that starts at offset, as the preview shows it: read from there until
// its end, or until both its texts are cut. (For a file the count found changed lines in: each
// replacement stands where the occurrence stood, so what is drained is final.) 0 on a read
// error.
// bom: the length of the BOM the file starts with, no part of its first line. whole: the
// file's length where all of it is in the read block (f then stands at its end), else 0.
int show_line(const os_file &f, size_t bom, size_t whole, const changed_line_at &at,
              line_watch &w, file_preview *out) {
    const uint64_t start = at.offset == 0 ? bom : at.offset;
    text_view_source src;
    if (start < whole) {
        src.given = text_read_block() + start;
        src.given_len = size_t(whole - start);
    } else if (!os_seek(f, start)) {
        return 0;
    }
    src.f = &f;
    src.begun = true;  // (the BOM is passed)
    // A shown line is mostly short: a kilobyte at a time, read again only for a line that is
    // longer, so that showing a file's first changed lines costs no pass over the rest of it.
    src.piece = size_t(1) << 10;
    w.number = at.number;
    begin_line(w);
    for (;;) {
        const int read = text_view_read(src);
        if (read == 0) return 0;
        const char *p = src.view.data();
        const char *end = p + src.view.size();
        const char *lf = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        const char *stop = lf ? lf : end;
        keep_shown(&w.before, &w.before_cut, p, size_t(stop - p));
        const bool ended = lf || read < 0 || src.view.empty();
        if (line_feed(w.s, p, size_t(stop - p)) < 0 || (ended && line_end(w.s) < 0)) break;
        drain(w, ended);
        if (ended || (w.before_cut && w.after_cut)) break;
    }
    out->first.push_back(shown_line(w));
    return 1;
}

}  // namespace

int preview_file(const char *path, const char *search_text, const char *replace_text,
                 file_preview *out, const text_setup *text, const std::atomic<int> *cancel) {
    *out = file_preview();
    if (!replace_text) replace_text = "";
    os_file f;
    os_stat st;
    if (!os_open_read(path, &f)) {
        out->code = os_last_error();
        return 0;
    }
    static const text_setup none;  // (unused without a setup)
    const text_setup &use = text ? *text : none;
    bool ok = os_fstat(f, &st);
    text_encoding e = enc_utf8;
    // As the rewrite does: the scan in the file's encoding, then the whole text read again,
    // watched, and again from the start in another encoding should it not be what the scan found.
    for (int attempt = 0; ok && attempt < 4; ++attempt) {
        *out = file_preview();
        if (attempt > 0 && !os_rewind(f)) {
            ok = false;
            break;
        }
        encoded_scan scan;
        copy_result r;
        if (text) {
            r = text_scan(f, st.size, use, search_text, replace_text, e, &scan);
        } else {
            line_setup(scan.s, search_text, strlen(search_text), replace_text,
                       strlen(replace_text));
            r = text_has_occurrence(f, scan.s, st.size, &scan.found, &scan.held);
        }
        ok = r == copy_ok;
        out->binary = scan.binary_left;
        if (!ok || !scan.found) break;
        if (scan.watch.check.fault != fault_none || !scan.form.replace_exact) {
            out->refused = refusal_of(scan, nullptr);
            break;
        }
        out->read_only = st.read_only;
        text_watch watch;
        if (text) {
            const text_encoding begun =
                scan.form.encoding == enc_utf8 ? scan.watch.check.begun : scan.form.encoding;
            watch = text_watch_for(scan.form, use, true, false, begun);
        }
        text_view_source src;
        src.f = &f;
        src.watch = &watch;
        src.form = scan.form.units ? &scan.form : nullptr;
        line_watch w;
        if (text && scan.form.encoding != enc_utf8 && scan.form.encoding != enc_utf8_bom)
            w.form = &scan.form;
        line_setup(w.s, scan.form.search.data(), scan.form.search.size(),
                   scan.form.replace.data(), scan.form.replace.size());
        const bool direct = !scan.form.units && text_copies_directly(w.s);
        // As the copy does, the count starts from what the scan left in the read block (a
        // file of one block is read once for both).
        const size_t held = !text ? 0 : direct ? scan.held : scan.whole;
        if (held == 0 && !os_rewind(f)) {
            ok = false;
            break;
        }
        if (!direct) text_view_take_held(src, held);
        int counted;
        if (direct) {
            // Counted on the raw bytes as the copy replaces them; only the lines shown are
            // taken apart.
            std::vector<changed_line_at> lines;
            size_t still = held;  // then: what of the file is still in the read block
            const copy_result c = text_count_direct(f, w.s, &watch, cancel, preview_lines_shown,
                                                    &out->replacements, &lines, &still);
            const size_t whole = scan.whole > 0 && still == scan.whole ? still : 0;
            counted = c == copy_ok || c == copy_runaway ? 1 : c == copy_encoding_changed ? -1 : 0;
            out->runaway = c == copy_runaway;
            const size_t bom = bom_bytes(watch.check.begun).size();
            for (size_t i = 0; counted == 1 && !out->runaway && i < lines.size(); ++i)
                if (!show_line(f, bom, whole, lines[i], w, out)) counted = 0;
        } else {
            counted = count_through(src, w, out, cancel);
        }
        if (counted == 0) ok = false;
        if (counted >= 0) break;
        if (watch.check.fault != fault_none) {
            *out = file_preview();
            out->refused = refusal_of(scan, &watch);
            break;
        }
        e = watch.check.verdict;
        if (e == enc_binary && !use.include_binary) {
            *out = file_preview();
            out->binary = true;
            break;
        }
    }
    if (!ok) out->code = cancel && cancel->load() ? 0 : os_last_error();
    os_close(&f);
    if (out->runaway) out->replacements = 0, out->first.clear();
    return ok ? 1 : 0;
}
