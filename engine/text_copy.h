// The text of one file through the line replacement, in large blocks: the search for a first
// occurrence, and the copy of the rewritten text to another file. The file is read as a Windows
// text stream reads it (CR LF arrives as LF; every other byte, NUL and Ctrl-Z included, arrives
// as it is) and written as a text stream writes it (LF is stored as CR LF). Memory stays
// bounded whatever the file's size. Safe on any thread: each thread has blocks of its own.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/content_hash.h"
#include "engine/line_stream.h"
#include "platform/os.h"

enum copy_result { copy_ok, copy_read_error, copy_write_error, copy_runaway, copy_cancelled };

// Does the file src, read from its start, hold the search text anywhere in a line? size is the
// file's size when it was opened. *held: when the occurrence was found in the first block and
// the copy can start from it, that block's length (the thread's read block still holds it and
// src stands just after it); 0 otherwise.
copy_result text_has_occurrence(const os_file &src, line_stream &s, uint64_t size, bool *found,
                                size_t *held);

// Writes the rewritten text of src to dst: the held bytes of its start that the search left in
// the thread's read block first, then the rest read from where src stands. *changed tells
// whether there was a replacement. Stops with copy_cancelled between two blocks once cancel (if
// given) is raised. With reserve, each write is given its disk space first (os_reserve).
// With hash given, every byte written is fed to it (content_hash.h: what the undo checks a file
// against later).
copy_result text_copy_rewritten(const os_file &src, const os_file &dst, line_stream &s,
                                bool *changed, const std::atomic<int> *cancel, size_t held = 0,
                                bool reserve = false, content_hash *hash = nullptr);
