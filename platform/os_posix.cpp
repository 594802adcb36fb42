// The operating-system seam on POSIX systems (Linux).
#include "platform/os.h"
#include "os_raw.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/vfs.h>
#endif
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>

namespace {

// Seconds between 1601-01-01 and 1970-01-01.
constexpr int64_t epoch_gap_seconds = 11644473600LL;

int64_t to_file_time(const struct timespec &ts) {
    return (int64_t(ts.tv_sec) + epoch_gap_seconds) * 10000000LL + ts.tv_nsec / 100;
}

struct timespec from_file_time(int64_t ft) {
    int64_t unix100 = ft - epoch_gap_seconds * 10000000LL;
    int64_t sec = unix100 / 10000000LL;
    int64_t rem = unix100 % 10000000LL;
    if (rem < 0) {
        rem += 10000000LL;
        sec -= 1;
    }
    struct timespec ts;
    ts.tv_sec = time_t(sec);
    ts.tv_nsec = long(rem * 100);
    return ts;
}

void fill_stat(const struct stat &s, os_stat *st) {
    st->size = uint64_t(s.st_size);
    st->mtime = to_file_time(s.st_mtim);
    st->attributes = uint32_t(s.st_mode);
    st->owner = uint32_t(s.st_uid);
    st->group = uint32_t(s.st_gid);
    st->id.volume = uint64_t(s.st_dev);
    st->id.index = uint64_t(s.st_ino);
    st->is_dir = S_ISDIR(s.st_mode);
    st->is_regular = S_ISREG(s.st_mode);
    st->is_link = S_ISLNK(s.st_mode);
    st->read_only = (s.st_mode & S_IWUSR) == 0;
}

int fd_of(const os_file &f) { return int(f.handle); }

// The folder os_use_folder set on this thread.
thread_local const os_folder *held_folder = nullptr;

// Where a path is looked up: in the held folder, under its own name there, when the path is
// the folder's path followed by one name; otherwise through the whole path (dir AT_FDCWD).
struct lookup {
    int dir;
    const char *name;
};

lookup look_up(const char *path) {
    const os_folder *held = held_folder;
    if (!held || held->handle < 0 || held->path.empty()) return {AT_FDCWD, path};
    const std::string &folder = held->path;
    if (strncmp(path, folder.data(), folder.size()) != 0) return {AT_FDCWD, path};
    const char *name = path + folder.size();
    if (folder.back() != '/') {
        if (*name != '/') return {AT_FDCWD, path};
        ++name;
    }
    if (*name == '\0' || strchr(name, '/') || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return {AT_FDCWD, path};
    return {int(held->handle), name};
}

// The length of path without its trailing separators (a root keeps its own).
size_t trimmed_length(const char *path, size_t n) {
    while (n > 1 && path[n - 1] == '/') --n;
    return n;
}

// Is dir the held folder's own path, give or take a trailing separator?
bool is_held_folder(const char *dir) {
    const os_folder *held = held_folder;
    if (!held || held->handle < 0 || held->path.empty()) return false;
    size_t n = trimmed_length(dir, strlen(dir));
    return n == trimmed_length(held->path.data(), held->path.size()) &&
           strncmp(dir, held->path.data(), n) == 0;
}

// open(2), tried again when a signal cuts it short; the file goes into f.
int open_into(const char *path, int flags, mode_t mode, os_file *f) {
    lookup at = look_up(path);
    int fd;
    do {
        fd = openat(at.dir, at.name, flags | O_CLOEXEC | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    f->handle = fd;
    return 1;
}

}  // namespace

const size_t os_path_longest = PATH_MAX - 1;
const char *const os_path_unit = "bytes";

size_t os_path_length(const char *, size_t bytes) { return bytes; }

uint32_t os_last_error() { return uint32_t(errno); }
void os_set_last_error(uint32_t code) { errno = int(code); }
std::string os_error_text(uint32_t code) { return strerror(int(code)); }
bool os_error_is_exists(uint32_t code) { return code == EEXIST; }
bool os_error_is_transient_lock(uint32_t, const char *) { return false; }
bool os_error_is_unsupported(uint32_t code) {
    // What open(2) answers for O_TMPFILE where the kernel or the file system lacks it.
    return code == EOPNOTSUPP || code == EISDIR || code == EINVAL || code == ENOSYS;
}

uint32_t os_fault_code(os_fault fault) {
    switch (fault) {
    case os_fault_disk_full: return ENOSPC;
    case os_fault_io: return EIO;
    case os_fault_access_denied: return EACCES;
    case os_fault_sharing_violation: return EBUSY;  // POSIX has no share modes: the nearest
    case os_fault_name_too_long: return ENAMETOOLONG;
    case os_fault_not_found: return ENOENT;
    case os_fault_unsupported: return EOPNOTSUPP;
    }
    return EIO;
}

int os_open_read(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_read)) return 0;
    // O_NONBLOCK: opening a FIFO must never hang. It stays set: reads of a regular file do not
    // heed it, and the caller refuses anything else.
    return open_into(path, O_RDONLY | O_NONBLOCK, 0, f);
}

int os_create_new(const char *path, os_file *f, int *deleted_on_close) {
    if (deleted_on_close) *deleted_on_close = 0;
    if (OS_INJECTED(os_call_create_new)) return 0;
    return open_into(path, O_RDWR | O_CREAT | O_EXCL, 0600, f);
}

int os_create_unnamed(const char *dir, os_file *f) {
    if (OS_INJECTED(os_call_create_unnamed)) return 0;
#if defined(O_TMPFILE)
    const bool held = is_held_folder(dir);
    const int at = held ? int(held_folder->handle) : AT_FDCWD;
    int fd;
    do {
        fd = openat(at, held ? "." : dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    f->handle = fd;
    return 1;
#else
    (void)dir;
    (void)f;
    errno = EOPNOTSUPP;
    return 0;
#endif
}

int os_name_temp(const os_file &f, const char *path) {
    if (OS_INJECTED(os_call_name_temp)) return 0;
    lookup to = look_up(path);
#if defined(AT_EMPTY_PATH)
    // The file is linked by its descriptor where the kernel allows that (Linux 6.10 and later
    // for a file the process opened itself; before, only with the right to look up files by
    // handle), else under its name in /proc, whose lookup costs more than the link itself. A
    // kernel that refuses the first says ENOENT; it is then not asked again.
    static std::atomic<bool> by_descriptor_refused{false};
    if (!by_descriptor_refused.load(std::memory_order_relaxed)) {
        if (linkat(fd_of(f), "", to.dir, to.name, AT_EMPTY_PATH) == 0) return 1;
        if (errno != ENOENT) return 0;
    }
#endif
    char proc_path[64];
    snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_of(f));
    if (linkat(AT_FDCWD, proc_path, to.dir, to.name, AT_SYMLINK_FOLLOW) != 0) return 0;
#if defined(AT_EMPTY_PATH)
    by_descriptor_refused.store(true, std::memory_order_relaxed);
#endif
    return 1;
}

int os_current_name(const os_file &f, std::string *name) {
    char proc_path[64];
    snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd_of(f));
    // The link's text is the path with " (deleted)" after it where the file has no name: it
    // may be longer than any path, so the buffer grows until it holds it whole.
    std::string now(PATH_MAX + 16, '\0');
    ssize_t n;
    while ((n = readlink(proc_path, &now[0], now.size())) > 0 && size_t(n) >= now.size())
        now.resize(now.size() * 2);
    if (n <= 0 || now[0] != '/') return 0;
    now.resize(size_t(n));
    static const char gone[] = " (deleted)";  // how /proc shows a file without a name
    const size_t tail = sizeof gone - 1;
    if (now.size() >= tail && now.compare(now.size() - tail, tail, gone) == 0) return 0;
    *name = std::move(now);
    return 1;
}

int os_keep_temp(const os_file &) {
    if (OS_INJECTED(os_call_keep_temp)) return 0;
    return 1;
}

int os_read(const os_file &f, void *buf, size_t n, size_t *got) {
    if (OS_INJECTED(os_call_read)) return 0;
    for (;;) {
        ssize_t r = read(fd_of(f), buf, n);
        if (r >= 0) {
            *got = size_t(r);
            return 1;
        }
        if (errno != EINTR) return 0;
    }
}

int os_write_raw(const os_file &f, const void *buf, size_t n) {
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t w = write(fd_of(f), p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (w == 0) {
            errno = EIO;
            return 0;
        }
        p += w;
        n -= size_t(w);
    }
    return 1;
}

int os_seek(const os_file &f, uint64_t offset) {
    if (OS_INJECTED(os_call_rewind)) return 0;
    return lseek(fd_of(f), off_t(offset), SEEK_SET) == off_t(offset) ? 1 : 0;
}

int os_sync(const os_file &f) {
    if (OS_INJECTED(os_call_sync)) return 0;
#if defined(__linux__)
    return fdatasync(fd_of(f)) == 0 ? 1 : 0;
#else
    return fsync(fd_of(f)) == 0 ? 1 : 0;
#endif
}

#if defined(__linux__)
const int os_can_sync_volume = 1;
#else
const int os_can_sync_volume = 0;
#endif

#if defined(__linux__)
// File systems whose syncfs writes every file's data and records and waits for them, as each
// file's own fdatasync would. Elsewhere it may do less (a FUSE file system's server is asked
// to flush only where it says it can), and each file is flushed on its own.
bool flushes_whole_volume(int fd) {
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return false;
    switch (uint32_t(fs.f_type)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // XFS
    case 0x9123683E:  // Btrfs
    case 0xF2F52010:  // F2FS
    case 0x794C7630:  // overlayfs: its upper file system's syncfs
    case 0x01021994:  // tmpfs: nothing to write
        return true;
    default: return false;
    }
}
#endif

int os_sync_volume(const os_file &f) {
    if (OS_INJECTED(os_call_sync)) return 0;
#if defined(__linux__)
    if (!flushes_whole_volume(fd_of(f))) {
        errno = ENOTSUP;
        return 0;
    }
    // A syncfs flushes the disk's cache before it writes the file system's last records, which
    // on a file system without a journal may hold a file's size and where its blocks are: the
    // second one's flush takes those to the disk too.
    return syncfs(fd_of(f)) == 0 && syncfs(fd_of(f)) == 0 ? 1 : 0;
#else
    (void)f;
    errno = ENOSYS;
    return 0;
#endif
}

const int os_can_replace_open_file = 1;

void os_start_sync(const os_file &f) {
#if defined(__linux__)
    sync_file_range(fd_of(f), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)f;
#endif
}

void os_reserve(const os_file &f, uint64_t offset, size_t n) {
#if defined(__linux__)
    if (n > 0) (void)fallocate(fd_of(f), 0, off_t(offset), off_t(n));
#else
    (void)f, (void)offset, (void)n;
#endif
}

size_t os_open_files_allowed() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return size_t(limit.rlim_cur);
}

void os_make_room_for_files(size_t n) {
    n = std::min({n, os_open_files_allowed(), size_t(1) << 20});
    if (n == 0) return;
    const int code = errno;
    // A descriptor placed at the highest number makes the table that large; the table keeps
    // its size when the descriptor is closed.
#if defined(O_PATH)
    int fd = open("/", O_PATH | O_CLOEXEC);
#else
    int fd = open("/", O_RDONLY | O_CLOEXEC);
#endif
    if (fd >= 0 && size_t(fd) < n - 1) {
        int high = fcntl(fd, F_DUPFD_CLOEXEC, int(n - 1));
        if (high >= 0) close(high);
    }
    if (fd >= 0) close(fd);
    errno = code;
}

int os_close(os_file *f) {
    if (f->handle < 0) return 1;
    bool injected = OS_INJECTED(os_call_close);
    uint32_t code = errno;
    int r = close(fd_of(*f));
    f->handle = -1;
    if (injected) {  // released all the same, as a close that reports an error is
        errno = int(code);
        return 0;
    }
    // On Linux the descriptor is gone even when close reports EINTR.
    return (r == 0 || errno == EINTR) ? 1 : 0;
}

int os_fstat(const os_file &f, os_stat *st) {
    if (OS_INJECTED(os_call_fstat)) return 0;
    struct stat s;
    if (fstat(fd_of(f), &s) != 0) return 0;
    fill_stat(s, st);
    return 1;
}

int os_stat_path(const char *path, os_stat *st, int follow) {
    if (OS_INJECTED(os_call_stat)) return 0;
    struct stat s;
    lookup at = look_up(path);
    if (fstatat(at.dir, at.name, &s, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) return 0;
    fill_stat(s, st);
    return 1;
}

int os_remove(const char *path) {
    if (OS_INJECTED(os_call_remove)) return 0;
    lookup at = look_up(path);
    return unlinkat(at.dir, at.name, 0) == 0 ? 1 : 0;
}

int os_replace(const char *from, const char *to) {
    if (OS_INJECTED(os_call_replace)) return 0;
    // rename(2) puts the new name in place in one step: at every moment the name holds either
    // the old file or the new one, whose data the caller has already flushed to the disk.
    lookup a = look_up(from);
    lookup b = look_up(to);
    return renameat(a.dir, a.name, b.dir, b.name) == 0 ? 1 : 0;
}

int os_link_target(const char *path, std::string *target) {
    if (OS_INJECTED(os_call_link_target)) return 0;
    struct stat s;
    lookup at = look_up(path);
    if (fstatat(at.dir, at.name, &s, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    if (!S_ISLNK(s.st_mode)) {
        *target = path;
        return 1;
    }
    char *real = realpath(path, nullptr);
    if (!real) return 0;
    *target = real;
    free(real);
    return 1;
}

int os_copy_attributes(const os_file &f, const char *, const os_stat &st) {
    if (OS_INJECTED(os_call_copy_attributes)) return 0;
    // The owner can only be given back by root; elsewhere the file stays the caller's.
    static const bool as_root = geteuid() == 0;
    if (as_root && fchown(fd_of(f), uid_t(st.owner), gid_t(st.group)) != 0) return 0;
    return fchmod(fd_of(f), mode_t(st.attributes & 07777)) == 0 ? 1 : 0;
}

int os_open_for_times(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_times)) return 0;
    return open_into(path, O_RDONLY | O_NONBLOCK, 0, f);
}

namespace {

// The times to set: the last-write time given, the last access left as it is.
void mtime_only(int64_t mtime, struct timespec ts[2]) {
    ts[0].tv_sec = 0;
    ts[0].tv_nsec = UTIME_OMIT;
    ts[1] = from_file_time(mtime);
}

}  // namespace

int os_set_mtime(const os_file &f, int64_t mtime) {
    if (OS_INJECTED(os_call_set_mtime)) return 0;
    struct timespec ts[2];
    mtime_only(mtime, ts);
    return futimens(fd_of(f), ts) == 0 ? 1 : 0;
}

int os_path_mtime(const char *path, int64_t *mtime, int set) {
    if (OS_INJECTED(os_call_open_times)) return 0;
    if (OS_INJECTED(set ? os_call_set_mtime : os_call_get_mtime)) return -1;
    // By name, through the folder held: one call where an open, a look and a close took three.
    lookup at = look_up(path);
    if (!set) {
        struct stat s;
        if (fstatat(at.dir, at.name, &s, 0) != 0) return 0;
        *mtime = to_file_time(s.st_mtim);
        return 1;
    }
    struct timespec ts[2];
    mtime_only(*mtime, ts);
    if (utimensat(at.dir, at.name, ts, 0) == 0) return 1;
    // A name that leads nowhere is a file not reached; anything else (not the owner, a
    // read-only file system) is the time refused.
    return errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENAMETOOLONG ? 0 : -1;
}

int os_open_folder(const char *path, os_folder *folder) {
    int fd;
    do {
        fd = open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return 0;
    folder->handle = fd;
    folder->path = path;
    return 1;
}

const os_folder *os_use_folder(const os_folder *folder) {
    const os_folder *was = held_folder;
    held_folder = folder;
    return was;
}

const os_folder *os_folder_in_use() { return held_folder; }

void os_close_folder(os_folder *folder) {
    if (held_folder == folder) held_folder = nullptr;
    if (folder->handle >= 0) close(int(folder->handle));
    folder->handle = -1;
}

const int os_listing_shows_links = 1;

int os_list_dir(const char *dir, std::vector<os_dir_entry> *out, void (*on_progress)(),
                int kinds_only) {
    out->clear();
    if (OS_INJECTED(os_call_list_open)) return 0;
    // opendir rather than open and fdopendir: the latter asks the kernel twice more about the
    // descriptor it is given, for every folder listed.
    DIR *d = opendir(dir);
    if (!d) return 0;
    const int dfd = dirfd(d);
    size_t seen = 0;
    int result = 1;
    // Plain files and folders are known from the listing itself (kind and inode; the device is
    // the folder's): only links and entries of unknown kind need a look of their own.
    struct stat folder;
    const bool from_listing = kinds_only && fstat(dfd, &folder) == 0;
    for (;;) {
        errno = 0;
        struct dirent *e = OS_INJECTED(os_call_list_next) ? nullptr : readdir(d);
        if (!e) {
            if (errno != 0) result = -1;  // broke off: what was listed is kept
            break;
        }
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        os_dir_entry entry;
        entry.name = e->d_name;
        if (from_listing && (e->d_type == DT_REG || e->d_type == DT_DIR)) {
            entry.is_dir = e->d_type == DT_DIR;
            entry.is_regular = e->d_type == DT_REG;
            entry.id.volume = uint64_t(folder.st_dev);
            entry.id.index = uint64_t(e->d_ino);
            out->push_back(std::move(entry));
            continue;
        }
        struct stat s;
        if (OS_INJECTED(os_call_stat) || fstatat(dfd, e->d_name, &s, AT_SYMLINK_NOFOLLOW) != 0) {
            // Listed but not seen (gone in between, or the system failed): the walk says so.
            entry.error = errno ? uint32_t(errno) : uint32_t(EIO);
        } else {
            entry.is_link = S_ISLNK(s.st_mode);
            entry.is_dir = S_ISDIR(s.st_mode);
            entry.is_regular = S_ISREG(s.st_mode);
            entry.size = uint64_t(s.st_size);
            entry.mtime = to_file_time(s.st_mtim);
            entry.id.volume = uint64_t(s.st_dev);
            entry.id.index = uint64_t(s.st_ino);
            if (entry.is_link) {
                // A link to a file counts as that file; a link to a folder is never entered.
                struct stat t;
                if (fstatat(dfd, e->d_name, &t, 0) == 0 && S_ISREG(t.st_mode)) {
                    entry.is_regular = true;
                    entry.size = uint64_t(t.st_size);
                    entry.mtime = to_file_time(t.st_mtim);
                    entry.id.volume = uint64_t(t.st_dev);
                    entry.id.index = uint64_t(t.st_ino);
                } else {
                    entry.size = 0;
                }
            }
        }
        out->push_back(std::move(entry));
        if (on_progress && (++seen % 4096) == 0) on_progress();
    }
    uint32_t code = errno;
    closedir(d);
    std::sort(out->begin(), out->end(),
              [](const os_dir_entry &a, const os_dir_entry &b) { return a.name < b.name; });
    errno = int(code);
    return result;
}

int os_open_log(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_log)) return 0;
    return open_into(path, O_RDWR | O_CREAT | O_TRUNC, 0666, f);
}

int64_t os_time_now() { return int64_t(time(nullptr)); }

int os_local_time(int64_t seconds, struct tm *out) {
    time_t t = time_t(seconds);
    return localtime_r(&t, out) ? 1 : 0;
}

int64_t os_file_time_now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return to_file_time(ts);
}

void os_sleep_ms(int ms) {
    if (ms <= 0) return;
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {}
}

int os_make_dir(const char *path) {
    if (OS_INJECTED(os_call_make_dir)) return 0;
    return mkdir(path, 0700) == 0 ? 1 : 0;
}

int os_open_append(const char *path, os_file *f) {
    if (OS_INJECTED(os_call_open_read)) return 0;
    return open_into(path, O_WRONLY | O_APPEND, 0, f);
}

int os_remove_dir(const char *path) { return rmdir(path) == 0 ? 1 : 0; }

int os_hard_link(const char *existing, const char *new_path) {
    if (OS_INJECTED(os_call_hard_link)) return 0;
    return link(existing, new_path) == 0 ? 1 : 0;
}

bool os_error_is_cross_volume(uint32_t code) { return code == EXDEV; }

std::string os_user_state_dir() {
    const char *state = getenv("XDG_STATE_HOME");
    if (state && state[0] == '/') return state;
    const char *home = getenv("HOME");
    if (!home || !home[0]) return "";
    return std::string(home) + "/.local/state";
}

// --- code pages ---------------------------------------------------------------------------

namespace {

// The name glibc's iconv knows a Windows code page by; "" for none. The Windows pages of
// one byte per character are "WINDOWS-125x"; the double-byte ones keep their "CP" names
// (CP932 is Microsoft's Shift JIS, CP936 its GBK, CP949 its Unified Hangul, CP950 its Big5).
std::string iconv_name(uint32_t cp) {
    if (cp >= 1250 && cp <= 1258) return "WINDOWS-" + std::to_string(cp);
    if (cp >= 28591 && cp <= 28599) return "ISO-8859-" + std::to_string(cp - 28590);
    switch (cp) {
    case 65001: return "UTF-8";
    case 20127: return "ASCII";
    case 28603: return "ISO-8859-13";
    case 28605: return "ISO-8859-15";
    case 20866: return "KOI8-R";
    case 21866: return "KOI8-U";
    case 54936: return "GB18030";
    case 10000: return "MACINTOSH";
    // UTF-16 and UTF-32 are no byte code pages, UTF-7 no text to search byte by byte.
    case 1200:
    case 1201:
    case 12000:
    case 12001:
    case 65000: return "";
    default: return "CP" + std::to_string(cp);  // CP437, CP850, CP866, CP874, CP1361, ...
    }
}

// Each thread keeps the converters of the code pages it used last, so that a conversion costs
// no iconv_open.
struct converter_pair {
    uint32_t cp = 0;
    iconv_t to_utf8 = iconv_t(-1);
    iconv_t from_utf8 = iconv_t(-1);
};

struct converters {
    converter_pair slot[4];
    unsigned next = 0;
    ~converters() {
        for (converter_pair &c : slot) {
            if (c.to_utf8 != iconv_t(-1)) iconv_close(c.to_utf8);
            if (c.from_utf8 != iconv_t(-1)) iconv_close(c.from_utf8);
        }
    }
};

thread_local converters thread_converters;

// Both converters between cp and UTF-8, or null when glibc lacks either.
const converter_pair *converters_for(uint32_t cp) {
    converters &all = thread_converters;
    for (const converter_pair &c : all.slot)
        if (c.to_utf8 != iconv_t(-1) && c.cp == cp) return &c;
    std::string name = iconv_name(cp);
    if (name.empty()) return nullptr;
    iconv_t to = iconv_open("UTF-8", name.c_str());
    if (to == iconv_t(-1)) return nullptr;
    iconv_t from = iconv_open(name.c_str(), "UTF-8");
    if (from == iconv_t(-1)) {
        iconv_close(to);
        return nullptr;
    }
    converter_pair &c = all.slot[all.next++ % 4];
    if (c.to_utf8 != iconv_t(-1)) iconv_close(c.to_utf8);
    if (c.from_utf8 != iconv_t(-1)) iconv_close(c.from_utf8);
    c.cp = cp;
    c.to_utf8 = to;
    c.from_utf8 = from;
    return &c;
}

// One conversion through cd, whole or not at all: 1 done, 0 an invalid or incomplete input or
// a character the other side lacks (or one glibc counts as converted irreversibly), with
// *incomplete telling the input merely ended inside a character.
int run_iconv(iconv_t cd, const std::string &in, std::string *out, bool *incomplete = nullptr) {
    out->clear();
    if (incomplete) *incomplete = false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // the initial state
    char *src = const_cast<char *>(in.data());      // iconv does not write through it
    size_t left = in.size();
    std::string buf(in.size() * 4 + 16, '\0');
    size_t done = 0;
    bool flushing = false;
    for (;;) {
        char *dst = &buf[done];
        size_t room = buf.size() - done;
        size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &room)
                            : iconv(cd, &src, &left, &dst, &room);
        done = size_t(dst - buf.data());
        if (r == size_t(-1)) {
            if (errno == E2BIG) {
                buf.resize(buf.size() * 2);
                continue;
            }
            if (incomplete) *incomplete = errno == EINVAL;
            return 0;
        }
        if (r > 0) return 0;  // irreversible conversions: not exact
        if (flushing) break;
        flushing = true;  // a stateful encoding returns to its initial state
    }
    buf.resize(done);
    *out = std::move(buf);
    return 1;
}

int convert_exactly(uint32_t cp, bool to_utf8, const std::string &in, std::string *out) {
    out->clear();
    const converter_pair *c = converters_for(cp);
    if (!c) return -1;
    std::string result, again;
    if (!run_iconv(to_utf8 ? c->to_utf8 : c->from_utf8, in, &result)) return 0;
    if (!run_iconv(to_utf8 ? c->from_utf8 : c->to_utf8, result, &again) || again != in) return 0;
    *out = std::move(result);
    return 1;
}

}  // namespace

uint32_t os_legacy_code_page() { return 1252; }

int os_convert_from_utf8(uint32_t code_page, const std::string &utf8, std::string *out) {
    return convert_exactly(code_page, false, utf8, out);
}

int os_convert_to_utf8(uint32_t code_page, const std::string &bytes, std::string *out) {
    return convert_exactly(code_page, true, bytes, out);
}

bool os_dbcs_lead_byte(uint32_t code_page, unsigned char b) {
    // The four double-byte pages of Windows, with Windows' lead bytes: glibc leaves the
    // user-defined rows of 949 and 950 out, where Windows counts them.
    switch (code_page) {
    case 932: return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    case 936:
    case 949:
    case 950: return b >= 0x81 && b <= 0xFE;
    // Characters of more than two bytes: no double-byte code page.
    case 65001:
    case 54936: return false;
    default: break;
    }
    // Elsewhere: a byte that alone is an incomplete character and completes with one more.
    const converter_pair *c = converters_for(code_page);
    if (!c) return false;
    std::string out;
    bool incomplete = false;
    if (run_iconv(c->to_utf8, std::string(1, char(b)), &out, &incomplete) || !incomplete)
        return false;
    for (int t = 0; t < 256; ++t) {
        const char pair[2] = {char(b), char(t)};
        if (run_iconv(c->to_utf8, std::string(pair, 2), &out)) return true;
    }
    return false;
}
