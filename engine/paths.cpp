// Path composition. On Windows a backslash or a slash separates folders and a colon ends a
// drive name ("C:"); a new separator is a backslash. On POSIX systems only the slash is a
// separator (a backslash or a colon is an ordinary character of a file name there), and a
// new separator is a slash.
#include <ctype.h>
#include <string.h>

#include "engine/engine.h"
#include "platform/os.h"

namespace {

#if defined(_WIN32)
bool is_separator(char c) { return c == '\\' || c == '/'; }
bool ends_folder(char c) { return c == '\\' || c == '/' || c == ':'; }
#else
bool is_separator(char c) { return c == '/'; }
bool ends_folder(char c) { return c == '/'; }
#endif

}  // namespace

void join_path(std::string *out, const char *dir, const char *name) {
    const size_t dl = strlen(dir);
    const bool sep = dl > 0 && !is_separator(dir[dl - 1]);
    if (dir == out->c_str())
        out->resize(dl);
    else
        out->assign(dir, dl);
    if (sep) out->push_back(path_separator);
    out->append(name);
}

void directory_part(std::string *path) {
    size_t n = path->size();
    while (n > 0 && !ends_folder((*path)[n - 1])) --n;
    path->resize(n);
}

bool path_fits(const std::string &path, size_t reserve) {
    if (reserve > os_path_longest) return false;
    const size_t room = os_path_longest - reserve;
    return path.size() <= room || os_path_length(path.c_str(), path.size()) <= room;
}

std::string path_too_long(const std::string &path) {
    return "Path too long (" + std::to_string(os_path_length(path.c_str(), path.size())) + " " +
           os_path_unit + ", at most " + std::to_string(os_path_longest) + ")";
}

std::string path_too_long_within(size_t reserve) {
    const size_t room = reserve < os_path_longest ? os_path_longest - reserve : 0;
    return "Path too long (at most " + std::to_string(room) + " " + os_path_unit + ")";
}

std::string folder_of_path(const char *path) {
    std::string folder(path);
#if defined(_WIN32)
    // "C:" alone lists the current folder of drive C, while join_path makes "C:\name" of its
    // entries: the root is what both mean.
    if (folder.size() == 2 && folder[1] == ':' && isalpha((unsigned char)folder[0])) folder += '\\';
#endif
    return folder;
}
