// Helpers of the fault tests: whole runs of sarvelt-cli over generated trees (started natively
// or inside Wine, optionally changed just before the program starts: limits, user, signals),
// killed at will, and snapshots of a tree to compare a run's outcome against.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <process.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/os.h"
#include "tests/common/cli_process.h"

namespace faults {

namespace fs = std::filesystem;
using namespace clitest;

// The tests name files by std::filesystem paths, which are wide on Windows: a name such as
// "café" would not survive a trip through the 8-bit form (the library converts it as UTF-8,
// the 8-bit file services take the code page), so file times go through the wide calls there.
#if defined(_WIN32)
inline int64_t mtime_of(const fs::path &p) {
    HANDLE h =
        CreateFileW(p.wstring().c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    FILETIME w;
    bool ok = GetFileTime(h, nullptr, nullptr, &w) != 0;
    CloseHandle(h);
    return ok ? int64_t((uint64_t(w.dwHighDateTime) << 32) | w.dwLowDateTime) : -1;
}

inline bool set_mtime(const fs::path &p, int64_t t) {
    HANDLE h = CreateFileW(p.wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME w;
    w.dwLowDateTime = DWORD(uint64_t(t) & 0xffffffffu);
    w.dwHighDateTime = DWORD(uint64_t(t) >> 32);
    bool ok = SetFileTime(h, nullptr, nullptr, &w) != 0;
    CloseHandle(h);
    return ok;
}
#else
inline int64_t mtime_of(const fs::path &p) {
    os_stat st;
    return os_stat_path(p.string().c_str(), &st, 1) ? st.mtime : -1;
}

inline bool set_mtime(const fs::path &p, int64_t t) {
    os_file f;
    if (!os_open_for_times(p.string().c_str(), &f)) return false;
    bool ok = os_set_mtime(f, t) == 1;
    os_close(&f);
    return ok;
}
#endif

// A last-write time well in the past: 2001-02-03 04:05:06.7 UTC, as a file time.
constexpr int64_t old_time = 126256467067000000LL;

// Is name what the rewrite calls its temporary files ("%d.tmp")?
inline bool is_temp_name(const std::string &name) {
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".tmp") != 0) return false;
    size_t i = name[0] == '-' ? 1 : 0;
    if (i + 4 >= name.size()) return false;
    for (; i < name.size() - 4; ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

// The file-rewrite rule for data whose search text holds no CR or LF and whose replacement
// cannot form a new occurrence: read as a text stream (CR LF as LF), every occurrence replaced,
// written as a text stream (LF as CR LF). A file without occurrence stays as it is.
inline std::string rewritten(const std::string &raw, const std::string &search,
                             const std::string &repl) {
    std::string view;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        view += raw[i];
    }
    if (view.find(search) == std::string::npos) return raw;
    std::string out;
    for (size_t k = 0;;) {
        size_t at = view.find(search, k);
        std::string part = view.substr(k, at == std::string::npos ? std::string::npos : at - k);
        for (char c : part) {
            if (c == '\n') out += '\r';
            out += c;
        }
        if (at == std::string::npos) break;
        out += repl;
        k = at + search.size();
    }
    return out;
}

// Every file below root (links not followed), by path relative to root, with its bytes.
using snapshot = std::map<std::string, std::string>;

inline snapshot take_snapshot(const fs::path &root) {
    snapshot s;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (it->is_symlink(ec)) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(ec))
            s[fs::relative(it->path(), root).generic_string()] = read_file(it->path());
    }
    return s;
}

// Temporary files anywhere below root.
inline std::vector<std::string> temporaries(const fs::path &root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        if (it->is_symlink(ec)) {
            it.disable_recursion_pending();
            continue;
        }
        if (is_temp_name(it->path().filename().string()))
            found.push_back(fs::relative(it->path(), root).generic_string());
    }
    return found;
}

inline std::string source_path(const std::string &rel) {
    return build_path(std::string(SARVELT_SOURCE_DIR) + "/" + rel);
}

#if defined(_WIN32)
// Under Wine: the Unix path of a Windows path, or "" where there is none (not Wine).
inline std::string unix_path_of(const fs::path &p) {
    using to_unix = char *(CDECL *)(const WCHAR *);
    auto f = reinterpret_cast<to_unix>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!f) return "";
    char *u = f(p.wstring().c_str());
    if (!u) return "";
    std::string s = u;
    HeapFree(GetProcessHeap(), 0, u);
    return s;
}

// Under Wine: runs a Linux program (Wine starts such a program natively) with arguments free
// of spaces and quotes, and waits until made exists. The Windows calls cannot make what the
// Linux side has: symbolic links that Wine shows as plain files, FIFOs. With gone, waits until
// made no longer exists instead.
inline bool listed(const fs::path &p) {
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(p.wstring().c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return true;
}

inline bool run_unix(const std::string &program, const std::vector<std::string> &args,
                     const fs::path &made, bool gone = false) {
    std::string line = program;
    for (auto &a : args) line += " " + a;
    std::vector<char> cmd(line.begin(), line.end());
    cmd.push_back('\0');
    std::string exe = "Z:" + program;
    for (char &c : exe)
        if (c == '/') c = '\\';
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 500; ++i) {
        if (listed(made) != gone) return true;
        Sleep(10);
    }
    return false;
}
#endif

// Each test: a tree to walk, a working folder to run in (where logging.log goes) and a
// folder for the program's output, all below one fresh folder.
class Faults : public ::testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        base = fs::temp_directory_path() /
               ("sarvelt-faults-" + std::to_string(process_id()) + "-" + std::to_string(++counter));
        std::error_code ec;
        fs::remove_all(base, ec);
        tree = base / "tree";
        work = base / "work";
        outputs = base / "outputs";
        fs::create_directories(tree);
        fs::create_directories(work);
        fs::create_directories(outputs);
    }
    void TearDown() override {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(base, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it->is_symlink(ec)) {
                it.disable_recursion_pending();
                continue;
            }
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(base, ec);
    }

    fs::path file(const std::string &rel, const std::string &bytes) {
        // In the platform's own separators: the log names files that way.
        fs::path p = (tree / fs::u8path(rel)).make_preferred();
        write_file(p, bytes);
        EXPECT_TRUE(set_mtime(p, old_time)) << rel;
        return p;
    }

    result run(const std::vector<std::string> &args,
               const std::function<void()> &before_exec = nullptr) {
        return cli_process(args, work, outputs, before_exec).wait();
    }

    // The usual run: every file, "needle" becomes "thread".
    std::vector<std::string> args(const std::string &type = "*.*") const {
        return {"--path",   tree.string(), "--type",    type,
                "--search", "needle",      "--replace", "thread"};
    }

    std::string log() const { return read_file(work / "logging.log"); }

    fs::path base, tree, work, outputs;
};

// Checks one file after a run: rewritten (and its old time kept) or left byte for byte.
inline void expect_new(const fs::path &p, const std::string &before) {
    EXPECT_EQ(rewritten(before, "needle", "thread"), read_file(p)) << p;
    EXPECT_EQ(old_time, mtime_of(p)) << p;
}

inline void expect_untouched(const fs::path &p, const std::string &before) {
    EXPECT_EQ(before, read_file(p)) << p;
    EXPECT_EQ(old_time, mtime_of(p)) << p;
}

}  // namespace faults
