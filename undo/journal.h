// The journal's text form (undo.h): one record a line, its fields separated by single spaces,
// the texts escaped so that a line holds any bytes but a line end ("\\" for a backslash, "\n",
// "\r" and "\t" for those bytes, "\s" for a space).
#pragma once

#include <cstdint>
#include <string>

#include "undo/undo.h"

constexpr const char *journal_name = "journal";
constexpr const char *journal_first_line = "sarvelt-undo-journal 1";

std::string journal_escape(const std::string &text);
// 0 when text is not a well-formed escaped text.
int journal_unescape(const std::string &text, std::string *out);

// The lines of the run's start, each ending with a line feed.
std::string journal_header(const std::string &root, const std::string &search,
                           const std::string &replace, int64_t started);
std::string journal_keep_line(uint64_t number, bool copied, const undo_file &file);
std::string journal_temp_line(uint64_t number, const std::string &temp_path);
std::string journal_making_line(const std::string &temp_path, int64_t file_time);
std::string journal_made_line(const std::string &temp_path, const os_file_id &id);
constexpr const char *journal_end_line = "end\n";
constexpr const char *journal_undone_line = "undone\n";

// Reads the journal's text into record (dir: the run's folder, for the originals' names).
// Lines that cannot be read are told in record->unreadable; a last line cut short (without
// its end of line) in record->cut_off, or in unreadable after the run's "end".
// 0 when the text is no journal at all (its first line is not journal_first_line).
int journal_read(const std::string &text, const std::string &dir, undo_record *record);
