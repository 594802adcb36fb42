// The operating-system seam on Windows (kernel32). Every file and folder call goes through the
// wide ("W") functions: system_path turns the program's path text (in its code page, UTF-8
// under its manifest) into the UTF-16 path the system is given, in the \\?\ form where the
// path is too long for the classic limit. Paths handed back to the program (a link's final
// path, the names of a listing) are converted exactly, and never in the \\?\ form.
#include "platform/os.h"
#include "os_raw.h"

#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

#include <algorithm>

namespace {

HANDLE handle_of(const os_file &f) { return reinterpret_cast<HANDLE>(f.handle); }

int64_t from_filetime(const FILETIME &ft) {
    return int64_t((uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

FILETIME to_filetime(int64_t t) {
    FILETIME ft;
    ft.dwLowDateTime = DWORD(uint64_t(t) & 0xffffffffu);
    ft.dwHighDateTime = DWORD(uint64_t(t) >> 32);
    return ft;
}

void fill_from_info(const BY_HANDLE_FILE_INFORMATION &info, os_stat *st) {
    st->size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    st->mtime = from_filetime(info.ftLastWriteTime);
    st->attributes = info.dwFileAttributes;
    st->id.volume = info.dwVolumeSerialNumber;
    st->id.index = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    st->is_dir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st->is_regular = !st->is_dir && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    st->read_only = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

// The folder part of a listing pattern: dir with a closing separator. A drive alone ("C:")
// becomes its root, as join_path composes "C:" and a name into "C:\name". In the \\?\ form
// only '\' separates names.
std::string list_folder(const char *dir) {
    std::string p(dir);
    const bool verbatim = p.compare(0, 4, "\\\\?\\") == 0;
    if (!p.empty() && p.back() != '\\' && (verbatim || p.back() != '/')) p += '\\';
    return p;
}

// The program's text (in its code page) as UTF-16, for the calls made with wide names.
bool widen(const char *s, std::wstring *out) {
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s, -1, nullptr, 0);
    if (n <= 0) return false;
    out->assign(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s, -1, &(*out)[0], n);
    out->resize(size_t(n - 1));
    return true;
}

int narrow_with(UINT cp, DWORD flags, const wchar_t *w, std::string *out, BOOL *defaulted) {
    BOOL *used = cp == CP_UTF8 ? nullptr : defaulted;  // UTF-8 refuses the argument
    int n = WideCharToMultiByte(cp, flags, w, -1, nullptr, 0, nullptr, used);
    if (n <= 0) return 0;
    out->assign(size_t(n), '\0');
    WideCharToMultiByte(cp, flags, w, -1, &(*out)[0], n, nullptr, used);
    out->resize(size_t(n - 1));
    return 1;
}

// A name in the program's code page exactly as the file system has it, or false where the code
// page cannot hold it: no best-fit letter ("O" for "\u03A9") and no default character ("?") ever
// stands in, and the name must come back unchanged.
bool narrow_exactly(const wchar_t *w, std::string *out) {
    const UINT cp = GetACP();
    BOOL defaulted = FALSE;
    DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    if (!narrow_with(cp, flags, w, out, &defaulted)) {
        // Some code pages take no flags; the round trip below still catches every change.
        if (GetLastError() != ERROR_INVALID_FLAGS || !narrow_with(cp, 0, w, out, &defaulted))
            return false;
    }
    std::wstring back;
    return !defaulted && widen(out->c_str(), &back) && back == w;
}

// A readable form of a name the code page cannot hold, for messages: what it can hold as it
// is, the rest as "<U+XXXX>".
std::string readable_name(const wchar_t *w) {
    std::string out;
    for (const wchar_t *p = w; *p;) {
        size_t len = IS_HIGH_SURROGATE(p[0]) && IS_LOW_SURROGATE(p[1]) ? 2 : 1;
        std::wstring one(p, len);
        std::string piece;
        if (narrow_exactly(one.c_str(), &piece)) {
            out += piece;
        } else {
            unsigned code = len == 2 ? 0x10000u + ((unsigned(p[0]) - 0xD800u) << 10) +
                                           (unsigned(p[1]) - 0xDC00u)
                                     : unsigned(p[0]);
            char buf[16];
            snprintf(buf, sizeof buf, "<U+%04X>", code);
            out += buf;
        }
        p += len;
    }
    return out;
}

// From this length on (UTF-16 units, without the terminator) a path is beyond the classic limit
// of some call: CreateDirectoryW takes less than MAX_PATH - 12 (room left for an 8.3 name), the
// other calls less than MAX_PATH.
const size_t classic_path_limit = MAX_PATH - 12;

// The most UTF-16 units a path may have for the system, its terminator included.
const size_t system_path_limit = 32767;

bool starts_with(const std::wstring &s, const wchar_t *prefix) {
    return s.compare(0, wcslen(prefix), prefix) == 0;
}

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A path in one of the system's own device forms (\\?\C:\x, \\?\UNC\server\x, \\.\COM1), which
// the system takes as it is, without making it absolute or changing any separator.
bool in_device_form(const std::wstring &w) {
    return starts_with(w, L"\\\\?\\") || starts_with(w, L"\\\\.\\");
}

// A path that names its drive and root (C:\x) or its server (\\server\share\x): its full form is
// never longer than itself. Anything else (x, .\x, \x, C:x) is resolved against a current
// folder, so only its full form tells how long the path the system sees is.
bool fully_qualified(const std::wstring &w) {
    if (w.size() >= 2 && is_separator(w[0]) && is_separator(w[1])) return true;
    return w.size() >= 3 && w[1] == L':' && is_separator(w[2]);
}

// The path made absolute as the system resolves it, at any length: a drive-relative C:x against
// that drive's current folder, "." and ".." resolved, '/' turned into '\'. false with the
// system's error when it cannot be.
bool full_path(const std::wstring &w, std::wstring *out) {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFullPathNameW(w.c_str(), DWORD(buf.size()), &buf[0], nullptr);
        if (n == 0) return false;
        if (n < buf.size()) {  // done: n units without the terminator
            buf.resize(n);
            *out = std::move(buf);
            return true;
        }
        if (n > system_path_limit + 8) {  // more than any call would take
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        // Too small: n is the size needed with the terminator (one more, should a system
        // count without it).
        buf.assign(size_t(n) + 1, L'\0');
    }
}

// The \\?\ form of a full path, which the system takes at any length: \\?\C:\x for C:\x,
// \\?\UNC\server\share\x for \\server\share\x. A device path (\\.\CON, which GetFullPathNameW
// makes of a reserved name) stays as it is.
std::wstring long_form(const std::wstring &full) {
    if (in_device_form(full)) return full;
    if (full.size() >= 2 && full[0] == L'\\' && full[1] == L'\\')
        return L"\\\\?\\UNC\\" + full.substr(2);
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\\\?\\" + full;
    return full;
}

// The program's path text as the system is given it, in UTF-16. A path the classic limit takes
// goes as it is, so that the system treats it as it always has; a longer one (or a relative one
// whose full form is longer) goes in its \\?\ form, made absolute first, since the system takes
// that form exactly as it is given. A path already in a device form goes as it is. Fails with
// ERROR_INVALID_NAME for a path that is not valid text in the code page, and with
// ERROR_FILENAME_EXCED_RANGE for one longer than the system takes.
bool system_path(const char *path, std::wstring *out) {
    if (!widen(path, out)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    if (!in_device_form(*out)) {
        const bool is_long = out->size() >= classic_path_limit;
        if (is_long || !fully_qualified(*out)) {
            std::wstring full;
            if (full_path(*out, &full)) {
                if (full.size() >= classic_path_limit) *out = long_form(full);
            } else if (is_long) {
                return false;
            }
            // A short path the system cannot resolve goes as it is, for the system's own answer.
        }
    }
    if (out->size() + 1 > system_path_limit) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

// A path in the form the rest of the program uses: \\?\C:\x becomes C:\x, \\?\UNC\server\x
// becomes \\server\x.
void drop_long_prefix(std::wstring *w) {
    if (starts_with(*w, L"\\\\?\\UNC\\"))
        w->replace(0, 8, L"\\\\");
    else if (starts_with(*w, L"\\\\?\\"))
        w->erase(0, 4);
}

// The path by which an open file is finally known, in UTF-16, as drop_long_prefix leaves it.
// Wine (8.0) answers ERROR_MORE_DATA, whatever the buffer, for a path longer than about
// MAX_PATH: there such a path is not known, and the call fails with that error.
bool final_path_of(HANDLE h, std::wstring *out) {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = GetFinalPathNameByHandleW(h, &buf[0], DWORD(buf.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return false;
        if (n < buf.size()) {  // done: n units without the terminator
            buf.resize(n);
            break;
        }
        if (n > system_path_limit + 8) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        // Too small: n is the size needed with the terminator (one more, should a system
        // count without it).
        buf.assign(size_t(n) + 1, L'\0');
    }
    drop_long_prefix(&buf);
    *out = std::move(buf);
    return true;
}

// A path from the system in the program's code page: 0 (ERROR_INVALID_NAME) where the code
// page cannot hold it exactly, since a changed name could lead to another file.
int program_path(const std::wstring &w, std::string *out) {
    std::string narrow;
    if (!narrow_exactly(w.c_str(), &narrow)) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    *out = std::move(narrow);
    return 1;
}

}  // namespace

const size_t os_path_longest = 32760;
const char *const os_path_unit = "characters";

size_t os_path_length(const char *path, size_t bytes) {
    // A code page never needs more UTF-16 units than bytes.
    if (bytes <= os_path_longest || bytes > size_t(INT_MAX)) return bytes;
    int n = MultiByteToWideChar(CP_ACP, 0, path, int(bytes), nullptr, 0);
    return n > 0 ? size_t(n) : bytes;
}

uint32_t os_last_error() { return uint32_t(GetLastError()); }
void os_set_last_error(uint32_t code) { SetLastError(DWORD(code)); }

std::string os_error_text(uint32_t code) {
    char buf[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             DWORD(code), 0, buf, sizeof buf, nullptr);
    while (n > 0 &&
           (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' ' || buf[n - 1] == '.'))
        --n;
    if (n == 0) return "system error " + std::to_string(code);
    return std::string(buf, n);
}

bool os_error_is_exists(uint32_t code) {
    return code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
}

bool os_error_is_unsupported(uint32_t code) { return code == ERROR_NOT_SUPPORTED; }

uint32_t os_fault_code(os_fault fault) {
    switch (fault) {
    case os_fault_disk_full: return ERROR_DISK_FULL;
    case os_fault_io: return ERROR_IO_DEVICE;
    case os_fault_access_denied: return ERROR_ACCESS_DENIED;
    case os_fault_sharing_violation: return ERROR_SHARING_VIOLATION;
    case os_fault_name_too_long: return ERROR_FILENAME_EXCED_RANGE;
    case os_fault_not_found: return ERROR_FILE_NOT_FOUND;
    case os_fault_unsupported: return ERROR_NOT_SUPPORTED;
    }
    return ERROR_IO_DEVICE;
}

bool os_error_is_transient_lock(uint32_t code, const char *path) {
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return true;
    if (code != ERROR_ACCESS_DENIED) return false;
    // Access denied is the answer for a read-only file too, which stays read-only.
    std::wstring name;
    if (!system_path(path, &name)) return false;
    DWORD a = GetFileAttributesW(name.c_str());
    return a != INVALID_FILE_ATTRIBUTES &&
           (a & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

int os_open_read(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_read)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    // Others may read and write the file meanwhile, but not delete or rename it.
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        SetLastError(ERROR_INVALID_FUNCTION);
        return 0;
    }
    f->handle = reinterpret_cast<intptr_t>(h);
    return 1;
}

namespace {

// Marks the open file for deletion when its last handle is closed, or takes the mark away.
bool set_delete_on_close(HANDLE h, bool on) {
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = on ? TRUE : FALSE;
    return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) !=
           0;
}

}  // namespace

int os_create_new(const char *path, os_file *f, int *deleted_on_close) {
    const bool temporary = deleted_on_close != nullptr;
    if (temporary) *deleted_on_close = 0;
    if (OS_INJECTED(os_call_create_new)) return 0;
    DWORD access = GENERIC_READ | GENERIC_WRITE | (temporary ? DELETE : 0);
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | (temporary ? FILE_SHARE_DELETE : 0);
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    HANDLE h = CreateFileW(name.c_str(), access, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        // A name that another temporary file holds until it is deleted answers "access
        // denied" on Windows: the name is taken all the same.
        DWORD code = GetLastError();
        WIN32_FIND_DATAW found;
        HANDLE listed = code == ERROR_ACCESS_DENIED ? FindFirstFileW(name.c_str(), &found)
                                                    : INVALID_HANDLE_VALUE;
        if (listed != INVALID_HANDLE_VALUE) {
            FindClose(listed);
            code = ERROR_FILE_EXISTS;
        }
        SetLastError(code);
        return 0;
    }
    // Deleted with its handle unless kept: a process that dies leaves nothing behind. Where the
    // file system cannot mark it, it is an ordinary new file.
    if (temporary) *deleted_on_close = set_delete_on_close(h, true) ? 1 : 0;
    f->handle = reinterpret_cast<intptr_t>(h);
    return 1;
}

int os_create_unnamed(const char *, os_file *) {
    if (OS_INJECTED(os_call_create_unnamed)) return 0;
    SetLastError(ERROR_NOT_SUPPORTED);  // a file has a name from its creation on
    return 0;
}

int os_name_temp(const os_file &, const char *) {
    if (OS_INJECTED(os_call_name_temp)) return 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

int os_current_name(const os_file &, std::string *) { return 0; }

int os_keep_temp(const os_file &f) {
    if (OS_INJECTED(os_call_keep_temp)) return 0;
    return set_delete_on_close(handle_of(f), false) ? 1 : 0;
}

int os_read(const os_file &f, void *buf, size_t n, size_t *got) {
    if (OS_INJECTED(os_call_read)) return 0;
    DWORD want = DWORD(std::min<size_t>(n, size_t(1) << 30));
    DWORD did = 0;
    if (!ReadFile(handle_of(f), buf, want, &did, nullptr)) return 0;
    *got = did;
    return 1;
}

int os_write_raw(const os_file &f, const void *buf, size_t n) {
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        DWORD want = DWORD(std::min<size_t>(n, size_t(1) << 30));
        DWORD did = 0;
        if (!WriteFile(handle_of(f), p, want, &did, nullptr)) return 0;
        if (did == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return 0;
        }
        p += did;
        n -= did;
    }
    return 1;
}

int os_seek(const os_file &f, uint64_t offset) {
    if (OS_INJECTED(os_call_rewind)) return 0;
    LARGE_INTEGER to;
    to.QuadPart = LONGLONG(offset);
    return SetFilePointerEx(handle_of(f), to, nullptr, FILE_BEGIN) ? 1 : 0;
}

const int os_can_replace_open_file = 0;

// Windows has no call that starts a file's write-back without waiting for it.
void os_start_sync(const os_file &) {}

void os_reserve(const os_file &, uint64_t, size_t) {}

int os_sync(const os_file &f) {
    if (OS_INJECTED(os_call_sync)) return 0;
    return FlushFileBuffers(handle_of(f)) ? 1 : 0;
}

// A volume is flushed as a whole only through a handle on the volume itself, which takes an
// administrator: each file is flushed on its own.
const int os_can_sync_volume = 0;

int os_sync_volume(const os_file &) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

// Handles are not counted against a small limit as POSIX descriptors are.
size_t os_open_files_allowed() { return SIZE_MAX; }

void os_make_room_for_files(size_t) {}

int os_close(os_file *f) {
    if (f->handle == -1) return 1;
    bool injected = OS_INJECTED(os_call_close);
    DWORD code = GetLastError();
    BOOL ok = CloseHandle(handle_of(*f));
    f->handle = -1;
    if (injected) {  // released all the same, as a close that reports an error is
        SetLastError(code);
        return 0;
    }
    return ok ? 1 : 0;
}

int os_fstat(const os_file &f, os_stat *st) {
    if (OS_INJECTED(os_call_fstat)) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle_of(f), &info)) return 0;
    fill_from_info(info, st);
    return 1;
}

int os_stat_path(const char *path, os_stat *st, int follow) {
    if (OS_INJECTED(os_call_stat)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    HANDLE h = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        BOOL ok = GetFileInformationByHandle(h, &info);
        CloseHandle(h);
        if (ok) {
            fill_from_info(info, st);
            st->is_link = !follow && (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            return 1;
        }
    }
    // A file held open without sharing cannot be opened at all; its attributes can still
    // be read by name (without an id).
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return 0;
    *st = os_stat();
    st->size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    st->mtime = from_filetime(data.ftLastWriteTime);
    st->attributes = data.dwFileAttributes;
    st->is_dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st->is_regular = !st->is_dir && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    st->is_link = !follow && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    st->read_only = (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    return 1;
}

int os_remove(const char *path) {
    if (OS_INJECTED(os_call_remove)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    return DeleteFileW(name.c_str()) ? 1 : 0;
}

int os_replace(const char *from, const char *to) {
    if (OS_INJECTED(os_call_replace)) return 0;
    std::wstring source, target;
    if (!system_path(from, &source) || !system_path(to, &target)) return 0;
    return MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 1
               : 0;
}

int os_link_target(const char *path, std::string *target) {
    if (OS_INJECTED(os_call_link_target)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    DWORD a = GetFileAttributesW(name.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return 0;
    const bool marked = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    HANDLE h = CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (marked) return 0;
        *target = path;
        return 1;
    }
    std::wstring final_path;
    bool got = final_path_of(h, &final_path);
    DWORD err = GetLastError();
    CloseHandle(h);
    if (marked) {
        if (!got) {
            SetLastError(err);
            return 0;
        }
        return program_path(final_path, target);
    }
    // Not marked as a link, yet a file system may follow a link without marking it (Wine shows
    // a Unix symbolic link to a file as a plain file). The file is then known by another path
    // than the one given, and the rewrite goes there: replacing the name given would put a
    // plain file in the link's place and leave the file it leads to as it was. The two paths
    // are compared in UTF-16, both without the \\?\ prefix, and without regard to case, as the
    // file system compares names.
    *target = path;
    std::wstring full;
    if (got && full_path(name, &full)) {
        drop_long_prefix(&full);
        if (CompareStringOrdinal(full.c_str(), int(full.size()), final_path.c_str(),
                                 int(final_path.size()), TRUE) != CSTR_EQUAL)
            return program_path(final_path, target);
    }
    return 1;
}

int os_copy_attributes(const os_file &f, const char *, const os_stat &st) {
    if (OS_INJECTED(os_call_copy_attributes)) return 0;
    const DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                       FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    // Through the handle: a temporary file marked for deletion cannot be opened by name.
    FILE_BASIC_INFO info;
    memset(&info, 0, sizeof info);  // times of 0 stay as they are
    info.FileAttributes = st.attributes & kept;
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle_of(f), FileBasicInfo, &info, sizeof info) ? 1 : 0;
}

int os_open_for_times(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_times)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    f->handle = reinterpret_cast<intptr_t>(h);
    return 1;
}

int os_set_mtime(const os_file &f, int64_t mtime) {
    if (OS_INJECTED(os_call_set_mtime)) return 0;
    FILETIME ft = to_filetime(mtime);
    return SetFileTime(handle_of(f), nullptr, nullptr, &ft) ? 1 : 0;
}

int os_path_mtime(const char *path, int64_t *mtime, int set) {
    // Through a handle: it is the open that meets another program's hold on the file.
    os_file f;
    if (!os_open_for_times(path, &f)) return 0;
    int ok = 0;
    if (set) {
        ok = os_set_mtime(f, *mtime);
    } else if (!OS_INJECTED(os_call_get_mtime)) {
        FILETIME ft;
        ok = GetFileTime(handle_of(f), nullptr, nullptr, &ft) ? 1 : 0;
        if (ok) *mtime = from_filetime(ft);
    }
    DWORD code = GetLastError();
    os_close(&f);
    SetLastError(code);
    return ok ? 1 : -1;
}

namespace {

// One entry of a listing from its find data; folder is the listed folder with its separator.
os_dir_entry entry_of(const std::string &folder, const WIN32_FIND_DATAW &fd) {
    os_dir_entry e;
    if (!narrow_exactly(fd.cFileName, &e.name)) {
        e.unrepresentable = true;
        e.name = readable_name(fd.cFileName);
    }
    DWORD a = fd.dwFileAttributes;
    e.is_link = (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    e.is_dir = (a & FILE_ATTRIBUTE_DIRECTORY) != 0 && !e.is_link;
    e.is_regular = (a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    e.size = (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
    e.mtime = from_filetime(fd.ftLastWriteTime);
    if (e.is_link && e.is_regular && !e.unrepresentable) {
        // A link to a file counts as that file: take the target's size and time.
        os_stat st;
        if (os_stat_path((folder + e.name).c_str(), &st, 1) && st.is_regular) {
            e.size = st.size;
            e.mtime = st.mtime;
        } else {
            // A link that leads nowhere is no file; one that cannot be looked at must be said.
            DWORD code = GetLastError();
            if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) e.error = code;
            e.is_regular = false;
        }
    }
    return e;
}

}  // namespace

const int os_listing_shows_links = 0;

// No folder is held open on Windows: every path is looked up whole, as given.
int os_open_folder(const char *, os_folder *) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
}

const os_folder *os_use_folder(const os_folder *) { return nullptr; }

const os_folder *os_folder_in_use() { return nullptr; }

void os_close_folder(os_folder *folder) { folder->handle = -1; }

// The listing is made with the wide calls and every name converted strictly: the 8-bit calls
// would hand on a best-fit or defaulted name where the code page lacks a character.
int os_list_dir(const char *dir, std::vector<os_dir_entry> *out, void (*on_progress)(), int) {
    out->clear();
    if (OS_INJECTED(os_call_list_open)) return 0;
    const std::string folder = list_folder(dir);
    // The system takes a pattern in the \\?\ form as it is, where '/' is no separator:
    // system_path gives that form to a full path, whose separators are all '\', and list_folder
    // ends a folder given in that form with '\'.
    std::wstring pattern;
    if (!system_path((folder + "*").c_str(), &pattern)) return 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &fd, FindExSearchNameMatch,
                                nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE) {
        // An empty drive root lists nothing at all; that is not a failure.
        return GetLastError() == ERROR_FILE_NOT_FOUND ? 1 : 0;
    }
    size_t seen = 0;
    int result = 1;
    for (;;) {
        if (wcscmp(fd.cFileName, L".") != 0 && wcscmp(fd.cFileName, L"..") != 0) {
            out->push_back(entry_of(folder, fd));
            if (on_progress && (++seen % 4096) == 0) on_progress();
        }
        if (OS_INJECTED(os_call_list_next) || !FindNextFileW(h, &fd)) {
            if (GetLastError() != ERROR_NO_MORE_FILES) result = -1;  // broke off
            break;
        }
    }
    DWORD code = GetLastError();
    FindClose(h);
    std::sort(out->begin(), out->end(),
              [](const os_dir_entry &a, const os_dir_entry &b) { return a.name < b.name; });
    SetLastError(code);
    return result;
}

int os_open_log(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_log)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    HANDLE h =
        CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    f->handle = reinterpret_cast<intptr_t>(h);
    return 1;
}

int64_t os_time_now() { return int64_t(_time64(nullptr)); }

int os_local_time(int64_t seconds, struct tm *out) {
    __time64_t t = seconds;
    return _localtime64_s(out, &t) == 0 ? 1 : 0;
}

int64_t os_file_time_now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return from_filetime(ft);
}

void os_sleep_ms(int ms) {
    if (ms > 0) Sleep(DWORD(ms));
}

int os_make_dir(const char *path) {
    if (OS_INJECTED(os_call_make_dir)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    return CreateDirectoryW(name.c_str(), nullptr) ? 1 : 0;
}

int os_open_append(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_read)) return 0;
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    HANDLE h = CreateFileW(name.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 0;
    f->handle = reinterpret_cast<intptr_t>(h);
    return 1;
}

int os_remove_dir(const char *path) {
    std::wstring name;
    if (!system_path(path, &name)) return 0;
    return RemoveDirectoryW(name.c_str()) ? 1 : 0;
}

int os_hard_link(const char *existing, const char *new_path) {
    if (OS_INJECTED(os_call_hard_link)) return 0;
    std::wstring from, name;
    if (!system_path(existing, &from) || !system_path(new_path, &name)) return 0;
    return CreateHardLinkW(name.c_str(), from.c_str(), nullptr) ? 1 : 0;
}

bool os_error_is_cross_volume(uint32_t code) { return code == ERROR_NOT_SAME_DEVICE; }

std::string os_user_state_dir() {
    const char *local = getenv("LOCALAPPDATA");
    return local && local[0] ? local : "";
}

// --- code pages ---------------------------------------------------------------------------

namespace {

// Code pages whose conversions take no flags (or only the invalid-character one) and no
// used-default argument: there only the round trip tells whether a text came through exactly.
bool takes_no_flags(UINT cp) {
    return cp == 42 || (cp >= 50220 && cp <= 50229) || cp == 52936 || cp == 54936 ||
           (cp >= 57002 && cp <= 57011) || cp == 65000 || cp == 65001;
}

// The code page's bytes as UTF-16, failing on any byte sequence the code page does not define.
bool code_page_to_wide(UINT cp, const std::string &in, std::wstring *out) {
    out->clear();
    if (in.empty()) return true;
    DWORD flags = takes_no_flags(cp) && cp != 54936 && cp != 65001 ? 0 : MB_ERR_INVALID_CHARS;
    int n = MultiByteToWideChar(cp, flags, in.data(), int(in.size()), nullptr, 0);
    if (n <= 0) return false;
    out->assign(size_t(n), L'\0');
    return MultiByteToWideChar(cp, flags, in.data(), int(in.size()), &(*out)[0], n) == n;
}

// UTF-16 in the code page, failing where a character would need a best fit or the default
// character.
bool wide_to_code_page(UINT cp, const std::wstring &in, std::string *out) {
    out->clear();
    if (in.empty()) return true;
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL *used = &used_default;
    if (takes_no_flags(cp)) {
        flags = cp == 54936 || cp == 65001 ? WC_ERR_INVALID_CHARS : 0;
        used = nullptr;
    }
    int n = WideCharToMultiByte(cp, flags, in.data(), int(in.size()), nullptr, 0, nullptr, used);
    if (n <= 0 || used_default) return false;
    out->assign(size_t(n), '\0');
    n = WideCharToMultiByte(cp, flags, in.data(), int(in.size()), &(*out)[0], n, nullptr, used);
    return n == int(out->size()) && !used_default;
}

// UTF-16 is no byte code page; the rest the system must know.
bool known_code_page(uint32_t cp) {
    return cp != 1200 && cp != 1201 && cp != 12000 && cp != 12001 && IsValidCodePage(UINT(cp));
}

// from -> UTF-16 -> to, and the way back must give the input again.
int convert_exactly(UINT from, UINT to, const std::string &in, std::string *out) {
    out->clear();
    std::wstring wide, wide_back;
    std::string result;
    if (!code_page_to_wide(from, in, &wide) || !wide_to_code_page(to, wide, &result)) return 0;
    if (!code_page_to_wide(to, result, &wide_back) || wide_back != wide) return 0;
    std::string again;
    if (!wide_to_code_page(from, wide_back, &again) || again != in) return 0;
    *out = std::move(result);
    return 1;
}

}  // namespace

uint32_t os_legacy_code_page() {
    // The system locale's ANSI code page; GetACP() gives 65001 under the UTF-8 manifest.
    DWORD cp = 0;
    int got =
        GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                       reinterpret_cast<LPWSTR>(&cp), sizeof cp / sizeof(WCHAR));
    // A locale with no ANSI code page of its own (0) or none read: windows-1252, as on POSIX.
    return got > 0 && cp != 0 ? uint32_t(cp) : 1252;
}

int os_convert_from_utf8(uint32_t code_page, const std::string &utf8, std::string *out) {
    out->clear();
    if (!known_code_page(code_page)) return -1;
    return convert_exactly(CP_UTF8, UINT(code_page), utf8, out);
}

int os_convert_to_utf8(uint32_t code_page, const std::string &bytes, std::string *out) {
    out->clear();
    if (!known_code_page(code_page)) return -1;
    return convert_exactly(UINT(code_page), CP_UTF8, bytes, out);
}

bool os_dbcs_lead_byte(uint32_t code_page, unsigned char b) {
    return known_code_page(code_page) && IsDBCSLeadByteEx(UINT(code_page), BYTE(b)) != FALSE;
}
