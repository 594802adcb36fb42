// The text of one file through the line replacement, in large blocks: the search for a first
// occurrence, and the copy of the rewritten text to another file. The file is read as a Windows
// text stream reads it (CR LF arrives as LF; every other byte, NUL and Ctrl-Z included, arrives
// as it is) and written as a text stream writes it (LF is stored as CR LF). Memory stays
// bounded whatever the file's size. Safe on any thread: each thread has blocks of its own.
#pragma once

#include <atomic>
#include <cstdint>

#include <string>
#include <vector>

#include "engine/content_hash.h"
#include "engine/encoding.h"
#include "engine/line_stream.h"
#include "platform/os.h"

enum copy_result {
    copy_ok,
    copy_read_error,
    copy_write_error,
    copy_runaway,
    copy_cancelled,
    copy_encoding_changed,  // the watch stopped it: the file is not what the copy took it for
};

// --- each file in its own encoding ------------------------------------------------------------
// How the copy reads, searches and writes one file once its encoding is taken as known. UTF-8
// (with or without BOM), a binary file taken byte for byte and a single-byte legacy code page
// go through the raw bytes, with the texts as that encoding stores them. UTF-16 and a
// double-byte code page go through their code units: each unit (a UTF-16 code unit, or a
// character of the code page: a byte, or lead and trail byte as lead * 256 + trail) stands as
// UTF-8 would store a code point of that value. That form is self-synchronising as UTF-8 is (a
// text in it is only ever found where a unit starts, so matches fall on unit boundaries), CR and
// LF are the bytes 0D and 0A and no other unit holds those bytes: the text view, the lines and
// the line-end rule then work on it as they do on bytes, in the file's own code units.
struct text_form {
    text_encoding encoding = enc_utf8;   // what the file is taken for
    uint32_t code_page = 0;              // the legacy code page
    const dbcs_table *legacy = nullptr;  // its byte classes
    bool units = false;                  // read and written through the code units
    std::string search, replace;         // the texts as the copy searches and writes them
    bool search_exact = true;   // false: the encoding cannot hold the search text: no occurrence
    bool replace_exact = true;  // false: the encoding cannot hold the replacement
    // (enc_utf8 only) a file found to be in the legacy code page would need other texts or
    // other boundaries: the texts differ there, or the code page is a double-byte one.
    bool legacy_differs = true;
};
// The form of a file taken for e, with the program's texts (UTF-8) in it.
void text_form_begin(text_form *f, text_encoding e, const text_setup &setup,
                     const std::string &search, const std::string &replace);
// Bytes in the form of f (whole units) as the file stores them.
std::string text_form_bytes(const text_form &f, const std::string &form_text);

// What the scan and the copy watch for in the raw bytes they read: that the file is what the
// form takes it for (encoding_check), from its start.
struct text_watch {
    bool watching = false;     // false: nothing is looked at
    bool decide = false;       // the first block decides the encoding (detect_encoding)
    bool full = true;          // every check; else only NUL bytes are looked for
    bool legacy_stops = true;  // a UTF-8 file found to be in the legacy code page stops the copy
    bool binary_stops = true;  // a NUL outside UTF-16 stops it (else the bytes go on as they are)
    bool fault_stops = true;   // a fault stops it (else it is noted, and nothing more is looked at)
    const dbcs_table *legacy = nullptr;
    encoding_check check;  // check.verdict and check.fault say what the file is
};
// The watch of a copy (copy true) or scan of a file in form f: the scan of the first attempt
// (decide) lets the first block say the encoding, and looks only at what decides which texts to
// search; the copy looks at everything. begun: the encoding the scan found (for a copy).
text_watch text_watch_for(const text_form &f, const text_setup &setup, bool copy, bool decide,
                          text_encoding begun);
// What the watch knows of the file: its encoding as far as it was read.
inline text_encoding watched_encoding(const text_watch &w) { return w.check.verdict; }

// Does the file src, read from its start, hold the search text anywhere in a line? size is the
// file's size when it was opened. *held: when the occurrence was found in the first block and
// the copy can start from it, that block's length (the thread's read block still holds it and
// src stands just after it); 0 otherwise. watch (if given) is fed every block read; form (if
// given, for a file read through its code units) says how. whole (if given): on entry, the
// length of the whole file where an earlier read left it in the read block (src then stands at
// its end; 0: src stands at its start); on return, the same for this scan, so that the file
// is not read again when it is scanned in another encoding, or copied.
copy_result text_has_occurrence(const os_file &src, line_stream &s, uint64_t size, bool *found,
                                size_t *held, text_watch *watch = nullptr,
                                const text_form *form = nullptr, size_t *whole = nullptr);

// Writes the rewritten text of src to dst: the held bytes of its start that the search left in
// the thread's read block first (text_has_occurrence's held, or for a copy that does not copy
// directly, its whole), then the rest read from where src stands. *changed tells
// whether there was a replacement. Stops with copy_cancelled between two blocks once cancel (if
// given) is raised. With reserve, each write is given its disk space first (os_reserve). watch
// and form as for text_has_occurrence. With hash given, every byte written is fed to it
// (content_hash.h: what the undo checks a file against later).
copy_result text_copy_rewritten(const os_file &src, const os_file &dst, line_stream &s,
                                bool *changed, const std::atomic<int> *cancel, size_t held = 0,
                                bool reserve = false, text_watch *watch = nullptr,
                                const text_form *form = nullptr, content_hash *hash = nullptr);

// Whether the copy of a file read as raw bytes (not through its code units) replaces each
// occurrence where it stands in them, without taking the text apart into lines: the search
// text holds no CR or LF and no replacement can form a new occurrence with the text around it.
bool text_copies_directly(const line_stream &s);

// A changed line as the count below finds it: its number (from 1) and where it starts in the
// file (0 for the first line: before the BOM, if any).
struct changed_line_at {
    uint64_t number = 0;
    uint64_t offset = 0;
};
// For a file that text_copies_directly: counts, without writing anything, the replacements the
// copy would make in src (read from where it stands, at its start), and notes the first
// changed lines (at most lines_wanted). The watch and the runaway guard as for the copy;
// copy_cancelled once cancel (if given) is raised. *held (if given): as for
// text_copy_rewritten, the first block that text_has_occurrence left in the read block (src
// then stands just after it); on return, its length if nothing was read after it (it is still
// there), else 0.
copy_result text_count_direct(const os_file &src, const line_stream &s, text_watch *watch,
                              const std::atomic<int> *cancel, size_t lines_wanted,
                              uint64_t *replacements, std::vector<changed_line_at> *lines,
                              size_t *held = nullptr);

// A file's scan in its own encoding (text_scan). Not to be copied: s points into form.
struct encoded_scan {
    text_form form;    // what the file was found to be, with the texts in it
    line_stream s;     // set up with form's texts (the replacement empty where form cannot hold it)
    text_watch watch;  // the scan's: watch.check.fault is set when the bytes would not survive
    bool found = false;
    size_t held = 0;           // as text_has_occurrence gives it
    size_t whole = 0;          // as text_has_occurrence gives it (src then stands at the end)
    bool binary_left = false;  // a binary file, to be left alone
};
// Scans src, which stands at its start, for the search text in the file's encoding, taking it
// first for e (enc_utf8: the first block decides). Where the watch finds the file to be another,
// it is scanned again from its start in the form of that one.
copy_result text_scan(const os_file &src, uint64_t size, const text_setup &setup,
                      const std::string &search, const std::string &replace, text_encoding e,
                      encoded_scan *out);

// What the line-end rule of a rewritten file (text_copy.cpp, "line ends") carries from one
// block to the next.
struct line_ends {
    bool cr_held = false;   // the text view: a CR ended the last block, the next says what it is
    bool after_cr = false;  // the raw bytes: the last byte put out was a CR
};

// The text view of a file as the copy reads it (CR LF as LF), block by block, for a preview.
struct text_view_source {
    const os_file *f = nullptr;
    text_watch *watch = nullptr;
    const text_form *form = nullptr;  // read through its code units when form->units
    std::string view;                 // the last block's text
    std::string wide;                 // (units) the block in the form of the code units
    line_ends ends;
    bool begun = false;               // the first block was read
    std::string bom;                  // the BOM the file starts with: no part of its text
    int unit_have = 0;                // (units) bytes of a unit held from the last block
    unsigned char unit_held = 0;
    bool ended = false;
    size_t piece = 0;                 // bytes read at a time (0: the copy's whole block)
    const char *given = nullptr;  // bytes of the file taken before any read (src stands after
    size_t given_len = 0;         // them), a piece at a time
    size_t only_block = 0;  // the first block's length, while no other has been read
};
// Reads the next block's view into src.view: 1 (an empty view at the end of the file), 0 on a
// read error, -1 when the watch stopped it.
int text_view_read(text_view_source &src);

// The thread's read block, where the bytes that a scan left there (held, whole) stand.
const char *text_read_block();

// Has src take the first n bytes of the file from the read block, where a scan left them (src
// stands after them), before it reads any. n 0: none.
inline void text_view_take_held(text_view_source &src, size_t n) {
    src.given = n ? text_read_block() : nullptr;
    src.given_len = n;
}
