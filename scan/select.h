// Which files a run selects: a minimum size, a file type (an extension, or "*.*" for every
// file), and the optional Name Len and Age days criteria.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/os.h"

// A Type text read as a list: items separated by ';' or ',', blanks around an item and empty
// items ignored. A plain item selects as file_matches reads a Type ("*.txt", "*.*"); "!item"
// leaves out the files that item would select; "!name\" or "!name/" leaves out every folder of
// that name at any depth below the walked folder (ASCII case ignored, '*' and '?' wildcards).
// A list of exclusions only starts from every file, as "*.*"; a text with no item at all
// selects nothing, as an empty Type does.
struct type_list {
    std::vector<std::string> picked;       // plain items
    std::vector<std::string> left_out;     // the items of "!item"
    std::vector<std::string> folders_out;  // the name patterns of "!name\"
};

// Reads text into list. Returns "" when it can be read, else why not, for the user, naming the
// item: an item that is only "!", or a folder item with a separator before its end.
std::string read_type_list(const std::string &text, type_list *list);

// 1 when name matches pattern, where '*' stands for any run of characters and '?' for one,
// ASCII case ignored.
int name_fits_pattern(const std::string &name, const std::string &pattern);

// What a run selects, fixed when the run starts. The walk and the work ahead of it (the
// pipeline's scout) both ask this one value, so they agree on every folder and every file.
struct selection {
    type_list types = {{"*.*"}, {}, {}};  // the Type
    uint64_t min_size = 0;             // Size
    uint64_t min_name_len = 0;         // Name Len (0: every name)
    int64_t oldest_mtime = INT64_MIN;  // from Age days (INT64_MIN: every time)

    // Is the folder entry one the walk enters? Folders whose names begin with '.' (".git" and
    // the like, and "." and "..") are never entered, nor those the Type leaves out.
    bool enters(const os_dir_entry &folder) const;
    // Is the file entry selected (file_matches with one of the Type's plain items and none of
    // its left-out ones, and file_matches_name_age)?
    bool picks(const os_dir_entry &file) const;
    // Can every choice be made from the entries' names and kinds alone, without their sizes
    // and times (no Size and no Age days)? A listing may then leave those out.
    bool kinds_only() const;
};

// The byte threshold of a Size text: its decimal digits, in order, with every other character
// left out, times 1,024 if the text holds "KB" or 1,048,576 if it holds "MB" (any case; "MB"
// wins). No digits give 0. 64-bit; saturates at UINT64_MAX instead of wrapping.
uint64_t parse_size_text(const char *text);

// 1 when the entry is an ordinary file (or a link to one) of at least min_size bytes whose
// name's extension (from its last '.') equals that of file_type, ASCII case ignored; the type
// "*.*" takes every extension and none. Folders, FIFOs, sockets and devices: 0.
int file_matches(const os_dir_entry &entry, const char *file_type, uint64_t min_size);

// The Name Len and Age days criteria: 1 when the entry's name (without folder) has at least
// min_name_len bytes and its last-write time is not before oldest_mtime (a file time).
// min_name_len 0 and oldest_mtime INT64_MIN select everything.
int file_matches_name_age(const os_dir_entry &entry, uint64_t min_name_len, int64_t oldest_mtime);

// Reads a Name Len or Age days text: spaces and tabs around it are ignored; an empty text
// gives 1 with *given = 0; decimal digits only give 1 with *given = 1 and *value (saturated
// at UINT64_MAX); anything else gives 0.
int parse_count_text(const char *text, int *given, uint64_t *value);

// The oldest last-write time that Age days lets through, for a run starting at now (a file
// time): now - days x 24 hours, or INT64_MIN when that lies before any representable time.
int64_t oldest_mtime_for_age(int64_t now, uint64_t days);
