// A file's rewrite in two halves, for callers that run them apart (update_file runs them one
// after the other).
//
// rewrite_prepare reads and searches the file and, when it holds an occurrence, writes its new
// text to a temporary file in the same folder and flushes it to the disk. It logs nothing,
// raises no mark and shows nothing, so any thread may run it. rewrite_commit, on the thread
// that owns the log, announces the file, then swaps and reports: rewrite_swap checks that the
// file is still what was read, puts the temporary file in its place in one step and puts the
// last-write time back, logging nothing itself; rewrite_report writes the log's lines for what
// came of it. rewrite_discard drops a prepared job without touching the file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/encoding.h"
#include "engine/engine.h"
#include "engine/temp_file.h"
#include "platform/os.h"

// Where a rewrite stopped short; it decides what the log says. The order carries no meaning.
enum rewrite_failure {
    rewrite_fine = 0,
    // Refused before the file is looked at (refused_before_announce).
    failed_no_path,
    failed_no_search,
    failed_path_too_long,
    failed_target_too_long,
    failed_temp_path_too_long,
    // Met after the file was announced.
    failed_open_source,
    failed_stat_source,
    failed_not_regular,
    failed_read_source,
    failed_runaway,
    failed_not_representable,  // the file's encoding cannot hold the replacement
    failed_bad_bytes,          // the file's bytes would not survive the trip through its encoding
    failed_read_only,
    failed_create_temp,
    failed_write_temp,
    failed_temp_permissions,
    failed_sync_temp,
    failed_read_time,
    failed_recheck,
    failed_changed,
    failed_set_temp_time,
    failed_keep_temp,
    failed_swap,
    failed_set_time,
    failed_keep_original,
};

// Where a preparation may make the temporary file.
enum temp_place {
    // Without a name where the file system can, else under a name, in the folder of the file the
    // name finally leads to.
    temp_anywhere,
    // A named one only in the folder of the name given, not in a link target's folder
    // elsewhere: the walk may list that folder before the link's turn. There the preparation is
    // deferred, for the caller to make in the link's turn.
    temp_named_beside,
    // Only one without a name: the folder is not listed yet, and a named one would be listed
    // with it. Where none can be had, the preparation is deferred.
    temp_unnamed_only,
};

struct rewrite_job;

// What keeps each file's original before its new text is swapped in, so that the file can be
// given back (the undo store). Called from the threads that prepare and flush files.
struct rewrite_keeper {
    // The job's temporary file holds its whole new text, new_size bytes hashing to new_hash
    // (content_hash.h), not flushed yet: keep the file's original and record both. A nonzero
    // number for the record, or 0 with the system's error set: the file is then not rewritten.
    virtual uint64_t keep(const rewrite_job &job, uint64_t new_size, uint64_t new_hash) = 0;
    // Puts what keep recorded on the disk; called with the temporary file's flush, before any
    // swap. false with the system's error set: the file is then not rewritten.
    virtual bool flush() = 0;
    // The temporary file of record kept is about to get the name temp_path (or to lose its
    // mark for deletion), just before its swap: a run killed in between leaves it there.
    virtual void naming(uint64_t kept, const std::string &temp_path) = 0;
    // A temporary file with a name is about to be made at temp_path (creating), and was made
    // there as the file id (created), before anything is written to it: where the system does
    // not remove a file marked to go with its handle (or at a loss of power) a run killed
    // before the swap leaves it, and then only these name it.
    virtual void creating(const std::string &temp_path) = 0;
    virtual void created(const std::string &temp_path, const os_file_id &id) = 0;

  protected:
    ~rewrite_keeper() = default;
};

// How the caller tells a preparation to stop, and what it may leave in the folder meanwhile.
struct prepare_options {
    // Raised: stop preparing between two blocks and drop what was made.
    const std::atomic<int> *cancel = nullptr;
    temp_place temp_may_go = temp_anywhere;
    // The flush of the temporary file to the disk is left to rewrite_flush (by another thread,
    // so that many flushes wait on the disk together); rewrite_commit flushes it otherwise.
    bool flush_later = false;
    // A file to be swapped stays open after its preparation (job->source) where the platform
    // can replace an open file: the swap then does not free the old file's blocks (on a disk
    // that is told of freed blocks this waits for the disk); its close, whenever the caller
    // closes job->source, does. rewrite_discard closes it too.
    bool keep_source = false;
    // The temporary file is given its disk space before each write (os_reserve): for where
    // nothing flushes it before the swap, whose rename would otherwise make the file system
    // choose the blocks and start writing them there and then. Where a flush writes the file
    // first, that flush chooses the blocks, and space given beforehand only makes the flush
    // record them once more as written.
    bool reserve_space = false;
    // Keeps each file's original before the file is flushed and swapped (none: nothing kept).
    rewrite_keeper *keeper = nullptr;
    // How files' encodings are taken: the run's one text_setup. Null: every file is taken byte
    // for byte as it always was, with the texts as they are (update_file without a setup).
    const text_setup *text = nullptr;
};

// What the caller knows of the file before the preparation looks at it.
struct file_facts {
    // The folder's listing showed a plain file under this name, not a link: the name is the
    // file, without a look of its own. Should a link take its place meanwhile, the last look
    // before the swap (which then does not follow links) finds another file.
    bool listed_plain = false;
};

// How the commit's report goes to the log.
struct report_options {
    // The log's entry for a file without occurrence may wait a moment to be written with the
    // next ones (log_message_may_wait): a run's walk, which writes what waits when it ends.
    bool log_may_wait = false;
};

// Where a job stands. Only a job that holds a new text (job_unflushed, job_ready) has a
// temporary file to swap in; a failed one has its reason in failure and code.
enum rewrite_state {
    job_unchanged,  // nothing to swap in: the file holds no occurrence (or is not prepared yet)
    job_unflushed,  // the temporary file holds the new text, not known to be on the disk yet
    job_ready,      // the temporary file holds the new text, on the disk: ready for its swap
    job_cancelled,  // the preparation was stopped: nothing to commit or report
    job_deferred,   // it needs a named temporary file, which it may not make yet
    job_failed,     // the rewrite stopped short (failure tells where)
};

// Does a job in this state hold a new text in its temporary file?
inline bool holds_new_text(rewrite_state state) {
    return state == job_unflushed || state == job_ready;
}

struct rewrite_job {
    std::string path;           // the file as the caller names it
    std::string real;           // the file the name finally leads to (through links)
    std::string dir;            // real's folder
    os_stat before;             // the file as it was read
    temp_file temp;             // the new text; open until the swap
    os_file source;             // the file as read, when kept open (keep_source)
    rewrite_state state = job_unchanged;  // what the job holds now
    bool name_is_file = false;  // path was taken for the file itself (listed_plain)
    rewrite_failure failure = rewrite_fine;
    uint32_t code = 0;  // the system's error for the failure (0: none to tell)
    rewrite_keeper *keeper = nullptr;  // what kept the original, and its record's number
    uint64_t kept = 0;
    // The file's encoding as the preparation found it (prepare_options::text), the legacy code
    // page it was read in, and (failed_bad_bytes) what is wrong with its bytes and where.
    text_encoding encoding = enc_utf8;
    uint32_t code_page = 0;
    enc_fault fault = fault_none;
    uint64_t fault_at = 0;
    bool binary_left = false;  // binary: left alone, as the log says
};

void rewrite_prepare(rewrite_job *job, const char *path, const char *search_text,
                     const char *replace_text, const prepare_options &options,
                     const file_facts &facts = file_facts());
// Is this a failure met before the file was looked at, for which the log gets no "About to
// Update" entry?
bool refused_before_announce(rewrite_failure failure);

// What came of a swap.
enum swap_result {
    swap_untouched,  // nothing to swap in: the file is left as it was
    swap_swapped,    // the new text is in the file's place, its last-write time put back
    swap_failed,     // stopped short (failure, code); only failed_set_time leaves the new text
};

struct swap_outcome {
    swap_result result = swap_untouched;
    rewrite_failure failure = rewrite_fine;
    uint32_t code = 0;  // the system's error for the failure (0: none to tell)
};

// Told by rewrite_swap of the steps the log tells of in the middle of a file's entry, as they
// happen: what is written of one step is out before the next is done.
struct swap_reporter {
    // The file's last-write time was read (set false), or put back after the swap (set true).
    virtual void time_done(const char *path, bool set) = 0;
    // It could not be: reached tells whether the file was reached at all; code is the system's
    // error.
    virtual void time_failed(const char *path, bool set, bool reached, uint32_t code) = 0;
    // The temporary file's announced name was taken meanwhile: it was given used instead.
    virtual void temp_renamed(const char *used) = 0;

  protected:
    ~swap_reporter() = default;
};

// The second half's action, which logs nothing: for a job that holds a new text, the last
// checks, the swap and the last-write time put back (flushing the temporary file first if that
// is still to do). A failed job gives its failure; a job without a new text, swap_untouched.
// Wherever it fails, the temporary file goes. The caller announces the file before.
swap_outcome rewrite_swap(rewrite_job *job, swap_reporter &reporter);
// The log's lines for what came of a job: the whole entry of a file left untouched, the
// success line of one swapped in, or the error lines of a failure (raising errors_seen).
// Returns what update_file returns.
int rewrite_report(const rewrite_job &job, const swap_outcome &outcome, const char *search_text,
                   const char *replace_text, const report_options &report = report_options());
// The two halves' second one whole: the file's "About to Update" entry, rewrite_swap with the
// log told of its steps, and rewrite_report. Returns what update_file returns: 1 when the file
// was processed, 0 on failure (logged, and errors_seen raised). The job is spent afterwards.
int rewrite_commit(rewrite_job *job, const char *search_text, const char *replace_text,
                   const report_options &report = report_options());
void rewrite_discard(rewrite_job *job);
// update_file with each file in its own encoding, as text says.
int update_file(const char *path, const char *search_text, const char *replace_text,
                const text_setup &text);
// Flushes a prepared job's temporary file to the disk (if that was left for later); a failure
// becomes the job's, to be reported by rewrite_commit. Any thread may run it.
void rewrite_flush(rewrite_job *job);
// rewrite_flush for several jobs at once: the temporary files on one volume are flushed with a
// single flush of the volume where the platform can (os_sync_volume); those alone on theirs,
// and every one should a flush of a volume fail, each on its own.
void rewrite_flush_together(rewrite_job *const *jobs, size_t n);

// Is the file still what the job read (size, last-write time, identity)? 1 yes, 0 no, -1 it
// cannot be looked at (the system's error is set).
int rewrite_still_current(const rewrite_job &job);

// Another program may hold a file for a moment (a scanner, an indexer, a backup tool, a
// reader): opening the file, creating the temporary file, reading or setting the time and the
// swap are then tried again with a growing pause, about two seconds in all. This is how the
// calling thread passes that time; the thread that owns the window pumps it meanwhile. Each
// thread starts with a plain sleep.
void rewrite_set_lock_wait(void (*wait)(int milliseconds));

// A seam for the tests: called by rewrite_swap just before the final checks and the swap,
// with the path of the file being rewritten. Tests use it to change the file behind the
// rewrite's back and check that the change is not lost.
extern void (*rewrite_before_swap_hook)(const char *path);
