// The last-write times of files.h: through the wide calls on Windows (see there why), through
// the program's own file services elsewhere.
#include "tests/common/files.h"

#include <algorithm>

#include "engine/engine.h"
#include "platform/os.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace testutil {

#if defined(_WIN32)
int64_t mtime_of(const fs::path &p) {
    HANDLE h = CreateFileW(p.wstring().c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    FILETIME w;
    if (h != INVALID_HANDLE_VALUE) {
        bool ok = GetFileTime(h, nullptr, nullptr, &w) != 0;
        CloseHandle(h);
        if (!ok) return -1;
    } else {
        // A file held open without sharing cannot be opened; its times can still be read by name.
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(p.wstring().c_str(), GetFileExInfoStandard, &data)) return -1;
        w = data.ftLastWriteTime;
    }
    return int64_t((uint64_t(w.dwHighDateTime) << 32) | w.dwLowDateTime);
}

bool set_mtime(const fs::path &p, int64_t t) {
    HANDLE h = CreateFileW(p.wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME w;
    w.dwLowDateTime = DWORD(uint64_t(t) & 0xffffffffu);
    w.dwHighDateTime = DWORD(uint64_t(t) >> 32);
    bool ok = SetFileTime(h, nullptr, nullptr, &w) != 0;
    CloseHandle(h);
    return ok;
}
#else
int64_t mtime_of(const fs::path &p) {
    os_stat st;
    return os_stat_path(p.c_str(), &st, 1) ? st.mtime : -1;
}

bool set_mtime(const fs::path &p, int64_t t) {
    os_file f;
    if (!os_open_for_times(p.c_str(), &f)) return false;
    bool ok = os_set_mtime(f, t) == 1;
    os_close(&f);
    return ok;
}
#endif

unsigned program_code_page() {
#if defined(_WIN32)
    return GetACP();
#else
    return 65001;
#endif
}

void set_env(const std::string &name, const std::string &value) {
#if defined(_WIN32)
    _putenv_s(name.c_str(), value.c_str());
#else
    if (value.empty())
        unsetenv(name.c_str());
    else
        setenv(name.c_str(), value.c_str(), 1);
#endif
}

namespace long_paths {

namespace {

std::string joined(const std::string &dir, const std::string &name) {
    std::string out;
    join_path(&out, dir.c_str(), name.c_str());
    return out;
}

void list_below(const std::string &dir, const std::string &rel, std::vector<std::string> *out) {
    std::vector<os_dir_entry> entries;
    if (os_list_dir(dir.c_str(), &entries, nullptr) != 1) return;
    for (const os_dir_entry &e : entries) {
        const std::string name = rel.empty() ? e.name : rel + "/" + e.name;
        out->push_back(name);
        if (e.is_dir) list_below(joined(dir, e.name), name, out);
    }
}

}  // namespace

std::string make_chain(const std::string &base, size_t length, const std::string &name) {
    std::string path = base;
    while (path.size() + 1 < length) {
        const size_t left = length - path.size() - 1;
        // A last name of one or two characters would make the one before it end the chain.
        std::string next = left <= name.size() ? name.substr(0, left)
                                               : name.substr(0, std::min(name.size(), left - 2));
        path = joined(path, next);
        os_make_dir(path.c_str());
    }
    return path;
}

bool write(const std::string &path, const std::string &bytes) {
    os_file f;
    if (!os_create_new(path.c_str(), &f)) return false;
    bool ok = os_write_all(f, bytes.data(), bytes.size()) != 0;
    return os_close(&f) != 0 && ok;
}

std::string read(const std::string &path) {
    os_file f;
    if (!os_open_read(path.c_str(), &f)) return "";
    std::string out;
    char buf[65536];
    size_t got = 0;
    while (os_read(f, buf, sizeof buf, &got) && got > 0) out.append(buf, got);
    os_close(&f);
    return out;
}

std::vector<std::string> below(const std::string &root) {
    std::vector<std::string> out;
    list_below(root, "", &out);
    return out;
}

std::vector<std::string> temporaries(const std::string &root) {
    std::vector<std::string> out;
    for (const std::string &name : below(root))
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) out.push_back(name);
    return out;
}

void remove(const std::string &root) {
    std::vector<std::string> names = below(root);
    // Deepest first: every entry comes after the folder it is in.
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        std::string rel = *it;
        for (char &c : rel)
            if (c == '/') c = path_separator;
        const std::string path = joined(root, rel);
        if (!os_remove(path.c_str())) os_remove_dir(path.c_str());
    }
    os_remove_dir(root.c_str());
}

}  // namespace long_paths

}  // namespace testutil
