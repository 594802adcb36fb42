// The applying pass's work ahead of the walk. A scout thread walks the tree a little ahead of
// the walk, listing folders and choosing files as the walk does; worker threads (one per core,
// at least two) read, search and prepare those files: each file's new text is written to its
// temporary file and flushed to the disk. The walk, on the thread that owns the window and the
// log, commits each file in its turn (the last checks, the swap, the time, the log lines), so
// what the user sees and the log's order do not change; only the waiting does. The walk takes
// the scout's listing of each folder it reaches, when the scout listed it whole, rather than
// list it again: a folder's entries are then fixed when the scout lists it, moments before the
// walk reaches it, and still before any file in it is rewritten. (Not after a link was
// rewritten meanwhile: its new text stood under a name in its target's folder for a moment.
// Where temporary files have names, such a link is prepared in its turn, never ahead, so that
// its new text has no name there while the walk may still list that folder.)
//
// The work ahead is bounded in files and in bytes. Nothing new is started while the run is
// paused or stopped, nor while a delay is set. A file that changed after it was prepared is
// prepared again in its turn; one whose preparation failed on a system error (ahead, or in its
// turn) is prepared again in its turn with nothing else in work, since what the work ahead
// holds (disk space, open files) may be why it failed. A file the walk does not reach (the tree
// changed, or the walk stopped) is discarded, its temporary file removed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/preview.h"
#include "engine/rewrite.h"
#include "platform/os.h"
#include "scan/plan.h"

// Where an entry stands in the walk: the index of the entry at every level, from the top.
// Compared as a sequence, positions are in walk order.
using walk_position = std::vector<uint32_t>;

// What the work ahead does with each file: prepares its rewrite (a run), or reads it through
// for a preview of what a run would do (nothing written; no flushers then).
enum class pipeline_work { rewrite, preview };

// Starts the scout and the workers for a run of plan, before its counting pass: they prepare
// the first files while the walk counts, and nothing is committed before the applying pass.
// pipeline_finish discards whatever was prepared and not committed and ends the threads.
// keeper (may be null) keeps each file's original before its swap (rewrite.h).
void pipeline_start(const run_plan &plan, rewrite_keeper *keeper = nullptr,
                    pipeline_work work = pipeline_work::rewrite);
void pipeline_finish();

// The counting pass is over and the applying pass starts. The folders the scout listed so far
// are not handed to the walk: the tree may have changed during the count, and the applying
// pass sees each folder as it is when it gets there, or moments before. (The files foreseen
// from those listings stay: each is checked in its turn against the walk's own listing and the
// file itself.)
void pipeline_counted();

// The scout's listing of the folder at position, if it listed that folder (by path dir) whole
// and the walk has not taken it yet; null otherwise, and the walk lists the folder itself.
// Either way the walk calls pipeline_listed next.
std::shared_ptr<const std::vector<os_dir_entry>> pipeline_listing(const walk_position &folder,
                                                                  const char *dir);

// The walk has listed the folder at position (in the applying pass): files in it may now be
// prepared with a named temporary file, which the walk's listing can no longer meet.
void pipeline_listed(const walk_position &folder);

// The file's turn: takes its preparation (waiting for it, or preparing it now) and commits it.
// Returns what update_file returns. Without a running pipeline the file is rewritten at once.
int pipeline_commit(const walk_position &position, const std::string &path);

// A preview's file in its turn: what a run would do to it (preview_file), as a worker read it
// ahead or, when none did or its read failed, read now. Returns what preview_file returns.
int pipeline_preview(const walk_position &position, const std::string &path, file_preview *out);

// What the commits of the current run came to: files whose new text was swapped in, files
// without an occurrence, files left alone by rule (not an error), files that failed. Zeroed
// by pipeline_start.
struct commit_counts {
    uint64_t rewritten = 0, untouched = 0, left_alone = 0, failed = 0;
};
const commit_counts &pipeline_counts();

// Called after every pump: whether new work may start (not while the run is paused or
// stopped).
void pipeline_allow(bool start_new);
// Whether work may go ahead of the walk at all (not while a delay is set).
void pipeline_ahead(bool ahead);
