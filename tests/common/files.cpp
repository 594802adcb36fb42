// The last-write times of files.h: through the wide calls on Windows (see there why), through
// the program's own file services elsewhere.
#include "tests/common/files.h"

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

}  // namespace testutil
