// Files for the tests: fresh folders and scratch folders that remove themselves, whole-file
// reads and writes, last-write times, the names in a folder, the rewrite's temporary files left
// in a tree, and the session log's text.
#pragma once

#include <atomic>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testutil {

namespace fs = std::filesystem;

// The whole file as bytes; "" when it cannot be read.
inline std::string read_file(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Writes bytes as the whole file, making the folders it lies in where they are missing.
// false when the file could not be written.
inline bool write_file(const fs::path &p, const std::string &bytes) {
    std::error_code ec;
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}

// The names in a folder (not recursive).
inline std::set<std::string> names_in(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

// Last-write times as file times (100 ns since 1601), as the program keeps them; -1 or false
// when the file cannot be reached. Folders have times too. On Windows they go through the wide
// calls, so that names beyond the code page work (files.cpp, which keeps the Windows header out
// of the tests that include this one: its macros clash with the dialog's control ids).
int64_t mtime_of(const fs::path &p);
bool set_mtime(const fs::path &p, int64_t t);

// A last-write time well in the past: 2001-02-03 04:05:06.7 UTC, as a file time.
constexpr int64_t old_time = 126256467067000000LL;

// Removes root and everything below it, read-only files and folders that cannot be listed
// included. Links are neither followed nor made writable through: nothing outside is touched.
inline void remove_tree(const fs::path &root) {
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
    std::error_code walk;
    for (auto it = fs::recursive_directory_iterator(root, walk);
         !walk && it != fs::recursive_directory_iterator(); it.increment(walk)) {
        if (it->is_symlink(ec)) {
            it.disable_recursion_pending();
            continue;
        }
        // Made enterable before the walk goes in.
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root, ec);  // the open session log may keep its file on Windows
}

// The tests' own folder in the system's temporary folder.
inline fs::path tests_folder() {
    fs::path base = fs::temp_directory_path() / "sarvelt-tests";
    fs::create_directories(base);
    return base;
}

inline int process_id() {
#if defined(_WIN32)
    return _getpid();
#else
    return int(getpid());
#endif
}

// A new, empty folder below below, named "<tag>-<process id>-<count>": short, since some tests
// build paths near the program's length limits below it. It is made in one step that fails when
// the name is taken (by a leftover, or a process of another Wine prefix), so no two test
// processes ever share one.
inline fs::path fresh_folder(const std::string &tag, const fs::path &below = tests_folder()) {
    static std::atomic<int> counter{0};
    for (;;) {
        fs::path p =
            below / (tag + "-" + std::to_string(process_id()) + "-" + std::to_string(++counter));
        std::error_code ec;
        if (fs::create_directory(p, ec)) return p;
        if (ec) throw fs::filesystem_error("cannot make a fresh folder", p, ec);
    }
}

// The rewrite's temporary files ("<number>.tmp") and any other name ending in ".tmp" anywhere
// below root, by path relative to root ('/' between names). Links are not followed.
inline std::vector<std::string> temporaries(const fs::path &root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code link_ec;
        if (it->is_symlink(link_ec)) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->path().extension() == ".tmp")
            found.push_back(fs::relative(it->path(), root).generic_string());
    }
    return found;
}

// A fresh, empty folder (below the tests' own folder unless told otherwise) that is removed
// again, whatever it then holds, when the object goes.
class scratch_dir {
  public:
    explicit scratch_dir(const std::string &tag = "t", const fs::path &below = tests_folder())
        : path_(fresh_folder(tag, below)) {}
    ~scratch_dir() { remove_tree(path_); }
    scratch_dir(const scratch_dir &) = delete;
    scratch_dir &operator=(const scratch_dir &) = delete;

    const fs::path &path() const { return path_; }
    std::string str() const { return path_.string(); }
    // The path of name inside the folder; nothing is made.
    std::string file(const std::string &name) const { return (path_ / name).string(); }
    // Writes the file rel (its folders made as needed) and returns its path.
    fs::path file(const std::string &rel, const std::string &bytes) const {
        fs::path p = path_ / fs::path(rel);
        write_file(p, bytes);
        return p;
    }
    std::string read(const std::string &rel) const { return read_file(path_ / fs::path(rel)); }
    std::vector<std::string> temporaries() const { return testutil::temporaries(path_); }

  private:
    fs::path path_;
};

// The code page of the program's own text: GetACP() on Windows (UTF-8 only where the program
// has its manifest, which the test programs do not), 65001 (UTF-8) elsewhere.
unsigned program_code_page();

// Sets (or, with an empty value, clears) an environment variable of this process.
void set_env(const std::string &name, const std::string &value);

// The undo store of the tests: the user's state folder (XDG_STATE_HOME; LOCALAPPDATA on
// Windows) points into a scratch folder while the object lives.
class scratch_store : public scratch_dir {
  public:
#if defined(_WIN32)
    static constexpr const char *variable = "LOCALAPPDATA";
#else
    static constexpr const char *variable = "XDG_STATE_HOME";
#endif
    scratch_store() : scratch_dir("state") {
        const char *was = getenv(variable);
        was_ = was ? was : "";
        set_env(variable, str());
    }
    ~scratch_store() { set_env(variable, was_); }

  private:
    std::string was_;
};

// Trees whose paths are longer than the standard library reaches on every platform (on Windows
// it stops near 260 characters), made, read and removed through the program's own file calls.
namespace long_paths {
// Makes folders below base, each named name (or less, to end exactly), until the path is
// length bytes long; returns it. The folders in between are made too.
std::string make_chain(const std::string &base, size_t length, const std::string &name);
// Writes a new file; false when it exists or cannot be written.
bool write(const std::string &path, const std::string &bytes);
// The whole file; "" when it cannot be read.
std::string read(const std::string &path);
// Every entry below root (files and folders) by path relative to root, '/' between names.
std::vector<std::string> below(const std::string &root);
// The entries below root whose names end in ".tmp".
std::vector<std::string> temporaries(const std::string &root);
// Removes everything below root, and root.
void remove(const std::string &root);
}  // namespace long_paths

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
