// Blocks of a file's text through the line replacement (see text_copy.h).
#include "engine/text_copy.h"

#include <stdint.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
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

char *aligned_start(char *block, size_t front) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(block) + front;
    return reinterpret_cast<char *>((start + page_size - 1) & ~uintptr_t(page_size - 1));
}

char *read_block(size_t room_before) {
    thread_local std::unique_ptr<char[]> block;
    thread_local size_t front = 0;  // the room before the page-aligned start, at least
    if (!block || front < room_before) {
        std::unique_ptr<char[]> larger(new char[room_before + page_size + block_size]);
        // What a read left in the block (held for the next reader) moves with it.
        if (block) memcpy(aligned_start(larger.get(), room_before), aligned_start(block.get(), front),
                          block_size);
        front = room_before;
        block = std::move(larger);
    }
    return aligned_start(block.get(), front);
}

// Reads a file's raw bytes a block at a time into the thread's read block, with the last bytes
// of the block before carried over in front of it (an occurrence may straddle two blocks), and
// feeds each block to the watch. A reader may start from a first block that the search read
// already and left in the read block (held): the copy then takes it as it stands instead of
// reading it again.
struct block_reader {
    block_reader(const os_file &file, text_watch *w, size_t carry, size_t held_first = 0)
        : f(file), watch(w), block(read_block(carry)), held(held_first) {}
    const os_file &f;
    text_watch *watch;
    char *const block;
    size_t held;         // the first block's length where it is in the read block already
    size_t kept = 0;     // bytes carried over, just before block
    size_t got = 0;      // the bytes of the last read; 0 at the end of the file
    uint64_t total = 0;  // bytes read so far
    // The carried bytes and the last read, in one run.
    char *data() const { return block - kept; }
    size_t have() const { return kept + got; }
    // Reads the next block. whole_at: the file's size when known (a read that reaches it lets
    // the watch judge the file as whole). copy_encoding_changed where the watch stops the copy.
    copy_result next(uint64_t whole_at = UINT64_MAX);
    // Carries the bytes of the run from settled on over to the next block.
    void carry_from(size_t settled) {
        const char *from = data() + settled;
        kept = have() - settled;
        memmove(block - kept, from, kept);
    }
};

// --- the form of the code units (text_copy.h) ------------------------------------------------

// Writes the unit of value v (at most 0xFFFF) at o as UTF-8 stores a code point of that value;
// returns the end.
char *form_unit_at(char *o, uint32_t v) {
    if (v < 0x80) {
        *o++ = char(v);
    } else if (v < 0x800) {
        *o++ = char(0xC0 | (v >> 6));
        *o++ = char(0x80 | (v & 0x3F));
    } else {
        *o++ = char(0xE0 | (v >> 12));
        *o++ = char(0x80 | ((v >> 6) & 0x3F));
        *o++ = char(0x80 | (v & 0x3F));
    }
    return o;
}

// Appends the unit of value v as UTF-8 stores a code point of that value.
void put_form_unit(uint32_t v, std::string *out) {
    char unit[3];
    out->append(unit, size_t(form_unit_at(unit, v) - unit));
}

// widen for UTF-16: a unit at a time, or (with SSE2) eight at a time as far as they are below
// 0x80, one byte each in the form.
void widen_utf16(bool big, int *have, unsigned char *held, const char *p, size_t n,
                 std::string *out) {
    const size_t old = out->size();
    out->resize(old + (n / 2 + 1) * 3);  // three bytes per unit at most
    char *o = &(*out)[old];
    size_t i = 0;
    auto unit = [big](unsigned char first, unsigned char second) {
        return big ? (uint32_t(first) << 8) | second : (uint32_t(second) << 8) | first;
    };
    if (*have && n > 0) {
        *have = 0;
        o = form_unit_at(o, unit(*held, static_cast<unsigned char>(p[0])));
        i = 1;
    }
#if defined(__SSE2__)
    const __m128i high = _mm_set1_epi16(short(0xFF80)), zero = _mm_setzero_si128();
#endif
    while (n - i >= 2) {
#if defined(__SSE2__)
        if (n - i >= 16) {
            // The next eight units packed to a byte each, kept as far as they are below 0x80.
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            if (big) v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
            const unsigned plain =
                unsigned(_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, high), zero)));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(o), _mm_packus_epi16(v, v));
            if (plain == 0xFFFF) {
                o += 8;
                i += 16;
                continue;
            }
            const unsigned before = unsigned(__builtin_ctz(~plain)) / 2;  // units below 0x80
            o += before;
            i += 2 * size_t(before);
        }
#endif
        o = form_unit_at(
            o, unit(static_cast<unsigned char>(p[i]), static_cast<unsigned char>(p[i + 1])));
        i += 2;
    }
    if (i < n) {
        *have = 1;
        *held = static_cast<unsigned char>(p[i]);
    }
    out->resize(size_t(o - out->data()));
}

// Appends a file's raw bytes p[0, n) in the form of its code units. A unit split between two
// blocks waits in *have / *held for the next one. A lead byte takes whatever byte follows it:
// a fault there is the watch's to find, and such a file is never written.
void widen(const text_form &f, int *have, unsigned char *held, const char *p, size_t n,
           std::string *out) {
    if (is_utf16(f.encoding)) return widen_utf16(is_big_endian(f.encoding), have, held, p, n, out);
    out->reserve(out->size() + n + n / 2);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t b = static_cast<unsigned char>(p[i]);
        if (*have) {
            *have = 0;
            put_form_unit((uint32_t(*held) << 8) | b, out);
        } else if (f.legacy->lead[b]) {
            *have = 1;
            *held = static_cast<unsigned char>(b);
        } else {
            put_form_unit(b, out);
        }
    }
}

// Appends the unit of value v as the file stores it.
void put_file_unit(const text_form &f, uint32_t v, std::string *out) {
    if (is_utf16(f.encoding)) {
        const char hi = char(v >> 8), lo = char(v & 0xFF);
        out->push_back(is_big_endian(f.encoding) ? hi : lo);
        out->push_back(is_big_endian(f.encoding) ? lo : hi);
    } else {
        if (v >= 0x100) out->push_back(char(v >> 8));
        out->push_back(char(v & 0xFF));
    }
}

// The units of the form text p[0, n), each given to unit(value); a unit split between two
// calls waits in *value / *need.
template <typename Unit>
void each_unit(const char *p, size_t n, uint32_t *value, int *need, Unit unit) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t b = static_cast<unsigned char>(p[i]);
        if (*need > 0) {
            *value = (*value << 6) | (b & 0x3F);
            if (--*need == 0) unit(*value);
        } else if (b < 0x80) {
            unit(b);
        } else if (b < 0xE0) {
            *value = b & 0x1F;
            *need = 1;
        } else {
            *value = b & 0x0F;
            *need = 2;
        }
    }
}

// --- the watch (text_copy.h) ------------------------------------------------------------------

// After the check found the file other than begun: true when the copy may go on regardless.
bool watch_goes_on(text_watch &w) {
    const encoding_check &c = w.check;
    if (c.fault != fault_none) {
        if (w.fault_stops) return false;
        w.watching = false;  // noted; the rest of the file is not looked at
        return true;
    }
    if (c.verdict == enc_binary && !w.binary_stops) {
        w.watching = false;  // taken byte for byte from here on
        return true;
    }
    // The same texts and boundaries either way: noted, and the watch goes on for NUL bytes.
    return c.verdict == enc_legacy && c.begun == enc_utf8 && !w.legacy_stops;
}

// Feeds the raw bytes p[0, n) read next (whole: they are all of the file). false: the copy must
// stop, the watch tells why.
inline bool watch_feed(text_watch *w, const char *p, size_t n, bool whole) {
    if (!w || !w->watching) return true;
    if (w->decide) {
        w->decide = false;
        // Where only NUL bytes matter, the start of the block says what the whole one would:
        // a BOM, or NULs in a UTF-16 pattern (a NUL after it is the per-block check's to find).
        const size_t sniff = w->full ? n : std::min(n, encoding_sniff_bytes);
        text_encoding v = detect_encoding(p, sniff, whole && sniff == n);
        if (v == enc_legacy && !w->legacy_stops) v = enc_utf8;  // the check notes it
        encoding_check_begin(w->check, v, *w->legacy);
        if (v != enc_utf8 && v != enc_utf8_bom) return watch_goes_on(*w);
    }
    if (!w->full) {
        // Only a NUL matters here: a UTF-8 file (one with a BOM holds NULs as text).
        if (w->check.begun == enc_utf8_bom || !memchr(p, 0, n)) return true;
        w->check.verdict = enc_binary;
        return watch_goes_on(*w);
    }
    return encoding_check_feed(w->check, p, n) || watch_goes_on(*w);
}

inline bool watch_end(text_watch *w) {
    if (!w || !w->watching || !w->full) return true;
    return encoding_check_end(w->check) || watch_goes_on(*w);
}

// The BOM the file starts with, in its first block p[0, n): no part of its text, so it is never
// searched, and the copy writes it back as it is. It is the BOM of the encoding the watch began
// with (read after the watch was fed the block), or without a watch the form's.
size_t leading_bom(const text_watch *w, const text_form *form, const char *p, size_t n) {
    const text_encoding e = w ? w->check.begun : form ? form->encoding : enc_utf8;
    const std::string_view bom = bom_bytes(e);
    return !bom.empty() && n >= bom.size() && memcmp(p, bom.data(), bom.size()) == 0 ? bom.size()
                                                                                      : 0;
}

copy_result block_reader::next(uint64_t whole_at) {
    got = held;
    held = 0;
    if (got == 0 && !os_read(f, block, block_size, &got)) return copy_read_error;
    total += got;
    if (got == 0) return watch_end(watch) ? copy_ok : copy_encoding_changed;
    return watch_feed(watch, block, got, total == whole_at) ? copy_ok : copy_encoding_changed;
}

}  // namespace

void text_form_begin(text_form *f, text_encoding e, const text_setup &setup,
                     const std::string &search, const std::string &replace) {
    *f = text_form();
    f->encoding = e;
    f->code_page = setup.legacy_code_page;
    f->legacy = &setup.legacy;
    f->units = is_utf16(e) || (e == enc_legacy && setup.legacy.double_byte);
    if (e == enc_utf8 || e == enc_utf8_bom || e == enc_binary) {
        f->search = search;
        f->replace = replace;
        bool ascii = true;
        for (const std::string *t : {&search, &replace})
            for (char c : *t) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        f->legacy_differs = !ascii || !setup.ascii_same || setup.legacy.double_byte;
        return;
    }
    // A text in the file's encoding, then (units) in the form of its code units; false where
    // the encoding cannot hold it exactly.
    auto in_form = [&](const std::string &text, std::string *out) {
        std::string bytes;
        const bool exact = encode_text(text, e, f->code_page, &bytes) == encode_exact;
        if (f->units) {
            int have = 0;
            unsigned char held = 0;
            widen(*f, &have, &held, bytes.data(), bytes.size(), out);
        } else {
            *out = std::move(bytes);
        }
        return exact;
    };
    f->search_exact = in_form(search, &f->search);
    f->replace_exact = in_form(replace, &f->replace);
}

std::string text_form_bytes(const text_form &f, const std::string &form_text) {
    if (!f.units) return form_text;
    std::string out;
    uint32_t value = 0;
    int need = 0;
    each_unit(form_text.data(), form_text.size(), &value, &need,
              [&](uint32_t v) { put_file_unit(f, v, &out); });
    return out;
}

text_watch text_watch_for(const text_form &f, const text_setup &setup, bool copy, bool decide,
                          text_encoding begun) {
    text_watch w;
    w.legacy = &setup.legacy;
    if (f.encoding == enc_binary) return w;  // taken byte for byte
    w.watching = true;
    w.decide = decide;
    w.legacy_stops = f.encoding != enc_utf8 || f.legacy_differs;
    w.binary_stops = !(setup.include_binary && f.encoding == enc_utf8);
    w.fault_stops = copy;
    // The scan of a UTF-8 file whose texts are the same in the legacy code page looks only for
    // NUL bytes: nothing else would change what it searches for.
    w.full = copy || w.legacy_stops;
    if (!decide) encoding_check_begin(w.check, begun, setup.legacy);
    return w;
}

namespace {

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
    const text_form *form = nullptr;  // output in the form of the code units: stored as units
    uint32_t unit = 0;                // a unit of that form split between two puts
    int unit_need = 0;
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

// --- line ends --------------------------------------------------------------------------------
// Every rewritten file follows one line-end rule: it is read as a text stream reads it (CR LF
// arrives as LF) and written as one writes it (LF is stored as CR LF), so a LF without its CR
// gains one and every other byte, a lone CR included, stays as it was. Each form the copy holds a
// file's text in has its step of that rule here: the text view (read_view, put_text), the form
// of the code units (put_units) and the raw bytes of the direct copy (put_raw, stored_text).

// The view of the bytes [p, end) of one block, CR LF as LF, appended to r.view.
void read_view(text_view_source &r, const char *p, const char *end) {
    if (r.ends.cr_held) {
        r.ends.cr_held = false;
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
            r.ends.cr_held = true;  // decided by the next block
            break;
        }
        if (cr[1] != '\n') r.view.push_back('\r');
        p = cr + 1;
    }
}

// The view's text p[0, n) as the file stores it: each LF as CR LF.
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

// put_text for output in the form of the code units: stored as the file's units, a LF unit
// as CR LF.
int put_units(text_writer &w, const char *p, size_t n) {
    constexpr size_t piece = size_t(64) << 10;  // the buffer is flushed between pieces
    for (size_t at = 0; at < n; at += piece) {
        each_unit(p + at, std::min(piece, n - at), &w.unit, &w.unit_need, [&](uint32_t v) {
            if (v == '\n') put_file_unit(*w.form, '\r', &w.buf);
            put_file_unit(*w.form, v, &w.buf);
        });
        if (w.buf.size() >= block_size && !flush_writer(w)) return 0;
    }
    return 1;
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

// A text (the replacement) as the raw bytes of a rewritten file store it: LF as CR LF.
std::string stored_text(const char *p, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] == '\n') out.push_back('\r');
        out.push_back(p[i]);
    }
    return out;
}

}  // namespace

// Reads a file in large blocks and hands out its text-stream view: CR LF becomes LF.
int text_view_read(text_view_source &r) {
    r.view.clear();
    const size_t most = r.piece ? std::min(r.piece, block_size) : block_size;
    for (;;) {
        const char *raw = read_block(0);
        size_t got = 0;
        if (r.given_len > 0) {
            raw = r.given;
            got = std::min(most, r.given_len);
            r.given += got;
            r.given_len -= got;
        } else if (!os_read(*r.f, read_block(0), most, &got)) {
            return 0;
        }
        if (got > 0) r.only_block = r.begun ? 0 : got;
        if (got == 0) {
            if (!watch_end(r.watch)) return -1;
            if (r.ends.cr_held) r.view.push_back('\r');
            r.ends.cr_held = false;
            return 1;
        }
        if (!watch_feed(r.watch, raw, got, false)) return -1;
        const char *p = raw;
        const char *end = p + got;
        if (!r.begun) {
            r.begun = true;
            r.bom.assign(raw, leading_bom(r.watch, r.form, raw, got));
            p += r.bom.size();
        }
        if (r.form && r.form->units) {
            r.wide.clear();
            widen(*r.form, &r.unit_have, &r.unit_held, p, size_t(end - p), &r.wide);
            p = r.wide.data();
            end = p + r.wide.size();
        }
        if (p < end) {
            // Room for the whole view at once (a held CR may add one), rather than regrown
            // line by line as it is appended.
            r.view.reserve(r.view.size() + size_t(end - p) + 1);
            read_view(r, p, end);
        }
        // An empty view would read as the end of the file: fill it from the next block.
        if (!r.view.empty()) return 1;
    }
}

const char *text_read_block() { return read_block(0); }

namespace {

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

// The copy for the case direct_copy_applies: blocks of raw bytes, each occurrence replaced
// where it stands (the replacement's LFs written as CR LF), the rest as put_raw has it. The
// runaway guard counts each line's growth as the line replacement does.
copy_result copy_direct(const os_file &f, const line_stream &s, text_writer &w, bool *changed,
                        const std::atomic<int> *cancel, size_t held, text_watch *watch) {
    *changed = false;
    const size_t m = s.search_len;
    const std::string replacement = stored_text(s.replace, s.replace_len);
    const int64_t step = int64_t(s.replace_len) - int64_t(m);
    int64_t line_growth = 0;
    line_ends ends;
    block_reader in(f, watch, m, held);  // the carried bytes may begin an occurrence
    for (;;) {
        if (cancelled(cancel)) return copy_cancelled;
        const copy_result r = in.next();
        if (r != copy_ok) return r;
        char *const buf = in.data();
        const size_t have = in.have();
        const bool last = in.got == 0;
        const void *first_lf = memchr(buf, '\n', have);
        raw_block b{buf, buf + have, first_lf ? static_cast<const char *>(first_lf) : buf + have,
                    ends.after_cr};
        size_t pos = 0;
        if (in.got > 0 && in.total == in.got) {  // the file's BOM goes out as it is
            pos = leading_bom(watch, nullptr, buf, have);
            put_raw(w, b, buf, buf + pos, &line_growth);
        }
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
        if (settled > 0) ends.after_cr = buf[settled - 1] == '\r';
        if (w.buf.size() >= block_size && !flush_writer(w)) return copy_write_error;
        if (last) break;
        in.carry_from(settled);
    }
    return flush_writer(w) ? copy_ok : copy_write_error;
}

// How far the count below has looked for line ends in the block in hand: the LFs before
// from were seen. Line numbers are followed until the lines wanted are noted; after that only
// whether a line ended since the last occurrence (the runaway guard's growth starts again).
struct line_follow {
    const char *from;
    uint64_t number = 1;     // of the line at from
    uint64_t start = 0;      // where that line starts in the file
    bool numbering = true;   // line numbers are still wanted
    // Looks at [from, to) of a block whose first byte stands at base in the file: true when a
    // line ended in it.
    bool to(const char *to, const char *block, uint64_t base) {
        const size_t n = from < to ? size_t(to - from) : 0;
        bool ended;
        if (!numbering) {
            ended = n > 0 && memchr(from, '\n', n);
        } else if (const size_t lfs = count_lf(from, n)) {
            ended = true;
            number += lfs;
            start = base + uint64_t(last_lf(from, n) + 1 - block);
        } else {
            ended = false;
        }
        from = to;
        return ended;
    }
};

copy_result count_direct(block_reader &in, const line_stream &s, const std::atomic<int> *cancel,
                         size_t lines_wanted, uint64_t *replacements,
                         std::vector<changed_line_at> *lines) {
    text_watch *const watch = in.watch;
    const size_t m = s.search_len;
    const int64_t step = int64_t(s.replace_len) - int64_t(m);
    int64_t line_growth = 0;
    line_follow follow{nullptr};
    follow.numbering = lines_wanted > 0;
    for (;;) {
        if (cancelled(cancel)) return copy_cancelled;
        const copy_result r = in.next();
        if (r != copy_ok) return r;
        const char *const buf = in.data();
        const size_t have = in.have();
        const uint64_t base = in.total - have;  // where buf[0] stands in the file
        const bool last = in.got == 0;
        size_t pos = 0;
        if (in.got > 0 && in.total == in.got) pos = leading_bom(watch, nullptr, buf, have);
        follow.from = buf + pos;
        // Lines are followed only while they are wanted, or while the guard can be reached.
        const bool follow_lines = follow.numbering || step > 0;
        for (;;) {
            size_t at = find_search(s, buf + pos, have - pos);
            if (at == SIZE_MAX) break;
            at += pos;
            if (follow_lines && follow.to(buf + at, buf, base)) line_growth = 0;
            if (follow.numbering && (lines->empty() || lines->back().number != follow.number)) {
                lines->push_back({follow.number, follow.start});
                follow.numbering = lines->size() < lines_wanted;
            }
            line_growth += step;
            if (line_growth > int64_t(runaway_growth_limit)) return copy_runaway;
            ++*replacements;
            pos = at + m;
            follow.from = buf + pos;
        }
        if (last) break;
        // The last m - 1 bytes may still begin an occurrence: carried over to the next block.
        size_t settled = have > m - 1 ? have - (m - 1) : 0;
        if (settled < pos) settled = pos;
        if (follow_lines && follow.to(buf + settled, buf, base)) line_growth = 0;
        in.carry_from(settled);
    }
    return copy_ok;
}

// Moves the final part of the line's output to the writer (or drops it when w is null).
int drain(line_stream &s, text_writer *w, bool all) {
    size_t n = all ? s.out.size() : line_final_bytes(s);
    if (n == 0) return 1;
    if (w && !(w->form ? put_units(*w, s.out.data(), n) : put_text(*w, s.out.data(), n)))
        return 0;
    s.out.erase(0, n);
    return 1;
}

// Runs the whole file through the line replacement. With w null nothing is written and the
// copy stops at the first replacement (*changed tells whether there was one).
copy_result copy_through(text_view_source &r, line_stream &s, text_writer *w, bool *changed,
                         const std::atomic<int> *cancel) {
    *changed = false;
    bool in_line = false;
    line_begin(s);
    for (;;) {
        if (cancelled(cancel)) return copy_cancelled;
        const int read = text_view_read(r);
        if (read < 0) return copy_encoding_changed;
        if (read == 0) return copy_read_error;
        if (!r.bom.empty()) {  // the file's start, before any of its text
            if (w) w->buf += r.bom;
            r.bom.clear();
        }
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
                                size_t *held, text_watch *watch, const text_form *form,
                                size_t *whole) {
    *held = 0;
    const size_t had = whole ? *whole : 0;
    if (whole) *whole = 0;
    // The whole file is in the read block when its first block was all of it and no other
    // has been read since.
    auto read_whole = [&](size_t only) {
        if (whole) *whole = only > 0 && only == size ? only : 0;
    };
    if (search_holds_line_end(s) || (form && form->units)) {
        text_view_source r;
        r.f = &f;
        r.watch = watch;
        r.form = form;
        text_view_take_held(r, had);
        const copy_result c = copy_through(r, s, nullptr, found, nullptr);
        read_whole(r.only_block);
        return c;
    }
    *found = false;
    block_reader in(f, watch, s.search_len, had);
    for (;;) {
        const copy_result r = in.next(size);
        if (in.got > 0) read_whole(in.total == in.got ? in.got : 0);
        if (r != copy_ok || in.got == 0) return r;
        const size_t bom = in.total == in.got ? leading_bom(watch, form, in.data(), in.have()) : 0;
        if (find_search(s, in.data() + bom, in.have() - bom) != SIZE_MAX) {
            *found = true;
            // The copy starts from this block rather than read it again.
            if (in.total == in.got && direct_copy_applies(s)) *held = in.got;
            return copy_ok;
        }
        if (in.got < block_size && in.total == size)
            return watch_end(watch) ? copy_ok : copy_encoding_changed;
        in.carry_from(in.have() - std::min(in.have(), s.search_len - 1));
    }
}

bool text_copies_directly(const line_stream &s) { return direct_copy_applies(s); }

copy_result text_count_direct(const os_file &src, const line_stream &s, text_watch *watch,
                              const std::atomic<int> *cancel, size_t lines_wanted,
                              uint64_t *replacements, std::vector<changed_line_at> *lines,
                              size_t *held) {
    *replacements = 0;
    lines->clear();
    const size_t first = held ? *held : 0;
    block_reader in(src, watch, s.search_len, first);
    const copy_result r = count_direct(in, s, cancel, lines_wanted, replacements, lines);
    // The first block is still in the read block where nothing was read after it.
    if (held) *held = first > 0 && in.total == first ? first : 0;
    return r;
}

copy_result text_scan(const os_file &src, uint64_t size, const text_setup &setup,
                      const std::string &search, const std::string &replace, text_encoding e,
                      encoded_scan *out) {
    // Each attempt takes the file for what the one before found: UTF-8, then UTF-16, legacy or
    // binary; legacy, then binary. So a few attempts are all there can be.
    size_t whole = 0;  // the file, read whole by the last attempt and still in the read block
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0 && whole == 0 && !os_rewind(src)) return copy_read_error;
        out->found = false;
        out->held = 0;
        text_form &f = out->form;
        text_form_begin(&f, e, setup, search, replace);
        out->watch = text_watch_for(f, setup, false, e == enc_utf8, e);
        if (!f.search_exact) return copy_ok;  // the text cannot occur in this encoding
        // (A replacement the encoding cannot hold is empty: the scan only looks for the text.)
        line_setup(out->s, f.search.data(), f.search.size(), f.replace.data(), f.replace.size());
        const copy_result r = text_has_occurrence(src, out->s, size, &out->found, &out->held,
                                                  &out->watch, f.units ? &f : nullptr, &whole);
        out->whole = whole;
        if (r != copy_encoding_changed) return r;
        e = watched_encoding(out->watch);
        if (e == enc_binary && !setup.include_binary) {
            out->found = false;
            out->binary_left = true;
            out->form.encoding = enc_binary;
            return copy_ok;
        }
    }
    return copy_read_error;
}

copy_result text_copy_rewritten(const os_file &src, const os_file &dst, line_stream &s,
                                bool *changed, const std::atomic<int> *cancel, size_t held,
                                bool reserve, text_watch *watch, const text_form *form,
                                content_hash *hash) {
    text_writer writer(dst, reserve);
    writer.hash = hash;
    if (form && form->units) writer.form = form;
    if (!writer.form && direct_copy_applies(s))
        return copy_direct(src, s, writer, changed, cancel, held, watch);
    text_view_source reader;
    reader.f = &src;
    reader.watch = watch;
    reader.form = form;
    text_view_take_held(reader, held);
    return copy_through(reader, s, &writer, changed, cancel);
}
