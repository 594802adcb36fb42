// File rewrite: one file through the line replacement, swapped in atomically, its last-write
// time kept.
//
// The file is read as a Windows text stream reads it (CR LF arrives as LF; every other byte,
// NUL and Ctrl-Z included, arrives as it is) and written as a text stream writes it (LF is
// stored as CR LF). So a rewritten file differs from the original only by the replacements and
// by bare line feeds that became CR LF. A file without occurrence is never written.
//
// Nothing is lost on any failure: the copy goes to a new temporary file in the same folder,
// which is flushed to the disk and only then put in the file's place in one step. Any error
// before that step leaves the original untouched and removes the temporary file.
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/line_stream.h"
#include "engine/rewrite_hooks.h"
#include "log/log.h"
#include "platform/os.h"

namespace {

constexpr size_t block_size = size_t(1) << 20;

// The block that files are read into, kept from file to file: a fresh megabyte for each file
// would cost more to clear than most files cost to read. One per thread; a file's scan and its
// copy use it one after the other.
char *read_block(size_t room) {
    thread_local std::vector<char> block;
    if (block.size() < room) block.resize(room);
    return block.data();
}

// Reads a file in large blocks and hands out its text-stream view: CR LF becomes LF.
struct text_reader {
    os_file f;
    std::string view;
    bool held_cr = false;  // a CR at the end of the last block, waiting for its next byte
};

// Reads the next block's view into r.view. Returns 1 with an empty view at the end of the
// file, 0 on a read error.
int read_view(text_reader &r) {
    r.view.clear();
    char *raw = read_block(block_size);
    size_t got = 0;
    if (!os_read(r.f, raw, block_size, &got)) return 0;
    if (got == 0) {
        if (r.held_cr) r.view.push_back('\r');
        r.held_cr = false;
        return 1;
    }
    const char *p = raw;
    const char *end = p + got;
    if (r.held_cr) {
        r.held_cr = false;
        if (*p != '\n') r.view.push_back('\r');
    }
    while (p < end) {
        const char *cr = static_cast<const char *>(memchr(p, '\r', size_t(end - p)));
        if (!cr) {
            r.view.append(p, size_t(end - p));
            break;
        }
        r.view.append(p, size_t(cr - p));
        if (cr + 1 == end) {
            r.held_cr = true;  // decided by the next block
            break;
        }
        if (cr[1] != '\n') r.view.push_back('\r');
        p = cr + 1;
    }
    // An empty view would read as the end of the file: fill it from the next block.
    if (r.view.empty() && r.held_cr) return read_view(r);
    return 1;
}

// Collects output in a large buffer and writes it as a text stream does: LF as CR LF.
struct text_writer {
    os_file f;
    std::string buf;
    bool failed = false;
};

int flush_writer(text_writer &w) {
    if (w.failed) return 0;
    if (!w.buf.empty() && !os_write_all(w.f, w.buf.data(), w.buf.size())) {
        w.failed = true;
        return 0;
    }
    w.buf.clear();
    return 1;
}

int put_text(text_writer &w, const char *p, size_t n) {
    const char *end = p + n;
    while (p < end) {
        const char *lf = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        const char *stop = lf ? lf : end;
        w.buf.append(p, size_t(stop - p));
        if (lf) w.buf.append("\r\n", 2);
        p = lf ? lf + 1 : end;
        if (w.buf.size() >= block_size && !flush_writer(w)) return 0;
    }
    return 1;
}

enum copy_result { copy_ok, copy_read_error, copy_write_error, copy_runaway };

bool search_holds_line_end(const line_stream &s) {
    return memchr(s.search, '\r', s.search_len) || memchr(s.search, '\n', s.search_len);
}

// Can the whole file be handled on its raw bytes, without taking it apart into lines? Yes when
// the search text holds no CR or LF (so an occurrence in a line is one in the raw bytes too, and
// the reverse) and no replacement can form a new occurrence with the text around it (so the
// replacements come down to one pass from left to right).
bool direct_copy_applies(const line_stream &s) {
    return !search_holds_line_end(s) && !s.replace_holds_search && !s.can_cascade_left &&
           !s.can_cascade_right;
}

// Appends raw bytes of the file to the output as the text stream gives them back: a LF gains
// the CR it lacks; CR LF, a lone CR and every other byte stay as they are. *after_cr tells
// whether the last raw byte before p was a CR; *line_growth starts again at every line end.
void put_raw(text_writer &w, const char *p, size_t n, bool *after_cr, int64_t *line_growth) {
    if (n == 0) return;
    const char *const start = p;
    const char *const end = p + n;
    const char *run = p;  // bytes not yet appended start here
    while (const char *lf = static_cast<const char *>(memchr(p, '\n', size_t(end - p)))) {
        *line_growth = 0;
        bool cr_before = lf > start ? lf[-1] == '\r' : *after_cr;
        if (!cr_before) {
            w.buf.append(run, size_t(lf - run));
            w.buf.push_back('\r');
            run = lf;
        }
        p = lf + 1;
    }
    w.buf.append(run, size_t(end - run));
    *after_cr = end[-1] == '\r';
}

// The copy for the case direct_copy_applies: blocks of raw bytes, each occurrence replaced
// where it stands (the replacement's LFs written as CR LF), the rest as put_raw has it. The
// runaway guard counts each line's growth as the line replacement does.
copy_result copy_direct(os_file f, const line_stream &s, text_writer &w, bool *changed) {
    *changed = false;
    const size_t m = s.search_len;
    std::string replacement;
    for (size_t i = 0; i < s.replace_len; ++i) {
        if (s.replace[i] == '\n') replacement.push_back('\r');
        replacement.push_back(s.replace[i]);
    }
    const int64_t step = int64_t(s.replace_len) - int64_t(m);
    int64_t line_growth = 0;
    bool after_cr = false;
    char *buf = read_block(block_size + m);
    size_t kept = 0;  // bytes carried over: they may begin an occurrence the next block ends
    for (;;) {
        size_t got = 0;
        if (!os_read(f, buf + kept, block_size, &got)) return copy_read_error;
        const size_t have = kept + got;
        const bool last = got == 0;
        size_t pos = 0;
        for (;;) {
            size_t at = find_bytes(buf + pos, have - pos, s.search, m);
            if (at == SIZE_MAX) break;
            at += pos;
            put_raw(w, buf + pos, at - pos, &after_cr, &line_growth);
            line_growth += step;
            if (line_growth > int64_t(runaway_growth_limit)) return copy_runaway;
            w.buf += replacement;
            after_cr = false;  // the raw byte before what follows ended the occurrence
            *changed = true;
            pos = at + m;
            if (w.buf.size() >= block_size && !flush_writer(w)) return copy_write_error;
        }
        // Without a whole occurrence in them, the last m - 1 bytes may still begin one.
        size_t settled = last ? have : (have > m - 1 ? have - (m - 1) : 0);
        if (settled < pos) settled = pos;
        put_raw(w, buf + pos, settled - pos, &after_cr, &line_growth);
        if (w.buf.size() >= block_size && !flush_writer(w)) return copy_write_error;
        if (last) break;
        kept = have - settled;
        memmove(buf, buf + settled, kept);
    }
    return flush_writer(w) ? copy_ok : copy_write_error;
}

// Moves the final part of the line's output to the writer (or drops it when w is null).
int drain(line_stream &s, text_writer *w, bool all) {
    size_t n = all ? s.out.size() : line_final_bytes(s);
    if (n == 0) return 1;
    if (w && !put_text(*w, s.out.data(), n)) return 0;
    s.out.erase(0, n);
    return 1;
}

// Runs the whole file through the line replacement. With w null nothing is written and the
// copy stops at the first replacement (*changed tells whether there was one).
copy_result copy_through(text_reader &r, line_stream &s, text_writer *w, bool *changed) {
    *changed = false;
    bool in_line = false;
    line_begin(s);
    for (;;) {
        if (!read_view(r)) return copy_read_error;
        if (r.view.empty()) break;
        const char *p = r.view.data();
        const char *end = p + r.view.size();
        while (p < end) {
            const char *lf = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
            const char *stop = lf ? lf + 1 : end;
            if (!in_line) {
                line_begin(s);
                in_line = true;
            }
            if (line_feed(s, p, size_t(stop - p)) < 0) return copy_runaway;
            if (lf) {
                if (line_end(s) < 0) return copy_runaway;
                in_line = false;
            }
            if (s.replacements > 0) {
                *changed = true;
                if (!w) return copy_ok;
            }
            if (!drain(s, w, !in_line)) return copy_write_error;
            p = stop;
        }
    }
    if (in_line) {
        if (line_end(s) < 0) return copy_runaway;
        if (s.replacements > 0) *changed = true;
        if (!drain(s, w, true)) return copy_write_error;
    }
    if (w && !flush_writer(*w)) return copy_write_error;
    return copy_ok;
}

// Does the file hold the search text anywhere in a line? Without CR or LF in the search text
// the raw bytes can be searched directly: CR LF pairs cannot lie inside such an occurrence.
// size is the file's size when it was opened: a short read that reaches it is the end, without
// asking again.
copy_result has_occurrence(text_reader &r, line_stream &s, uint64_t size, bool *found) {
    if (search_holds_line_end(s)) return copy_through(r, s, nullptr, found);
    *found = false;
    char *buf = read_block(block_size + s.search_len);
    size_t kept = 0;  // bytes carried over from the last block: an occurrence may straddle
    uint64_t total = 0;
    for (;;) {
        size_t got = 0;
        if (!os_read(r.f, buf + kept, block_size, &got)) return copy_read_error;
        if (got == 0) return copy_ok;
        total += got;
        size_t have = kept + got;
        if (find_bytes(buf, have, s.search, s.search_len) != SIZE_MAX) {
            *found = true;
            return copy_ok;
        }
        if (got < block_size && total == size) return copy_ok;
        kept = have < s.search_len - 1 ? have : s.search_len - 1;
        memmove(buf, buf + have - kept, kept);
    }
}

void announce(const char *path, const char *search, const char *replace, const char *dir,
              const char *temp) {
    log_message(
        "INFO: About to Update File %s \nSearch for:  %s  \nReplace with: %s \nPure Path:  %s\nTemp File: %s\n",
        path, search, replace, dir, temp);
}

// Logs an error that names the file and the system's error, and raises the mark.
int fail(const char *what, const char *path, uint32_t code) {
    errors_seen = 1;
    log_message("ERROR: %s: %s (%s)\n", what, path, os_error_text(code).c_str());
    return 0;
}

// The same for a failure on the temporary file: the line names the file being rewritten too,
// so that the error can be told apart from the log alone.
int fail_temp(const char *what, const char *temp_path, const char *path, uint32_t code) {
    errors_seen = 1;
    log_message("ERROR: %s: %s, for file %s (%s)\n", what, temp_path, path,
                os_error_text(code).c_str());
    return 0;
}

int fail_plain(const char *what, const char *path) {
    errors_seen = 1;
    log_message("ERROR: %s: %s\n", what, path);
    return 0;
}

// The temporary file's name for a given time: the low 32 bits of the seconds, signed.
void temp_name(char *out, size_t room, int64_t seconds) {
    snprintf(out, room, "%d.tmp", int(int32_t(uint32_t(uint64_t(seconds) & 0xffffffffu))));
}

// Creates the temporary file exclusively: the first free name from the current time up.
int create_temp(const char *dir, int64_t seconds, char *temp_path, os_file *f, uint32_t *err) {
    for (int tries = 0; tries < 10000; ++tries) {
        char name[32];
        temp_name(name, sizeof name, seconds + tries);
        if (!join_path(temp_path, path_room, dir, name)) {
            *err = 0;
            return 0;
        }
        if (os_create_new(temp_path, f)) return 1;
        *err = os_last_error();
        if (!os_error_is_exists(*err)) return 0;
    }
    return 0;
}

struct open_files {
    os_file src;
    os_file temp;
    const char *temp_path = nullptr;
    // Closes what is open and removes the temporary file.
    void abandon() {
        uint32_t code = os_last_error();
        os_close(&src);
        if (temp.handle != -1) {
            os_close(&temp);
            os_remove(temp_path);
        }
        os_set_last_error(code);
    }
};

}  // namespace

void (*rewrite_before_swap_hook)(const char *path) = nullptr;

int get_set_ftime(const char *path, int64_t *time, int set) {
    const char *what = set ? "setting" : "getting";
    os_file f;
    if (!os_open_for_times(path, &f)) {
        log_system_error(path);
        return 0;
    }
    int ok = set ? os_set_mtime(f, *time) : os_get_mtime(f, time);
    if (ok) {
        log_message("get_set_ftime() success %s timestamp file: %s.", what, path);
        os_close(&f);
        return 1;
    }
    log_system_error(path);
    errors_seen = 1;
    log_message("ERROR: get_set_ftime() Failed %s timestamp file: %s ", what, path);
    os_close(&f);
    return 0;
}

int update_file(const char *path, const char *search_text, const char *replace_text) {
    if (!path) {
        errors_seen = 1;
        log_message("ERROR: update_file() was given NULL for filename!  FAIL!\n");
        return 0;
    }
    if (!search_text || !*search_text) {
        errors_seen = 1;
        log_message("ERROR: update_file() was given an empty search text for file %s  FAIL!\n",
                    path);
        return 0;
    }
    if (!replace_text) replace_text = "";
    if (strlen(path) >= size_t(path_room)) {
        errors_seen = 1;
        log_message("ERROR: Path too long (%u characters, at most %d): %s\n",
                    unsigned(strlen(path)), path_room - 1, path);
        return 0;
    }

    // A link to a file is rewritten through its target, and stays a link.
    std::string real;
    if (!os_link_target(path, &real)) real = path;
    if (real.size() >= size_t(path_room)) {
        errors_seen = 1;
        log_message("ERROR: Path too long (%u characters, at most %d): %s\n", unsigned(real.size()),
                    path_room - 1, real.c_str());
        return 0;
    }
    char dir[path_room];
    memcpy(dir, real.c_str(), real.size() + 1);
    directory_part(dir);

    int64_t now = os_time_now();
    char temp_path[path_room];
    char first_name[32];
    temp_name(first_name, sizeof first_name, now);
    if (!join_path(temp_path, path_room, dir, first_name)) {
        errors_seen = 1;
        log_message("ERROR: Temporary file path too long for file: %s\n", path);
        return 0;
    }

    open_files files;
    files.temp_path = temp_path;
    if (!os_open_read(real.c_str(), &files.src)) {
        uint32_t code = os_last_error();
        announce(path, search_text, replace_text, dir, temp_path);
        errors_seen = 1;
        log_message("ERROR: Unable to open src file: %s\n", path);
        log_message("ERROR: %s: %s\n", path, os_error_text(code).c_str());
        return 0;
    }
    os_stat before;
    if (!os_fstat(files.src, &before) || !before.is_regular) {
        uint32_t code = os_last_error();
        files.abandon();
        announce(path, search_text, replace_text, dir, temp_path);
        if (!before.is_regular) return fail_plain("Not a regular file, left alone", path);
        return fail("Unable to read src file", path, code);
    }

    line_stream s;
    line_setup(s, search_text, strlen(search_text), replace_text, strlen(replace_text));
    text_reader reader;
    reader.f = files.src;
    bool found = false;
    copy_result scan = has_occurrence(reader, s, before.size, &found);
    if (scan != copy_ok || !found) {
        uint32_t code = os_last_error();
        files.abandon();
        announce(path, search_text, replace_text, dir, temp_path);
        if (scan == copy_read_error) return fail("Unable to read src file", path, code);
        if (scan == copy_runaway)
            return fail_plain(
                "Replacement would never end (the replacement text brings the search text back, or a line grows without bound); file not changed",
                path);
        log_message("INFO:  Successfully replaced all occurrences of '%s' with '%s' for file %s.",
                    search_text, replace_text, path);
        return 1;
    }

    if (before.read_only) {
        files.abandon();
        announce(path, search_text, replace_text, dir, temp_path);
        return fail_plain("File is read-only; not changed", path);
    }

    uint32_t code = 0;
    if (!create_temp(dir, now, temp_path, &files.temp, &code)) {
        files.abandon();
        announce(path, search_text, replace_text, dir, temp_path);
        errors_seen = 1;
        log_message("ERROR: Unable to open temp file: %s\n", temp_path);
        if (code)
            log_message("ERROR: %s: %s, for file %s\n", temp_path, os_error_text(code).c_str(),
                        path);
        return 0;
    }
    announce(path, search_text, replace_text, dir, temp_path);

    // The copy.
    bool changed = false;
    text_writer writer;
    writer.f = files.temp;
    reader.held_cr = false;
    if (!os_rewind(files.src)) {
        code = os_last_error();
        files.abandon();
        return fail("Unable to read src file", path, code);
    }
    copy_result copy = direct_copy_applies(s) ? copy_direct(files.src, s, writer, &changed)
                                              : copy_through(reader, s, &writer, &changed);
    if (copy != copy_ok) {
        code = os_last_error();
        files.abandon();
        if (copy == copy_read_error) return fail("Unable to read src file", path, code);
        if (copy == copy_write_error)
            return fail_temp("Unable to write temp file", temp_path, path, code);
        return fail_plain(
            "Replacement would never end (the replacement text brings the search text back, or a line grows without bound); file not changed",
            path);
    }
    if (!changed) {  // nothing to swap in after all
        files.abandon();
        log_message("INFO:  Successfully replaced all occurrences of '%s' with '%s' for file %s.",
                    search_text, replace_text, path);
        return 1;
    }
    if (!os_copy_attributes(files.temp, temp_path, before)) {
        code = os_last_error();
        files.abandon();
        return fail_temp("Unable to give the temp file the file's permissions", temp_path, path,
                         code);
    }
    if (!os_sync(files.temp)) {
        code = os_last_error();
        files.abandon();
        return fail_temp("Unable to write temp file to the disk", temp_path, path, code);
    }
    os_close(&files.src);
    if (rewrite_before_swap_hook) rewrite_before_swap_hook(real.c_str());

    // The time is read before the swap; without it the file is not swapped.
    int64_t saved = 0;
    if (!get_set_ftime(real.c_str(), &saved, 0)) {
        files.abandon();
        return fail_plain("Last-write time could not be read; file not changed", path);
    }
    // A change made by someone else while the copy ran is never overwritten.
    os_stat now_st;
    if (!os_stat_path(real.c_str(), &now_st, 1) || now_st.size != before.size ||
        now_st.mtime != before.mtime || saved != before.mtime ||
        (now_st.id.index != 0 && before.id.index != 0 && now_st.id != before.id)) {
        files.abandon();
        return fail_plain("File changed while it was being rewritten; left as it is", path);
    }
    // The temporary file gets the time first, so the swapped-in file has it from the start.
    if (!os_set_mtime(files.temp, saved)) {
        code = os_last_error();
        files.abandon();
        return fail_temp("Unable to set the temp file's time", temp_path, path, code);
    }
    if (!os_close(&files.temp)) {
        code = os_last_error();
        os_remove(temp_path);
        return fail_temp("Unable to close temp file", temp_path, path, code);
    }
    if (!os_replace(temp_path, real.c_str())) {
        code = os_last_error();
        os_remove(temp_path);
        return fail("Unable to put the rewritten file in place; file not changed", path, code);
    }
    get_set_ftime(real.c_str(), &saved, 1);
    log_message("INFO:  Successfully replaced all occurrences of '%s' with '%s' for file %s.",
                search_text, replace_text, path);
    return 1;
}
