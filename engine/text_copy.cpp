// Blocks of a file's text through the line replacement (see text_copy.h).
#include "engine/text_copy.h"

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "engine/engine.h"

namespace {

constexpr size_t block_size = size_t(1) << 20;

bool cancelled(const std::atomic<int> *cancel) {
    return cancel && cancel->load(std::memory_order_relaxed) != 0;
}

// The block that files are read into, kept from file to file: a fresh megabyte for each file
// would cost more to clear than most files cost to read. One per thread; a file's scan and its
// copy use it one after the other. Reads go to the start of a page, and the bytes a block
// carries over to the next are put just before it (room_before of them at most): the kernel
// copies a read's bytes several times slower when they land a few bytes past where they stand
// in their page, and a plain allocation of a megabyte starts 16 bytes into a page. The figures
// are in bench/bounds.md ("Where a read lands in its page").
constexpr size_t page_size = 4096;

char *read_block(size_t room_before) {
    thread_local std::unique_ptr<char[]> block;
    thread_local size_t front = 0;  // the room before the page-aligned start, at least
    if (!block || front < room_before) {
        front = room_before;
        block.reset(new char[front + page_size + block_size]);
    }
    const uintptr_t start = reinterpret_cast<uintptr_t>(block.get()) + front;
    return reinterpret_cast<char *>((start + page_size - 1) & ~uintptr_t(page_size - 1));
}

// Reads a file in large blocks and hands out its text-stream view: CR LF becomes LF.
struct text_reader {
    explicit text_reader(const os_file &src) : f(src) {}
    const os_file &f;
    std::string view;
    bool held_cr = false;  // a CR at the end of the last block, waiting for its next byte
};

// Reads the next block's view into r.view. Returns 1 with an empty view at the end of the
// file, 0 on a read error.
int read_view(text_reader &r) {
    r.view.clear();
    char *raw = read_block(0);
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
// Every 2 MiB written, the disk is asked to start on them: a large file is then mostly on the
// disk by the time its flush comes, instead of all of it waiting for that flush.
// The buffer is the thread's own and kept from file to file, like the read block: a fresh
// string for each file grows by doubling and copies its megabyte about twice over on the way.
struct text_writer {
    text_writer(const os_file &dst, bool reserve_space)
        : f(dst), buf(write_block()), reserve(reserve_space) {
        buf.clear();
    }
    const os_file &f;
    std::string &buf;
    bool reserve;  // each write is given its disk space first
    bool failed = false;
    uint64_t unstarted = 0;  // bytes written since the disk was last asked to start on them
    uint64_t written = 0;    // bytes written so far: the file's size
    content_hash *hash = nullptr;  // fed every byte written, when given

    static std::string &write_block() {
        thread_local std::string block;
        if (block.capacity() < 2 * block_size) block.reserve(2 * block_size);
        return block;
    }
};

constexpr uint64_t start_sync_every = uint64_t(2) << 20;

int flush_writer(text_writer &w) {
    if (w.failed) return 0;
    if (w.buf.empty()) return 1;
    if (w.reserve) os_reserve(w.f, w.written, w.buf.size());
    if (!os_write_all(w.f, w.buf.data(), w.buf.size())) {
        w.failed = true;
        return 0;
    }
    w.written += w.buf.size();
    if (w.hash) hash_update(*w.hash, w.buf.data(), w.buf.size());
    w.unstarted += w.buf.size();
    if (w.unstarted >= start_sync_every) {
        os_start_sync(w.f);
        w.unstarted = 0;
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

// A block of raw bytes as copy_direct cuts it into runs: the next LF in it is found once,
// however many runs (one per occurrence) it lies beyond.
struct raw_block {
    const char *begin;
    const char *end;
    const char *lf;        // the next LF from the runs appended so far on, or end
    bool cr_before_begin;  // the raw byte just before begin was a CR
};

// Appends the raw bytes [p, stop) of the block to the output as the text stream gives them
// back: a LF gains the CR it lacks; CR LF, a lone CR and every other byte stay as they are.
// *line_growth starts again at every line end.
void put_raw(text_writer &w, raw_block &b, const char *p, const char *stop, int64_t *line_growth) {
    const char *run = p;  // bytes not yet appended start here
    while (b.lf < stop) {
        *line_growth = 0;
        const bool cr_before = b.lf > b.begin ? b.lf[-1] == '\r' : b.cr_before_begin;
        if (!cr_before) {
            w.buf.append(run, size_t(b.lf - run));
            w.buf.push_back('\r');
            run = b.lf;
        }
        const char *next = b.lf + 1;
        const void *lf = memchr(next, '\n', size_t(b.end - next));
        b.lf = lf ? static_cast<const char *>(lf) : b.end;
    }
    w.buf.append(run, size_t(stop - run));
}

// The copy for the case direct_copy_applies: blocks of raw bytes, each occurrence replaced
// where it stands (the replacement's LFs written as CR LF), the rest as put_raw has it. The
// runaway guard counts each line's growth as the line replacement does.
copy_result copy_direct(const os_file &f, const line_stream &s, text_writer &w, bool *changed,
                        const std::atomic<int> *cancel, size_t held) {
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
    char *const block = read_block(m);
    size_t kept = 0;  // bytes carried over, before block: they may begin an occurrence
    for (;;) {
        if (cancelled(cancel)) return copy_cancelled;
        size_t got = held;  // the first block may be read already
        held = 0;
        if (got == 0 && !os_read(f, block, block_size, &got)) return copy_read_error;
        char *const buf = block - kept;
        const size_t have = kept + got;
        const bool last = got == 0;
        const void *first_lf = memchr(buf, '\n', have);
        raw_block b{buf, buf + have, first_lf ? static_cast<const char *>(first_lf) : buf + have,
                    after_cr};
        size_t pos = 0;
        for (;;) {
            size_t at = find_search(s, buf + pos, have - pos);
            if (at == SIZE_MAX) break;
            at += pos;
            put_raw(w, b, buf + pos, buf + at, &line_growth);
            line_growth += step;
            if (line_growth > int64_t(runaway_growth_limit)) return copy_runaway;
            w.buf += replacement;
            *changed = true;
            pos = at + m;
            if (w.buf.size() >= block_size && !flush_writer(w)) return copy_write_error;
        }
        // Without a whole occurrence in them, the last m - 1 bytes may still begin one.
        size_t settled = last ? have : (have > m - 1 ? have - (m - 1) : 0);
        if (settled < pos) settled = pos;
        put_raw(w, b, buf + pos, buf + settled, &line_growth);
        // The last raw byte out (an occurrence's last byte is never a CR) comes before the next.
        if (settled > 0) after_cr = buf[settled - 1] == '\r';
        if (w.buf.size() >= block_size && !flush_writer(w)) return copy_write_error;
        if (last) break;
        kept = have - settled;
        memmove(block - kept, buf + settled, kept);
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
copy_result copy_through(text_reader &r, line_stream &s, text_writer *w, bool *changed,
                         const std::atomic<int> *cancel) {
    *changed = false;
    bool in_line = false;
    line_begin(s);
    for (;;) {
        if (cancelled(cancel)) return copy_cancelled;
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

}  // namespace

// Does the file hold the search text anywhere in a line? Without CR or LF in the search text
// the raw bytes can be searched directly: CR LF pairs cannot lie inside such an occurrence.
// size is the file's size when it was opened: a short read that reaches it is the end, without
// asking again.
copy_result text_has_occurrence(const os_file &f, line_stream &s, uint64_t size, bool *found,
                                size_t *held) {
    *held = 0;
    if (search_holds_line_end(s)) {
        text_reader r(f);
        return copy_through(r, s, nullptr, found, nullptr);
    }
    *found = false;
    char *const block = read_block(s.search_len);
    size_t kept = 0;  // bytes carried over, before block: an occurrence may straddle
    uint64_t total = 0;
    for (;;) {
        size_t got = 0;
        if (!os_read(f, block, block_size, &got)) return copy_read_error;
        if (got == 0) return copy_ok;
        total += got;
        char *const buf = block - kept;
        const size_t have = kept + got;
        if (find_search(s, buf, have) != SIZE_MAX) {
            *found = true;
            // The copy starts from this block rather than read it again.
            if (total == got && direct_copy_applies(s)) *held = got;
            return copy_ok;
        }
        if (got < block_size && total == size) return copy_ok;
        kept = have < s.search_len - 1 ? have : s.search_len - 1;
        memmove(block - kept, buf + have - kept, kept);
    }
}

copy_result text_copy_rewritten(const os_file &src, const os_file &dst, line_stream &s,
                                bool *changed, const std::atomic<int> *cancel, size_t held,
                                bool reserve, content_hash *hash) {
    text_writer writer(dst, reserve);
    writer.hash = hash;
    if (direct_copy_applies(s)) return copy_direct(src, s, writer, changed, cancel, held);
    text_reader reader(src);
    return copy_through(reader, s, &writer, changed, cancel);
}
