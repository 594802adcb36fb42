// The replacement engine: one line, one file, and the path helpers they need.
#pragma once

#include <cstdint>
#include <string>

// Replaces every occurrence of search_text in line, in place, searching again from the
// start after each replacement until no occurrence is left (so occurrences formed by a
// replacement together with the text around it are replaced too). Byte for byte,
// case-sensitive. Returns 1 when the line changed, 0 when it held no occurrence, and -1
// when the runaway guard stopped it (the replacement would never end or would grow the line
// past runaway_growth_limit); the line is then left as it was.
int replace_all_in_line(std::string &line, const char *search_text, const char *replace_text);

// A line may grow by at most this many bytes through its replacements.
constexpr uint64_t runaway_growth_limit = uint64_t(256) << 20;

// Rewrites one file: every line through replace_all_in_line, the result swapped in
// atomically, the last-write time kept. A file without occurrence is not written at all.
// Returns 1 when the file was processed (changed or not), 0 on failure (logged, and
// errors_seen raised).
int update_file(const char *path, const char *search_text, const char *replace_text);

// Reads (set = 0) or writes (set = 1) the last-write time of the file at path, as a file time
// (100-nanosecond intervals since 1601-01-01 UTC). Returns 1 on success, 0 on failure.
int get_set_ftime(const char *path, int64_t *time, int set);

// The separator join_path puts between a folder and a name.
#if defined(_WIN32)
constexpr char path_separator = '\\';
#else
constexpr char path_separator = '/';
#endif

// out = dir + name, with a separator between them unless dir already ends with one (on
// Windows a backslash or a slash; on POSIX a slash). An empty dir gives name alone. dir may be
// out's own text.
void join_path(std::string *out, const char *dir, const char *name);

// The folder a Path names, as a walk lists it and composes its entries' paths: on Windows a
// drive alone ("C:") means that drive's root ("C:\"); any other path stands as it is.
std::string folder_of_path(const char *path);

// Cuts path, in place, to its folder part: everything up to and including the last
// separator (on Windows also a drive's colon); a path with none of them becomes empty.
void directory_part(std::string *path);

// The one limit on paths: the system's own (os_path_longest, counted in os_path_unit). Does
// path fit it with room left for reserve more units (a folder's closing separator)?
bool path_fits(const std::string &path, size_t reserve = 0);
// The log's words for a path beyond the limit: "Path too long (N <unit>, at most M)".
std::string path_too_long(const std::string &path);
// The same for an entry that a walk cannot compose, without its length: "Path too long (at
// most M <unit>)", M the limit less reserve.
std::string path_too_long_within(size_t reserve);
