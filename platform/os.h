// The operating-system seam: files, folders, file times, the last system error, the clock
// and sleeping. engine/, log/ and scan/ reach the operating system only through these
// functions; os_posix.cpp and os_win.cpp implement them.
//
// Results follow the program's rule: 1 for success, 0 for failure. After a failure,
// os_last_error() holds the system's error code (errno on POSIX, GetLastError on Windows).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// An open file. handle is a file descriptor on POSIX and a HANDLE on Windows; -1 is "none".
// One owner at a time: an os_file cannot be copied, and moving one hands its handle over and
// leaves the source without one (-1), so that a handle is never closed twice nor left to two
// owners. Nothing closes it but os_close.
struct os_file {
    intptr_t handle = -1;

    os_file() = default;
    os_file(const os_file &) = delete;
    os_file &operator=(const os_file &) = delete;
    os_file(os_file &&from) noexcept : handle(from.handle) { from.handle = -1; }
    os_file &operator=(os_file &&from) noexcept {
        if (this != &from) {
            handle = from.handle;
            from.handle = -1;
        }
        return *this;
    }
};

// What identifies a file whatever name reaches it: device and inode on POSIX, volume serial
// number and file index on Windows. Two names with equal ids are the same file.
struct os_file_id {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const os_file_id &o) const { return volume == o.volume && index == o.index; }
    bool operator!=(const os_file_id &o) const { return !(*this == o); }
};

// What the program needs to know of a file. Times are file times: 100-nanosecond intervals
// since 1601-01-01 00:00 UTC, on every platform.
struct os_stat {
    uint64_t size = 0;
    int64_t mtime = 0;
    uint32_t attributes = 0;  // st_mode on POSIX, FILE_ATTRIBUTE_* bits on Windows
    uint32_t owner = 0;       // POSIX user and group ids; 0 on Windows
    uint32_t group = 0;
    os_file_id id;
    bool is_dir = false;      // a folder
    bool is_regular = false;  // an ordinary file (not a folder, FIFO, socket or device)
    bool is_link = false;     // a symbolic link or other reparse point (only without following)
    bool read_only = false;   // POSIX: no write bit for the owner; Windows: the read-only attribute
};

// One entry of a folder listing, without following links.
struct os_dir_entry {
    // The name in the program's code page. Where the code page cannot hold it exactly
    // (Windows without UTF-8 as its code page), unrepresentable is set and name is a readable
    // form of it for messages only ("<U+03A9>" for each character the code page lacks): no
    // name that conversion changed is ever handed on, so it can never point at another file.
    std::string name;
    bool unrepresentable = false;
    bool is_dir = false;      // a real folder: safe to enter
    bool is_link = false;     // a link or reparse point (to a folder or a file)
    bool is_regular = false;  // an ordinary file, or a link whose target is one
    uint64_t size = 0;        // for a link to a file: the target's size
    int64_t mtime = 0;        // last-write time (the target's, for a link to a file)
    // The file's identity (the target's, for a link to a file) where the listing gives it
    // for free; all zero where it does not (then a caller that needs it asks os_stat_path).
    os_file_id id;
    // The system's error when the entry's facts could not be read (the listing knows its name
    // only); 0 otherwise.
    uint32_t error = 0;
};

// --- errors -------------------------------------------------------------------------------
uint32_t os_last_error();
void os_set_last_error(uint32_t code);
// The system's own words for an error code, without a trailing line feed.
std::string os_error_text(uint32_t code);
// Is this error code "the file already exists"?
bool os_error_is_exists(uint32_t code);
// Is this error one that another program causes by holding the file at path open for a moment
// (a scanner, an indexer, a backup tool, a reader): a sharing or lock violation, or access
// denied on a file that is not read-only? Never on POSIX, which has no share modes.
bool os_error_is_transient_lock(uint32_t code, const char *path);

// --- path lengths -------------------------------------------------------------------------
// The longest path the file calls below take, in the system's own unit: on Windows UTF-16
// units (a long path reaches the system in its \\?\ form, which may add up to 6 units, and
// the system takes 32,767 with the terminator: 32,760), on POSIX bytes (PATH_MAX less its
// terminator: 4,095). A longer path is refused before it reaches the system.
extern const size_t os_path_longest;
// The unit's name in messages: "characters" on Windows (UTF-16 units), "bytes" on POSIX.
extern const char *const os_path_unit;
// The length of path (bytes bytes in the program's code page) in that unit. Never more than
// bytes, so a path of at most os_path_longest bytes fits without being counted.
size_t os_path_length(const char *path, size_t bytes);

// --- whole files --------------------------------------------------------------------------
// Opens an existing file for reading (binary, shared for reading and writing with others).
// Never waits, whatever the path names; reading is meant for regular files only.
int os_open_read(const char *path, os_file *f);
// Creates a new file for reading and writing; fails (with an "exists" error) if the name is
// taken. With deleted_on_close given, the file is asked to go when its handle is closed unless
// os_keep_temp is called first (Windows), so that a process that dies leaves nothing behind;
// *deleted_on_close tells whether that holds (then the name is no longer the caller's once the
// handle is closed).
int os_create_new(const char *path, os_file *f, int *deleted_on_close = nullptr);
// Creates a file in the folder dir that has no name yet (Linux: O_TMPFILE), so that nothing is
// left behind if the process dies before os_name_temp gives it one. Where the file system (or
// the platform) cannot, it fails with an error for which os_error_is_unsupported is true.
int os_create_unnamed(const char *dir, os_file *f);
bool os_error_is_unsupported(uint32_t code);
// Gives the file f, made by os_create_unnamed, the name path; fails with an "exists" error if
// the name is taken.
int os_name_temp(const os_file &f, const char *path);
// The name the open file f has now, which differs from the one it was given when a folder on
// its path was renamed since (Linux, from /proc). 0 where it cannot be told, or the file has
// no name.
int os_current_name(const os_file &f, std::string *name);
// The file f, made by os_create_new to go with its handle, stays when its handle is closed.
int os_keep_temp(const os_file &f);
// Reads up to n bytes; *got = 0 at the end of the file.
int os_read(const os_file &f, void *buf, size_t n, size_t *got);
// Writes all n bytes or fails.
int os_write_all(const os_file &f, const void *buf, size_t n);
// Moves to offset bytes from the start of the file.
int os_seek(const os_file &f, uint64_t offset);
// Moves to the start of the file.
inline int os_rewind(const os_file &f) { return os_seek(f, 0); }
// Flushes the file's data to the disk.
int os_sync(const os_file &f);
// Flushes everything written to the volume that holds f, with its file system's records: one
// wait for many files instead of one each (Linux, on the file systems where that flushes as
// much as os_sync of each file would). 0 where it failed or cannot be done there, which tells
// nothing of any one file: os_sync each then tells which fails.
int os_sync_volume(const os_file &f);
// 1 where os_sync_volume can succeed on some file systems.
extern const int os_can_sync_volume;
// 1 where os_replace may replace a file that is still open (POSIX); 0 on Windows, where an
// open handle on it makes the replace fail.
extern const int os_can_replace_open_file;
// Starts writing the file's data written so far to the disk, without waiting for it, so that
// a later os_sync has less left to wait for (Linux). Elsewhere it does nothing. Its failure
// costs nothing but that head start, so it is not reported.
void os_start_sync(const os_file &f);
// Gives the file its disk space for the n bytes about to be written at offset, before they
// are written (Linux). Where the file system puts off choosing the blocks of new data until
// it writes them back, a rename over an existing file makes it choose them and start writing
// there and then, on the thread that renames; space given beforehand leaves that rename
// nothing to do. Elsewhere, or where the file system cannot, it does nothing; the write that
// follows reports what matters.
void os_reserve(const os_file &f, uint64_t offset, size_t n);
// How many files the process may hold open at once (POSIX: the soft limit on descriptors);
// effectively no limit on Windows.
size_t os_open_files_allowed();
// Makes room at once for n files open at the same time (best effort; nothing on Windows). On
// Linux the table of a process's open files grows as it fills, and while several threads share
// it each growth waits for every core to pass a quiescent point, with no core at work
// meanwhile (bench/bounds.md, "Growing the table of open files", has the figures). Done before
// the process starts its threads, the growth waits for nothing.
void os_make_room_for_files(size_t n);
// Closes the file and sets handle to -1; a close that reports an error gives 0.
int os_close(os_file *f);
int os_fstat(const os_file &f, os_stat *st);

// --- names --------------------------------------------------------------------------------
// Facts about a path; follow = 0 describes a link itself rather than its target.
int os_stat_path(const char *path, os_stat *st, int follow);
int os_remove(const char *path);
// Puts from in the place of to in one step, replacing to (Windows: written through to the
// disk).
int os_replace(const char *from, const char *to);
// If path is a symbolic link (or other reparse point) to a file, *target gets the path of the
// file it finally leads to; otherwise *target = path. Returns 0 if a link cannot be followed.
int os_link_target(const char *path, std::string *target);
// Gives the file open in f (named path) the permission bits or attributes described by st.
int os_copy_attributes(const os_file &f, const char *path, const os_stat &st);

// --- a folder held open -----------------------------------------------------------------
// A walk that handles the files of one folder after another can look each of them up in the
// folder it holds open, instead of through every folder of the path each time (POSIX; on
// Windows os_open_folder fails and the paths are used as they are).
struct os_folder {
    intptr_t handle = -1;
    std::string path;  // as the caller spells it
};
// Opens the folder at path (following links, as a path would). 0 where it cannot.
int os_open_folder(const char *path, os_folder *folder);
// From now on, on this thread only, every call of this seam given a path that is the held
// folder's path followed by one name (or the folder's own path, for os_create_unnamed) looks
// it up in the folder held open, which stays the same folder whatever is renamed meanwhile; a
// null folder ends that. Calls about one file must all go the same way: the walk sets a folder
// only between files, never during one. Returns the folder used until now.
const os_folder *os_use_folder(const os_folder *folder);
// The folder this thread looks names up in (os_use_folder), or null.
const os_folder *os_folder_in_use();
void os_close_folder(os_folder *folder);

// --- last-write time ----------------------------------------------------------------------
// Opens an existing file for reading and writing its times, with no sharing (Windows:
// GENERIC_READ | FILE_WRITE_ATTRIBUTES, OPEN_EXISTING).
int os_open_for_times(const char *path, os_file *f);
// Sets the last-write time and leaves the other times as they are.
int os_set_mtime(const os_file &f, int64_t mtime);
// Reads (set 0) or sets (set 1) the last-write time of the file at path, leaving the other
// times as they are, in the fewest calls the system allows. Returns 1 when done; 0 when the
// file could not be reached (as os_open_for_times fails, and to be waited out the same way);
// -1 when it was reached but its time could not be read or set. Counts as one
// os_call_open_times and one os_call_get_mtime or os_call_set_mtime.
int os_path_mtime(const char *path, int64_t *mtime, int set);

// --- folders ------------------------------------------------------------------------------
// Lists every entry of a folder except "." and "..", sorted by name (byte order). Calls
// on_progress (if given) every few thousand entries so a caller can keep a window alive.
// Returns 1 when the whole folder was listed; 0 when it cannot be listed at all; -1 when the
// listing broke off part-way: out then holds the entries listed before, and os_last_error()
// the reason. On Windows a drive alone ("C:") lists the drive's root, as join_path composes
// the paths of its entries. kinds_only = 1: the sizes and times of plain files and folders
// are not needed (they stay 0 where the listing does not give them for free, as on POSIX);
// their kinds and identities are still there, and links are still followed.
int os_list_dir(const char *dir, std::vector<os_dir_entry> *out, void (*on_progress)(),
                int kinds_only = 0);
// 1 where a listing tells every link from a plain file (POSIX). 0 on Windows: Wine lists a
// Unix link to a file as a plain file, so only a look at the file itself tells.
extern const int os_listing_shows_links;

// --- the session log's file ----------------------------------------------------------------
// Creates the file, or empties an existing one, for writing; others may read and write it
// meanwhile. Kept apart from the rewrite's own file calls, so that a test can make one fail
// without the other.
int os_open_log(const char *path, os_file *f);
// Writes all n bytes at the end of the log or fails.
int os_write_log(const os_file &f, const void *buf, size_t n);

// --- time ---------------------------------------------------------------------------------
// Seconds since 1970-01-01 00:00 UTC.
int64_t os_time_now();
// The local time of seconds (since 1970-01-01 00:00 UTC), as the C library's calendar record.
// Returns 0 if it cannot be told.
int os_local_time(int64_t seconds, struct tm *out);
// The current time as a file time (see os_stat).
int64_t os_file_time_now();
void os_sleep_ms(int ms);

// --- a folder of the program's own (the undo store) -----------------------------------------
// Makes the folder path; its parent must exist. Fails with an "exists" error
// (os_error_is_exists) when the name is taken, by a folder too.
int os_make_dir(const char *path);
// Opens the existing file path for writing at its end (each write goes after what is there).
int os_open_append(const char *path, os_file *f);
// Removes the folder path, which must be empty.
int os_remove_dir(const char *path);
// Gives the file existing a second name, new_path, on the same volume (a hard link). Fails
// with an error for which os_error_is_cross_volume is true where they are on two volumes, and
// with another where the file system has no such links.
int os_hard_link(const char *existing, const char *new_path);
bool os_error_is_cross_volume(uint32_t code);
// The user's folder for what a program keeps between runs: %LOCALAPPDATA% on Windows;
// $XDG_STATE_HOME, else ~/.local/state, on Linux. Empty when the environment names none.
std::string os_user_state_dir();

// --- injected failures --------------------------------------------------------------------
// Every file, folder and log call above counts as one call of its kind. A test can make the
// k-th call of a kind (or of any kind) fail, or every such call from the k-th on, with an error
// it chooses: the call then fails as the system would, without doing its work (a close still
// releases the file). When nothing is armed each call pays one load and one branch.
enum os_call {
    os_call_open_read,
    os_call_create_new,
    os_call_create_unnamed,
    os_call_name_temp,
    os_call_keep_temp,
    os_call_read,
    os_call_write,
    os_call_rewind,
    os_call_sync,
    os_call_close,
    os_call_fstat,
    os_call_stat,  // also the look at each entry of a listing
    os_call_remove,
    os_call_replace,
    os_call_link_target,
    os_call_copy_attributes,
    os_call_open_times,
    os_call_get_mtime,
    os_call_set_mtime,
    os_call_list_open,  // starting a folder's listing
    os_call_list_next,  // each further step of a listing
    os_call_open_log,
    os_call_write_log,
    os_call_make_dir,
    os_call_hard_link,
    os_call_kinds,
    os_call_any = os_call_kinds,
};

enum os_fault {
    os_fault_disk_full,
    os_fault_io,
    os_fault_access_denied,
    os_fault_sharing_violation,
    os_fault_name_too_long,
    os_fault_not_found,
    os_fault_unsupported,  // the file system cannot do what was asked (a file without a name)
};

struct os_injection {
    os_call kind = os_call_any;
    uint64_t k = 1;        // the first call to fail, counting from 1
    bool persist = false;  // every call from the k-th on fails, not only the k-th
    os_fault fault = os_fault_io;
};

// What an armed injection met since it was armed.
struct os_injection_result {
    uint64_t calls[os_call_kinds + 1] = {};  // calls made, by kind (the last: all kinds)
    uint64_t failed = 0;                     // calls made to fail
    std::vector<uintptr_t> sites;            // where the failed calls came from, each once
};

void os_inject(const os_injection &injection);
void os_inject_clear();
os_injection_result os_injected_so_far();
// The system's error code that a fault stands for on this platform.
uint32_t os_fault_code(os_fault fault);
// The name of a kind of call, for reports.
const char *os_call_name(os_call kind);

// For the implementations: is this call, made from site, to fail? Sets the error when it is.
extern std::atomic<int> os_injection_armed;
bool os_injected_call(os_call kind, void *site);
#define OS_INJECTED(kind)                                       \
    (os_injection_armed.load(std::memory_order_relaxed) != 0 && \
     os_injected_call((kind), __builtin_return_address(0)))

// --- code pages ---------------------------------------------------------------------------
// The code page a file without BOM that is not UTF-8 is taken to be in: on Windows the
// system's ANSI code page (from the system locale, not GetACP(), which the UTF-8 manifest makes
// 65001); on POSIX 1252 (windows-1252).
uint32_t os_legacy_code_page();
// Converts between UTF-8 and a code page, exactly or not at all: no best-fit character, no
// substitute, and the result must convert back to the same bytes. 1: *out holds the text in
// the other encoding; 0: the text cannot be converted exactly (a character the code page lacks,
// or input that is not valid in its own encoding); -1: the platform does not know the code
// page. *out is emptied unless 1. Safe on any thread.
int os_convert_from_utf8(uint32_t code_page, const std::string &utf8, std::string *out);
int os_convert_to_utf8(uint32_t code_page, const std::string &bytes, std::string *out);
// Does the byte b begin a two-byte character in the code page? false for every byte of a
// single-byte code page or one the platform does not know.
bool os_dbcs_lead_byte(uint32_t code_page, unsigned char b);
