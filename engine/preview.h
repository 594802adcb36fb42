// What a rewrite would do to one file, found without writing anything: the number of
// replacements and the first lines that would change, before and after. The same line
// replacement as the rewrite, on the same text view of the file, so a preview and a run agree
// on every file and every count. Memory stays bounded whatever the file's size or line length.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Changed lines a preview shows per file, and the bytes shown of each (the rest is cut, and
// "..." marks the cut).
constexpr size_t preview_lines_shown = 3;
constexpr size_t preview_line_bytes = 160;

struct changed_line {
    uint64_t number = 0;  // from 1
    std::string before, after;
};

struct file_preview {
    uint64_t replacements = 0;
    std::vector<changed_line> first;  // at most preview_lines_shown
    uint32_t code = 0;                // the system's error when the file could not be read
    bool runaway = false;             // the runaway guard stopped it: the run would not rewrite it
    bool read_only = false;           // the run would refuse to rewrite it
    bool binary = false;              // a binary file, which the run leaves alone
    std::string refused;              // set: why the run would not rewrite it in its encoding
};

// Reads the file at path and fills out. 1 when it was read through, 0 when it could not be
// (out->code tells why). Nothing is written anywhere. text: the run's text setup, so that the
// file is read in its own encoding as the run reads it (null: byte for byte, as update_file
// without one). The shown lines are in UTF-8 whatever the file's encoding.
// Stops with 0 (out->code 0) once cancel (if given) is raised.
int preview_file(const char *path, const char *search_text, const char *replace_text,
                 file_preview *out, const struct text_setup *text = nullptr,
                 const std::atomic<int> *cancel = nullptr);
