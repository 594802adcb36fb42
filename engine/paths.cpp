// Path composition. On Windows a backslash or a slash separates folders and a colon ends a
// drive name ("C:"); a new separator is a backslash. On POSIX systems only the slash is a
// separator (a backslash or a colon is an ordinary character of a file name there), and a
// new separator is a slash.
#include <ctype.h>
#include <string.h>

#include "engine/engine.h"

namespace {

#if defined(_WIN32)
bool is_separator(char c) { return c == '\\' || c == '/'; }
bool ends_folder(char c) { return c == '\\' || c == '/' || c == ':'; }
#else
bool is_separator(char c) { return c == '/'; }
bool ends_folder(char c) { return c == '/'; }
#endif

}  // namespace

int join_path(char *out, int room, const char *dir, const char *name) {
    if (room <= 0) return 0;
    size_t dl = strlen(dir);
    size_t nl = strlen(name);
    bool sep = dl > 0 && !is_separator(dir[dl - 1]);
    size_t total = dl + (sep ? 1 : 0) + nl;
    if (total + 1 > size_t(room)) {
        out[0] = '\0';
        return 0;
    }
    // dir may be out itself (a walk joins onto its own buffer), so move rather than copy.
    memmove(out, dir, dl);
    if (sep) out[dl] = path_separator;
    memcpy(out + dl + (sep ? 1 : 0), name, nl);
    out[total] = '\0';
    return 1;
}

void directory_part(char *path) {
    size_t n = strlen(path);
    while (n > 0 && !ends_folder(path[n - 1])) --n;
    path[n] = '\0';
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
