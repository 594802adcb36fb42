// Helpers shared by the tests: scratch folders, whole-file reads and writes, file times, and
// the session log's text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "platform/os.h"

namespace testutil {

namespace fs = std::filesystem;

// A fresh, empty folder that is removed again when the object goes.
struct scratch_dir {
    fs::path path;
    explicit scratch_dir(const std::string &tag = "t") {
        static int counter = 0;
        fs::path base = fs::temp_directory_path() / "sarvelt-tests";
        fs::create_directories(base);
        for (;;) {
            path = base /
                   (tag + "-" + std::to_string(os_time_now()) + "-" + std::to_string(++counter));
            std::error_code ec;
            if (fs::create_directory(path, ec)) break;
        }
    }
    ~scratch_dir() {
        std::error_code ec;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path, ec);
    }
    std::string file(const std::string &name) const { return (path / name).string(); }
    std::string str() const { return path.string(); }
};

inline void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in a folder (not recursive).
inline std::set<std::string> names_in(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

inline int64_t mtime_of(const std::string &path) {
    os_stat st;
    return os_stat_path(path.c_str(), &st, 1) ? st.mtime : -1;
}

inline bool set_mtime(const std::string &path, int64_t t) {
    os_file f;
    if (!os_open_for_times(path.c_str(), &f)) return false;
    bool ok = os_set_mtime(f, t) == 1;
    os_close(&f);
    return ok;
}

// A last-write time well in the past: 2001-02-03 04:05:06.7 UTC, as a file time.
constexpr int64_t old_time = 126256467067000000LL;

// The session log's text (CR LF as stored), read from the current folder.
inline std::string log_text() { return read_file("logging.log"); }

// Turns LF into CR LF: how the log and rewritten files store line ends.
inline std::string crlf(const std::string &s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace testutil
