// The undo store: what a run keeps to give every file it rewrites back, and the undo itself.
//
// The store is a folder of the user's (undo_store_dir), one folder per run inside it, named by
// a number that grows from run to run. A run's folder holds its journal and the original of
// each file it rewrites, kept just before the file is flushed and swapped: a second name of
// the original (a hard link) where the store shares the file's volume, which costs neither
// time nor space until the run's folder goes, and a copy elsewhere. The journal is a text
// file, one record a line: the run's Path, time and texts, then for each file the original
// kept and what the run wrote in its place (size and content hash), the temporary file's name
// just before it gets one, and, where temporary files are made with a name, that name before
// the file is made and its identity once it is. A record is on the disk before the file's swap, so a run
// killed at any moment can be undone like any other. The store keeps the last runs_kept runs.
//
// Nothing is ever added to the user's tree: the originals stay in the store until the run's
// folder goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/os.h"

// The runs the store keeps; the oldest go when a run starts.
constexpr size_t runs_kept = 20;

// The store's folder: <user state>/sarvelt/undo (Linux) or %LOCALAPPDATA%\Sarvelt\undo
// (Windows). Empty when the environment names no user folder.
std::string undo_store_dir();

// --- keeping, during a run -----------------------------------------------------------------

struct undo_run;
// Lets go of a run's journal (closed without its end, as a killed run's is) and its state.
struct undo_run_closer {
    void operator()(undo_run *run) const;
};
using undo_run_ptr = std::unique_ptr<undo_run, undo_run_closer>;

// Starts the journal of a run over root with the search and replacement texts: the store is
// made where it is missing, the oldest runs beyond runs_kept - 1 go, and the temporary files
// that killed runs on the same root left behind are removed. Null with *why (for the user)
// when the store cannot be made or written.
undo_run_ptr undo_begin(const std::string &root, const std::string &search,
                            const std::string &replace, std::string *why);
// The run's folder in the store, where its originals are kept.
const std::string &undo_run_dir(const undo_run &run);

// The runs that go when a run starts leave the store at once (their folders are renamed) and
// are removed meanwhile, by default by a thread of the run's that it waits for before it ends.
// A program that ends with its run may hand that removal to a process that outlives it, so
// that its user does not wait for the disk to free the originals: start is called instead of
// the thread, must get undo_remove_gone called, and returns false if it could not (the thread
// does it then).
void undo_hand_off_removal(bool (*start)());
// Removes what is left of every run that went, in the store of this environment's user.
void undo_remove_gone();

// What a rewrite tells the store of a file it is about to swap.
struct undo_file {
    std::string path;       // the file the swap replaces (a link's target)
    os_stat before;         // the file as it was read: identity, time, attributes
    uint64_t new_size = 0;  // what the rewrite wrote in its place
    uint64_t new_hash = 0;  // (content_hash)
    std::string temp_path;  // the temporary file's name, where it has one already
};

// Keeps the original of the file and writes its record; any thread. Returns the record's
// number (from 1), or 0 with the system's error set when the original cannot be kept.
uint64_t undo_keep(undo_run &run, const undo_file &file);
// Puts every record written so far on the disk (one flush for the records of several
// threads). 0 with the system's error set on failure.
int undo_flush(undo_run &run);
// The temporary file of record entry is about to get the name temp_path, just before its swap:
// a run killed in between leaves it, and the undo (or the next run on the same Path) removes it.
void undo_note_temp(undo_run &run, uint64_t entry, const std::string &temp_path);
// A temporary file with a name is about to be made at temp_path (making), and was made there
// as the file id (made), before anything is written to it: a run killed before its swap may
// leave it, and the undo (or the next run on the same Path) removes it. Not flushed, as
// undo_note_temp.
void undo_note_making(undo_run &run, const std::string &temp_path);
void undo_note_made(undo_run &run, const std::string &temp_path, const os_file_id &id);
// The run is over: no temporary file of it is left anywhere. The journal is closed; the run's
// folder goes when it kept nothing.
void undo_end(undo_run &run);

// --- undoing -------------------------------------------------------------------------------

// One file of a run, as its journal tells it.
struct undo_entry {
    uint64_t number = 0;
    bool copied = false;     // the original was copied into the store (else linked)
    std::string kept;        // the original's name in the store
    std::string path;        // the file
    os_file_id original_id;  // the original's identity
    int64_t mtime = 0;       // the original's last-write time
    uint32_t attributes = 0;
    uint32_t owner = 0, group = 0;  // POSIX
    uint64_t new_size = 0;
    uint64_t new_hash = 0;
    std::string temp_path;  // the temporary file's name before the swap, if noted
};

// A temporary file with a name that a run made (or was about to make), as its journal tells it.
struct undo_made_temp {
    std::string path;
    bool id_known = false;  // made: id is the file's (else only the intent was noted)
    os_file_id id;
    int64_t noted = 0;      // (the intent) when it was noted, as a file time
};

// A run kept in the store, with what its journal tells.
struct undo_record {
    std::string dir;  // the run's folder
    std::string root, search, replace;
    int64_t started = 0;  // seconds since 1970, as os_time_now
    bool ended = false;   // the run was over (not killed)
    bool undone = false;
    std::vector<undo_entry> entries;
    std::vector<undo_made_temp> made_temps;
    // What of the journal could not be read (a damaged line), for the user.
    std::vector<std::string> unreadable;
    // The last line of a run that did not end, cut short by the kill in the middle of its
    // write. Its file was not swapped: a file's record is written whole and flushed before
    // its swap. Told, but nothing is missing for it.
    std::string cut_off;
};

// The latest run over root that is not undone yet. 1 found, 0 none.
int undo_find_latest(const std::string &root, undo_record *out);

enum class undo_outcome {
    given_back,     // the file holds its original again, with its time
    as_it_was,      // the run never swapped it (killed or failed before)
    changed_since,  // edited, replaced or deleted since the run: left as it is
    failed,         // it could not be given back (the system's error is set)
};

// Gives the file of entry its original back, if it still holds exactly what the run wrote, by
// one atomic swap; its last-write time becomes the one it had before the run. A temporary file
// the run left behind for it is removed.
undo_outcome undo_give_back(const undo_entry &entry);

// Removes the temporary files with names that r made and left behind, where each is still the
// file it made (its identity), or, when only the intent to make it was noted, empty and made
// since (a file of the user's under a name the run tried stays).
void undo_remove_made_temps(const undo_record &r);

// The run is undone: it is not found again, and the run before it is next.
int undo_mark_undone(const undo_record &record);
