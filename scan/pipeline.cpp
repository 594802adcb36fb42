// The work ahead of the walk (see pipeline.h). One lock guards the table of files found ahead,
// keyed by their position in the walk. The scout adds files to it while the table is short;
// workers take the earliest waiting file within the budget; the walk takes each file out in
// its turn, and drops the ones it passed without taking. The folders the scout lists wait in a
// second table, by position, for the walk to take in the same way.
#include "scan/pipeline.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/engine.h"
#include "engine/rewrite.h"
#include "platform/os.h"
#include "scan/run_state.h"
#include "scan/walk.h"

namespace {

// The figures behind these bounds are in bench/bounds.md.
//
// How far the work may go ahead of the walk: files being prepared or prepared with a new text
// waiting to be swapped in, and the bytes of those (the temporary files wait on the disk, not in
// memory). A file larger than the bytes allowed is still prepared ahead when nothing else is. A
// file found to need no change holds nothing once read and leaves the count at once, so the work
// may run far ahead through files without an occurrence, up to the files the scout has found:
// twice the window, and at least most_found_ahead. On a disk the window in files sets how many
// flushes wait together, and the disk serves waiting flushes together.
constexpr size_t most_files_ahead = 128;
constexpr size_t most_found_ahead = 2048;
constexpr uint64_t bytes_ahead = uint64_t(64) << 20;

// Threads that flush prepared files to the disk, and close the old files of swapped ones. A
// flush mostly waits on the disk, and the disk takes less time per file the more flushes wait
// on it together.
constexpr unsigned flushers = 16;

// Where a volume can be flushed as a whole (os_can_sync_volume), a flusher takes every file
// waiting for its flush as one group, flushed with one wait, and the files prepared meanwhile
// gather for the next group; at most this many groups are flushed at once (one at a time
// leaves the walk waiting for the flushes, more cost CPU for nothing). Elsewhere each flusher
// flushes one file.
constexpr unsigned groups_flushed_at_once = 4;

unsigned most_flushing() { return os_can_sync_volume ? groups_flushed_at_once : flushers; }

// Files swapped in whose old text is still open (prepare_options::keep_source): the flushers
// close them, so that freeing the old blocks (which on a disk told of freed blocks waits for
// the disk) holds up neither the walk nor the workers, and many such waits overlap. At most
// this many wait to be closed; beyond it the walk closes them itself.
constexpr size_t most_closes_waiting = 64;

// The old files are handed to the flushers this many at a time (fewer where few may wait):
// waking a flusher for each would cost the walk a wake, and on two cores mostly a switch to
// the woken thread, per rewritten file.
constexpr size_t closes_handed_together = 8;

// Files the walk's own thread may hold open besides the work ahead: the log, the file in its
// turn and its temporary file, a listing, the standard streams.
constexpr size_t files_kept_for_walk = 64;

// Folders the scout listed that the walk has not reached yet, kept for the walk to take rather
// than list each folder a second time: at most this many, and while they hold fewer entries
// than the second bound.
constexpr size_t most_listings_ahead = 256;
constexpr size_t most_entries_ahead = size_t(1) << 16;

// A flush that takes less than this (nothing waits on a disk: a file system in memory, or
// flushes turned off) costs less than handing the file to a flusher and waking it: the worker
// then flushes the file itself. Flushes are timed as they happen, so the run follows the disk.
// An old file's close this quick did not wait on the disk either.
constexpr int64_t quick_flush_ns = 100 * 1000;

enum slot_state { waiting, preparing, flushing, prepared };

struct slot {
    std::string path;
    walk_position at;      // where it stands in the walk
    walk_position folder;  // where its folder stands in the walk
    uint64_t size = 0;
    bool size_known = false;    // the listing gave its size (else the worker looks it up)
    bool listed_plain = false;  // listed as a plain file, not a link
    slot_state state = waiting;
    bool passed = false;   // the walk went past it while it was being prepared
    bool in_turn = false;  // prepared by the walk in its turn, not ahead (temp_named_beside)
    bool counted = false;  // in files_in_work and bytes_in_work
    rewrite_job job;
    file_preview seen;  // (a preview) what the read ahead found, and whether it read through
    int seen_read = 0;
    std::atomic<int> lock_wait{0};  // its worker waits for another program to let go of a file
};

using dir_entries = std::vector<os_dir_entry>;

// A folder the scout listed whole, by its path as the walk composes it.
struct scout_listing {
    std::string dir;
    std::shared_ptr<const dir_entries> entries;
};

struct pipeline {
    std::mutex lock;
    std::condition_variable work;   // a worker may find something to do
    std::condition_variable scout;  // the scout may look further
    std::condition_variable flush;  // a prepared file waits for its flush
    std::condition_variable done;   // a preparation is done
    std::map<walk_position, std::unique_ptr<slot>> slots;
    // No slot before this position is one a worker may take: each is in work, prepared, or
    // left to the walk's turn. A worker looks from here, not through every file in work.
    walk_position first_open;
    // The file the walk took last: a file before it is one the walk passed (found too late, it
    // was prepared by the walk itself) and is left for the walk to drop, never prepared again.
    walk_position walk_at;
    std::deque<slot *> to_flush;
    unsigned flushing = 0;  // groups of files being flushed
    std::vector<os_file> to_close;
    std::map<walk_position, scout_listing> listings;
    size_t entries_listed = 0;      // in listings
    uint64_t listings_dropped = 0;  // times every listing made so far went stale
    // The bounds above, lowered where the process may hold few files open: a file in work holds
    // its temporary file and, once read, the file itself; a close waiting holds one.
    size_t files_ahead = most_files_ahead;
    size_t closes_waiting = most_closes_waiting;
    int64_t flush_ns = 0;       // how long the recent flushes took, averaged
    size_t files_in_work = 0;   // preparing, or prepared and holding a new text
    bool budget_spent = false;  // the workers wait until half of the budget is free
    uint64_t bytes_in_work = 0;
    bool start_new = true;
    bool ahead = true;
    bool held = false;        // the walk prepares a file with nothing else in work (clear_ahead)
    size_t closing = 0;       // old files a flusher is closing now
    size_t waiting_done = 0;  // threads waiting on done
    const slot *awaited = nullptr;  // the walk waits for this one's work to end (null: any)
    bool finishing = false;
    std::atomic<int> cancel{0};
    run_plan plan;
    rewrite_keeper *keeper = nullptr;
    pipeline_work kind = pipeline_work::rewrite;  // what the workers do with a file
    bool any_listed = false;
    walk_position listed;      // the last folder the walk listed
    bool named_temps = false;  // temporary files have names here: none before the folder's listing
    unsigned workers = 1;  // threads that prepare files (set before any starts)
    std::vector<std::thread> threads;
};

pipeline *running = nullptr;
commit_counts counts;

// The worker's slot, so that its waits for a locked file can be seen by the walk.
thread_local slot *worker_slot = nullptr;

void worker_lock_wait(int milliseconds) {
    if (worker_slot) worker_slot->lock_wait.store(1);
    os_sleep_ms(milliseconds);
    if (worker_slot) worker_slot->lock_wait.store(0);
}

// The scout finds up to twice as many files as may be in work, and at least most_found_ahead.
size_t files_found_ahead(const pipeline &p) {
    return std::max(2 * p.files_ahead, most_found_ahead);
}

bool may_start(const pipeline &p) { return p.ahead && p.start_new && !p.held && !p.finishing; }

// Once the budget is spent, the workers wait until half of it is free again: one wake for many
// files rather than one for each.
bool within_budget(pipeline &p, const slot &s) {
    if (p.files_in_work == 0) return true;
    if (p.budget_spent) return false;
    p.budget_spent = p.files_in_work >= p.files_ahead || p.bytes_in_work + s.size > bytes_ahead;
    return !p.budget_spent;
}

// Has the walk listed the folder at position? Folders are listed in walk order, each before
// anything below it.
bool folder_listed(const pipeline &p, const walk_position &folder) {
    return p.any_listed && !(p.listed < folder);
}

using listing_at = std::map<walk_position, scout_listing>::iterator;

// Takes a folder listed ahead out of the table, and its entries out of the count.
listing_at forget_listing(pipeline &p, listing_at it) {
    p.entries_listed -= it->second.entries->size();
    return p.listings.erase(it);
}

// A link's temporary file stands in its target's folder, which may be one the walk has not
// reached yet, and has a name there for a moment (at the swap; where temporary files have
// names, from its creation on). A listing of that folder made meanwhile would show it to the
// walk as a file of its own. So once such a file is gone, every folder listed ahead so far is
// dropped, and one being listed is not handed over: the walk lists those folders itself.
bool temp_elsewhere(const rewrite_job &job) {
    return (job.temp.is_open() || job.temp.named) && !job.real.empty() && job.real != job.path;
}

void drop_all_listings(pipeline &p) {
    ++p.listings_dropped;
    for (auto it = p.listings.begin(); it != p.listings.end();) it = forget_listing(p, it);
}

// Discards a preparation made ahead (the lock held). A worker made its temporary file in a
// folder it held itself, so a named one is removed by its whole path, not in the folder the
// walk holds.
void discard(pipeline &p, rewrite_job *job) {
    bool elsewhere = temp_elsewhere(*job);
    const os_folder *held = os_use_folder(nullptr);
    rewrite_discard(job);
    os_use_folder(held);
    if (elsewhere) drop_all_listings(p);
}

// Whether the scout may look further: new work may start, and the files found and the
// folders listed ahead are within their bounds.
bool scout_may_go(const pipeline &p) {
    return may_start(p) && p.slots.size() < files_found_ahead(p) &&
           p.listings.size() < most_listings_ahead && p.entries_listed < most_entries_ahead;
}

size_t close_batch(const pipeline &p) {
    if (!p.ahead || !p.start_new) return 1;  // a delay or a pause: no file waits for the next
    return std::max<size_t>(1, std::min(closes_handed_together, p.closes_waiting / 2));
}

// Hands the old files waiting to be closed to the flushers (the lock held).
void wake_closers(pipeline &p) {
    if (!p.to_close.empty()) p.flush.notify_one();
}

// A slot is waiting again, or new: workers look from it on.
void reopen(pipeline &p, const slot &s) {
    if (s.at < p.first_open) p.first_open = s.at;
}

// The earliest waiting file in walk order, if the budget lets a worker take it.
slot *next_for_worker(pipeline &p) {
    if (!may_start(p)) return nullptr;
    bool settled = true;  // every slot passed so far is one no worker takes
    const walk_position &from = p.first_open < p.walk_at ? p.walk_at : p.first_open;
    for (auto it = p.slots.lower_bound(from); it != p.slots.end(); ++it) {
        slot &s = *it->second;
        if (s.state != waiting || s.in_turn) {
            // Just after this file: no file's position begins with another's.
            if (settled) {
                p.first_open = it->first;
                p.first_open.push_back(0);
            }
            continue;
        }
        settled = false;
        if (p.named_temps && !folder_listed(p, s.folder)) continue;
        return within_budget(p, s) ? &s : nullptr;
    }
    return nullptr;
}

void release(pipeline &p, slot &s) {
    if (!s.counted) return;
    s.counted = false;
    p.files_in_work--;
    p.bytes_in_work -= s.size;
    if (p.budget_spent && p.files_in_work <= p.files_ahead / 2 &&
        p.bytes_in_work <= bytes_ahead / 2) {
        p.budget_spent = false;
        p.work.notify_all();
    }
}

// Wakes the threads waiting on cv after letting go of the lock: a thread woken while its waker
// holds the lock would only go to sleep again on the lock, on two cores mostly after taking
// the waker's core. The lock is held again on return.
void notify_unlocked(std::unique_lock<std::mutex> &hold, std::condition_variable &cv,
                     bool all = true) {
    hold.unlock();
    if (all)
        cv.notify_all();
    else
        cv.notify_one();
    hold.lock();
}

// A slot whose work is done: it waits for the walk, or, if the walk went past it meanwhile, it
// is no one's and goes. The lock is held, and let go for the walk's wake when it waits.
void complete(pipeline &p, std::unique_lock<std::mutex> &hold, slot *s, bool wake = true) {
    s->state = prepared;
    if (!s->job.temp.is_open() && !s->job.temp.named && s->job.source.handle == -1)
        release(p, *s);
    if (s->passed) {
        discard(p, &s->job);
        release(p, *s);
        for (auto it = p.slots.begin(); it != p.slots.end(); ++it)
            if (it->second.get() == s) {
                p.slots.erase(it);
                break;
            }
    }
    if (wake && p.waiting_done > 0 && (!p.awaited || p.awaited == s)) notify_unlocked(hold, p.done);
}

// How long a step took, in nanoseconds.
template <typename Step>
int64_t timed(Step step) {
    auto start = std::chrono::steady_clock::now();
    step();
    auto took = std::chrono::steady_clock::now() - start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
}

// Flushes the job's temporary file; returns how long that took.
int64_t timed_flush(rewrite_job *job) {
    return timed([&] { rewrite_flush(job); });
}

// Flushes the job's temporary file without the lock (held on entry and on return), and adds
// the time it took to the run's average.
void flush_timed(pipeline &p, std::unique_lock<std::mutex> &hold, rewrite_job *job) {
    hold.unlock();
    int64_t ns = timed_flush(job);
    hold.lock();
    p.flush_ns = (p.flush_ns * 3 + ns) / 4;
}

// Holds the folder of the file at path open in folder, unless it holds it already, so that a
// worker opens each file and makes its temporary file in the folder rather than through every
// folder of the path (files come mostly a folder at a time). A file opened through a folder
// that was replaced since the walk listed it is another file than the walk's last look finds,
// and is prepared again in its turn. Where a folder cannot be held, paths are used as they are.
void hold_folder_of(const std::string &path, os_folder *folder) {
    std::string dir = path;
    directory_part(&dir);
    if (dir == folder->path) return;
    os_close_folder(folder);
    folder->path = dir;  // kept when the open fails: not tried again for each file
    if (!dir.empty()) os_open_folder(dir.c_str(), folder);
}

// A file found in a listing of names and kinds only has no size yet: the worker looks it up
// before the file counts against the budget, so that the bytes in work are the files' own
// whatever the listing held. The slot stands as being prepared meanwhile, so that no other
// worker takes it. Returns whether the worker may go on with the file now (the lock held on
// entry and on return): not when the walk went past it meanwhile, nor when its size leaves no
// room in the budget (it waits again, for room).
bool learn_size(pipeline &p, std::unique_lock<std::mutex> &hold, slot *s, os_folder *folder) {
    s->state = preparing;
    hold.unlock();
    hold_folder_of(s->path, folder);
    const os_folder *was = os_use_folder(folder->handle != -1 ? folder : nullptr);
    os_stat st;
    const bool looked = os_stat_path(s->path.c_str(), &st, 1);
    os_use_folder(was);
    hold.lock();
    s->size = looked ? st.size : 0;  // one that cannot be looked at fails in its preparation
    s->size_known = true;
    if (s->passed) {
        complete(p, hold, s);
        return false;
    }
    // The lock stays held from here on: once it is let go, the walk may take the slot.
    s->state = waiting;
    reopen(p, *s);
    if (p.waiting_done > 0) p.done.notify_all();
    return within_budget(p, *s);
}

// A preview's files are read a few at a time, the next ones waiting in walk order taken with
// the first (counted in work): a file takes a worker only a few microseconds, and one hold of
// the lock, and one wake of the walk, for each would cost as much again.
constexpr size_t previews_taken_together = 8;

void preview_ahead(pipeline &p, std::unique_lock<std::mutex> &hold, slot *first,
                   os_folder *folder) {
    // What waits is shared among the workers, so that a few large files are read side by side.
    const size_t workers = p.workers;
    std::vector<slot *> next;
    for (auto it = std::next(p.slots.find(first->at));
         it != p.slots.end() && next.size() + 1 < previews_taken_together * workers; ++it) {
        slot &s = *it->second;
        if (s.state != waiting || s.in_turn) break;
        next.push_back(&s);
    }
    const size_t share = std::min(previews_taken_together, (next.size() + workers) / workers);
    std::vector<slot *> taken{first};
    for (size_t i = 0; i + 1 < share; ++i) {
        slot &s = *next[i];
        s.state = preparing;
        s.counted = true;
        p.files_in_work++;
        p.bytes_in_work += s.size;
        taken.push_back(&s);
    }
    hold.unlock();
    for (slot *s : taken) {
        hold_folder_of(s->path, folder);
        const os_folder *was = os_use_folder(folder->handle != -1 ? folder : nullptr);
        s->seen_read = preview_file(s->path.c_str(), p.plan.search.c_str(), p.plan.replace.c_str(),
                                    &s->seen, &p.plan.text, &p.cancel);
        os_use_folder(was);
    }
    hold.lock();
    bool awaited = false;
    for (slot *s : taken) {
        awaited = awaited || p.awaited == s;
        complete(p, hold, s, false);
    }
    if (p.waiting_done > 0 && (awaited || !p.awaited)) notify_unlocked(hold, p.done);
}

void run_worker(pipeline *p) {
    rewrite_set_lock_wait(worker_lock_wait);
    prepare_options control;
    control.text = &p->plan.text;
    control.cancel = &p->cancel;
    control.flush_later = true;
    control.keep_source = true;
    control.keeper = p->keeper;
    file_facts facts;
    os_folder folder;  // the folder of the files in hand, held open from file to file
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        slot *s = nullptr;
        p->work.wait(hold, [&] { return p->finishing || (s = next_for_worker(*p)) != nullptr; });
        if (p->finishing) {
            os_close_folder(&folder);
            return;
        }
        // A preview's file holds nothing once read: its size does not count against the budget.
        if (!s->size_known && p->kind == pipeline_work::rewrite && !learn_size(*p, hold, s, &folder))
            continue;
        s->state = preparing;
        s->counted = true;
        p->files_in_work++;
        p->bytes_in_work += s->size;
        if (p->kind == pipeline_work::preview) {
            preview_ahead(*p, hold, s, &folder);
            continue;
        }
        worker_slot = s;
        // Where temporary files have names, they must not appear in a folder before the walk
        // has listed it.
        control.temp_may_go =
            folder_listed(*p, s->folder) ? temp_named_beside : temp_unnamed_only;
        facts.listed_plain = s->listed_plain;
        // Flushes that take no time write nothing (a file system in memory, or flushing turned
        // off): nothing then writes the file before its swap but the rename itself.
        control.reserve_space = p->flush_ns < quick_flush_ns;
        hold.unlock();
        hold_folder_of(s->path, &folder);
        const os_folder *was = os_use_folder(folder.handle != -1 ? &folder : nullptr);
        rewrite_prepare(&s->job, s->path.c_str(), p->plan.search.c_str(), p->plan.replace.c_str(),
                        control, facts);
        os_use_folder(was);
        hold.lock();
        worker_slot = nullptr;
        // Again once its folder is listed, or in its turn.
        if (s->job.state == job_deferred && !s->passed) {
            s->job = rewrite_job();
            s->state = waiting;
            s->in_turn = control.temp_may_go != temp_unnamed_only;
            reopen(*p, *s);
            p->named_temps = true;
            release(*p, *s);
            continue;
        }
        // The flushers take it.
        if (s->job.state == job_unflushed && p->flush_ns >= quick_flush_ns) {
            s->state = flushing;
            p->to_flush.push_back(s);
            if (p->flushing < most_flushing()) p->flush.notify_one();  // else the next group
            continue;
        }
        if (s->job.state == job_unflushed) flush_timed(*p, hold, &s->job);
        complete(*p, hold, s);
    }
}

// Flushes the files waiting for their flush as one group (the lock held, and let go
// meanwhile); each is then prepared, and the walk is woken once for all of them.
void flush_group(pipeline &p, std::unique_lock<std::mutex> &hold) {
    const size_t n = os_can_sync_volume ? p.to_flush.size() : 1;
    std::vector<slot *> group(p.to_flush.begin(), p.to_flush.begin() + n);
    p.to_flush.erase(p.to_flush.begin(), p.to_flush.begin() + n);
    std::vector<rewrite_job *> jobs;
    for (slot *s : group) jobs.push_back(&s->job);
    p.flushing++;
    hold.unlock();
    const int64_t ns = timed([&] { rewrite_flush_together(jobs.data(), jobs.size()); });
    hold.lock();
    p.flushing--;
    p.flush_ns = (p.flush_ns * 3 + ns) / 4;
    for (slot *s : group) complete(p, hold, s, false);
    if (p.waiting_done > 0) notify_unlocked(hold, p.done);
}

// Flushes prepared files, and closes the old text of swapped ones.
void run_flusher(pipeline *p) {
    std::unique_lock<std::mutex> hold(p->lock);
    for (;;) {
        auto may_flush = [&] { return !p->to_flush.empty() && p->flushing < most_flushing(); };
        p->flush.wait(hold, [&] { return p->finishing || may_flush() || !p->to_close.empty(); });
        if (p->finishing) return;
        if (may_flush()) {
            flush_group(*p, hold);
            continue;
        }
        os_file f = std::move(p->to_close.back());
        p->to_close.pop_back();
        p->closing++;
        hold.unlock();
        const int64_t ns = timed([&] { os_close(&f); });
        hold.lock();
        p->closing--;
        // A close that waited for the disk (freeing the blocks): another flusher takes the
        // next file meanwhile. Quick ones are all done by this thread, woken once.
        if (ns >= quick_flush_ns && !p->to_close.empty()) notify_unlocked(hold, p->flush, false);
        if (p->closing == 0 && p->waiting_done > 0) notify_unlocked(hold, p->done);
    }
}

// One folder level of the scout's walk.
struct scout_level {
    std::string dir;
    std::shared_ptr<const dir_entries> entries;
    size_t next = 0;
};

// The scout's listing, as the walk's. One listed whole is kept for the walk (in found); what
// the scout cannot list, the walk lists again and says.
scout_level listed(const std::string &dir, bool kinds_only, const walk_position &position,
                   std::vector<std::pair<walk_position, scout_listing>> *found) {
    scout_level level;
    level.dir = dir;
    auto entries = std::make_shared<dir_entries>();
    int whole = os_list_dir(dir.c_str(), entries.get(), nullptr, kinds_only ? 1 : 0);
    level.entries = entries;
    // (An empty path names no folder; on Windows it would list the current one.)
    if (whole == 1 && !dir.empty())
        found->emplace_back(position, scout_listing{dir, level.entries});
    return level;
}

// The scout walks the tree as the walk will, ahead of it, and puts the files the walk will
// rewrite in the table, while the table is short. Its view is a forecast: the walk decides.
void run_scout(pipeline *p) {
    const selection &sel = p->plan.select;
    const bool kinds_only = sel.kinds_only();
    walk_position position;
    // The files found and the folders listed since the table was last filled: added under one
    // hold of the lock.
    std::vector<std::pair<walk_position, std::unique_ptr<slot>>> found;
    std::vector<std::pair<walk_position, scout_listing>> found_listings;
    // The listings in found_listings were made after this many drops (drop_all_listings).
    uint64_t listed_after = 0;
    std::vector<scout_level> stack;
    stack.push_back(listed(p->plan.root, kinds_only, position, &found_listings));
    std::string path;
    std::unique_lock<std::mutex> hold(p->lock);
    while (!stack.empty()) {
        p->scout.wait(hold, [&] { return p->finishing || scout_may_go(*p); });
        if (p->finishing) return;
        // Handed over a window's worth at a time, so that the workers (and the walk, which
        // prepares itself a file not found yet) see the first files of a large folder early.
        size_t room = std::min(files_found_ahead(*p) - p->slots.size(), most_files_ahead);
        size_t listing_room = most_listings_ahead - p->listings.size();
        if (found_listings.empty()) listed_after = p->listings_dropped;
        hold.unlock();
        // The files of the folder in hand, up to its next subfolder and within the room left.
        while (!stack.empty() && found.size() < room && found_listings.size() < listing_room) {
            scout_level &level = stack.back();
            if (level.next == level.entries->size()) {
                stack.pop_back();
                if (!position.empty()) position.pop_back();
                continue;
            }
            size_t i = level.next++;
            const os_dir_entry &entry = (*level.entries)[i];
            if (walk_enters(level.dir.c_str(), entry, &path, sel) > 0) {
                position.push_back(uint32_t(i));
                stack.push_back(listed(path, kinds_only, position, &found_listings));
                // Handed over in batches, early enough for the walk to find them.
                if (!found.empty() || found_listings.size() >= 16) break;
                continue;
            }
            if (walk_picks(level.dir.c_str(), entry, &path, sel, 0) <= 0) continue;
            std::unique_ptr<slot> s(new slot);
            s->path = path;
            s->folder = position;
            s->size = entry.size;
            s->size_known = !kinds_only;
            s->listed_plain = os_listing_shows_links && entry.is_regular && !entry.is_link;
            s->at = position;
            s->at.push_back(uint32_t(i));
            walk_position at = s->at;
            found.emplace_back(std::move(at), std::move(s));
        }
        hold.lock();
        for (auto &f : found) {
            reopen(*p, *f.second);
            p->slots[std::move(f.first)] = std::move(f.second);
        }
        const bool wake_workers = !found.empty();
        found.clear();
        for (auto &l : found_listings) {
            if (p->listings_dropped != listed_after) break;
            p->entries_listed += l.second.entries->size();
            p->listings[std::move(l.first)] = std::move(l.second);
        }
        found_listings.clear();
        if (wake_workers) notify_unlocked(hold, p->work);
    }
}

// Drops what the walk has passed without taking: files the scout foresaw that the walk did
// not reach (the tree changed, or the file was the session log).
void drop_passed(pipeline &p, const walk_position &position) {
    for (auto it = p.slots.begin(); it != p.slots.end() && it->first < position;) {
        slot &s = *it->second;
        if (s.state == preparing || s.state == flushing) {
            s.passed = true;
            ++it;
            continue;
        }
        if (s.state == prepared) {
            discard(p, &s.job);
            release(p, s);
        }
        it = p.slots.erase(it);
    }
}

// Drops the folders listed ahead that the walk has gone past: it listed them itself before the
// scout handed them over, or the tree changed. Else a large folder the walk listed itself would
// hold the scout's bound on entries until the walk reaches the next folder.
void drop_listings(pipeline &p, const walk_position &position) {
    for (auto it = p.listings.begin(); it != p.listings.end() && it->first < position;)
        it = forget_listing(p, it);
}

// The scout stops once the table (or the folders listed ahead) is full, and is woken when half
// of it has been taken: one wake for many files. Lets go of the lock.
void wake_scout(pipeline &p, std::unique_lock<std::mutex> &hold) {
    bool wake = p.slots.size() <= files_found_ahead(p) / 2 &&
                p.listings.size() <= most_listings_ahead / 2 &&
                p.entries_listed <= most_entries_ahead / 2;
    hold.unlock();
    if (wake) p.scout.notify_one();
}

// Waits a moment (the lock held) for work to end; pumps the window when the wait was long and
// a worker (only's, or any) waits for another program's hold on a file.
void wait_done(pipeline &p, std::unique_lock<std::mutex> &hold, const slot *only) {
    p.waiting_done++;
    const std::cv_status waited = p.done.wait_for(hold, std::chrono::milliseconds(10));
    p.waiting_done--;
    if (waited != std::cv_status::timeout) return;
    bool lock_wait = false;
    for (auto &entry : p.slots)
        if (!only || entry.second.get() == only) lock_wait = lock_wait || entry.second->lock_wait;
    if (!lock_wait) return;
    hold.unlock();
    pump_one_message();
    hold.lock();
}

// The slot whose end the walk waits for when the file in its turn (at it) is in work. A
// preview's files take the walk far less time than the workers: woken for each, it would wait
// again at the next, a sleep and a wake per file. So it waits for the last of the next few files
// in work, and takes those done by then one after the other.
constexpr size_t previews_awaited_together = 16;

const slot *awaited_with(const pipeline &p, std::map<walk_position, std::unique_ptr<slot>>::iterator it) {
    const slot *last = it->second.get();
    if (p.kind != pipeline_work::preview) return last;
    for (size_t n = 0; it != p.slots.end() && n < previews_awaited_together; ++it, ++n)
        if (it->second->state == preparing) last = it->second.get();
    return last;
}

// Takes the file in its turn out of the table. Returns null when it was not foreseen or no
// worker has started on it (the walk prepares it itself); otherwise waits for its preparation,
// pumping the window while the worker waits for another program's hold on a file.
std::unique_ptr<slot> take(pipeline &p, const walk_position &position) {
    std::unique_lock<std::mutex> hold(p.lock);
    p.walk_at = position;
    drop_passed(p, position);
    drop_listings(p, position);
    std::unique_ptr<slot> taken;
    auto it = p.slots.find(position);
    if (it != p.slots.end()) {
        slot &s = *it->second;
        if (s.state == preparing || s.state == flushing) wake_closers(p);
        while (s.state == preparing || s.state == flushing) {
            p.awaited = awaited_with(p, it);
            wait_done(p, hold, &s);
        }
        p.awaited = nullptr;
        taken = std::move(it->second);
        p.slots.erase(it);
        // A prepared file stays in the budget until its commit is over (pipeline_commit): its
        // temporary file is on the disk until the swap.
        if (taken->state != prepared) taken.reset();
    }
    wake_scout(p, hold);
    return taken;
}

// Readies the walk to prepare again a file whose preparation (ahead, or its own) failed on a
// system error, as a run with no work ahead would: what the work ahead holds (a nearly full
// disk's space, descriptors) may be why it failed. The workers start nothing new until
// resume_ahead, the files in work are finished, those prepared are set back to waiting with
// their temporary files dropped, and the old files waiting to be closed are closed.
void clear_ahead(pipeline &p) {
    std::unique_lock<std::mutex> hold(p.lock);
    p.held = true;
    auto busy = [&] {
        for (auto &entry : p.slots)
            if (entry.second->state == preparing || entry.second->state == flushing) return true;
        return p.closing > 0;
    };
    while (busy()) wait_done(p, hold, nullptr);
    for (auto &entry : p.slots) {
        slot &s = *entry.second;
        if (s.state != prepared) continue;
        discard(p, &s.job);
        s.state = waiting;
        reopen(p, s);
        release(p, s);
    }
    std::vector<os_file> old_files;
    old_files.swap(p.to_close);
    hold.unlock();
    for (os_file &f : old_files) os_close(&f);
}

bool failed_on_system(const rewrite_job &job) {
    return job.failure != rewrite_fine && job.code != 0;
}

void resume_ahead(pipeline &p) {
    std::lock_guard<std::mutex> hold(p.lock);
    p.held = false;
    p.work.notify_all();
    p.scout.notify_all();
}

// A worker made a named temporary file through its whole path; the walk swaps it in through
// the folder it holds. Are both the same file (they are not when the folder was replaced
// between the worker's reading the file and its making the temporary file)?
bool temp_in_held_folder(const rewrite_job &job) {
    if (!job.temp.named || !job.temp.is_open() || !os_folder_in_use()) return true;
    os_stat named, made;
    return os_stat_path(job.temp.path.c_str(), &named, 0) && os_fstat(job.temp.file, &made) &&
           named.id == made.id;
}

// A preparation made ahead stands in the file's turn unless it was of another file, the file
// changed since, or the preparation failed on a system error (which may be gone by now).
bool still_stands(const slot &s, const std::string &path) {
    const rewrite_job &job = s.job;
    if (s.path != path || job.state == job_cancelled) return false;
    if (job.failure != rewrite_fine) return !failed_on_system(job);
    return rewrite_still_current(job) == 1 && temp_in_held_folder(job);
}

// Called by the walk after every pump. The walk's thread is the only one that changes these
// flags, so it may read them without the lock; it takes the lock only to change one, which
// spares the workers a lock contended several times a file.
void set_flag(bool pipeline::*flag, bool on) {
    if (!running || running->*flag == on) return;
    std::lock_guard<std::mutex> hold(running->lock);
    running->*flag = on;
    if (on) {
        running->work.notify_all();
        running->scout.notify_all();
    } else {
        wake_closers(*running);  // the walk stands still: nothing waits to be closed meanwhile
    }
}

}  // namespace

void pipeline_start(const run_plan &plan, rewrite_keeper *keeper, pipeline_work work) {
    pipeline_finish();
    counts = commit_counts();
    running = new pipeline;
    running->plan = plan;
    running->keeper = keeper;
    running->kind = work;
    const unsigned workers = std::max(2u, std::thread::hardware_concurrency());
    // Each worker holds a folder open besides the files it works on.
    const size_t kept = files_kept_for_walk + workers;
    size_t allowed = os_open_files_allowed();
    size_t spare = allowed > kept ? (allowed - kept) / 3 : 0;
    running->files_ahead = std::max<size_t>(1, std::min(most_files_ahead, spare));
    running->closes_waiting = std::min(most_closes_waiting, spare);
    // Each file in work holds two files open, each old file waiting to be closed one.
    os_make_room_for_files(kept + 2 * running->files_ahead + running->closes_waiting);
    running->workers = workers;
    running->threads.emplace_back(run_scout, running);
    for (unsigned i = 0; i < workers; ++i) running->threads.emplace_back(run_worker, running);
    if (work == pipeline_work::preview) return;  // nothing to flush or close
    for (unsigned i = 0; i < flushers; ++i) running->threads.emplace_back(run_flusher, running);
}

void pipeline_finish() {
    if (!running) return;
    {
        std::lock_guard<std::mutex> hold(running->lock);
        running->finishing = true;
        running->cancel.store(1);
    }
    running->work.notify_all();
    running->scout.notify_all();
    running->flush.notify_all();
    for (std::thread &t : running->threads) t.join();
    for (auto &entry : running->slots) rewrite_discard(&entry.second->job);
    for (os_file &f : running->to_close) os_close(&f);
    delete running;
    running = nullptr;
}

int pipeline_commit(const walk_position &position, const std::string &path) {
    const char *search = running ? running->plan.search.c_str() : run_fields.search_text;
    const char *replace = running ? running->plan.replace.c_str() : run_fields.replace_text;
    prepare_options control;
    control.keeper = running ? running->keeper : nullptr;
    control.text = running ? &running->plan.text : nullptr;
    report_options report;
    report.log_may_wait = true;  // the walk writes what waits when it stops or ends
    std::unique_ptr<slot> s = running ? take(*running, position) : nullptr;
    rewrite_job job;
    if (s && still_stands(*s, path)) {
        job = std::move(s->job);
    } else {
        // A failure on a system error, ahead or now, may come from what the work ahead holds:
        // the file is then prepared with nothing else in work.
        bool cleared = s && failed_on_system(s->job);
        if (cleared) clear_ahead(*running);
        if (s) {
            std::lock_guard<std::mutex> hold(running->lock);
            discard(*running, &s->job);
        }
        rewrite_prepare(&job, path.c_str(), search, replace, control);
        if (!cleared && running && failed_on_system(job)) {
            clear_ahead(*running);
            cleared = true;
            rewrite_prepare(&job, path.c_str(), search, replace, control);
        }
        if (cleared) resume_ahead(*running);
    }
    const bool elsewhere = temp_elsewhere(job);
    const bool new_text = holds_new_text(job.state);
    const bool left_alone = job.binary_left;
    int result = rewrite_commit(&job, search, replace, report);
    ++(result == 0      ? counts.failed
       : new_text       ? counts.rewritten
       : left_alone     ? counts.left_alone
                        : counts.untouched);
    if (elsewhere && running) {
        std::lock_guard<std::mutex> hold(running->lock);
        drop_all_listings(*running);
    }
    if (job.source.handle != -1 && running) {
        std::unique_lock<std::mutex> hold(running->lock);
        if (running->to_close.size() < running->closes_waiting) {
            running->to_close.push_back(std::move(job.source));
            if (running->to_close.size() >= close_batch(*running)) {
                hold.unlock();
                running->flush.notify_one();
            }
        }
    }
    os_close(&job.source);
    if (s) {
        std::lock_guard<std::mutex> hold(running->lock);
        release(*running, *s);
    }
    return result;
}

int pipeline_preview(const walk_position &position, const std::string &path, file_preview *out) {
    std::unique_ptr<slot> s = running ? take(*running, position) : nullptr;
    if (s) {
        std::lock_guard<std::mutex> hold(running->lock);
        release(*running, *s);
    }
    // A read that failed ahead is tried again: what stood in its way may be gone by now.
    if (s && s->path == path && s->seen_read) {
        *out = std::move(s->seen);
        return 1;
    }
    return preview_file(path.c_str(), running ? running->plan.search.c_str() : run_fields.search_text,
                        running ? running->plan.replace.c_str() : run_fields.replace_text, out,
                        running ? &running->plan.text : nullptr);
}

void pipeline_counted() {
    if (!running) return;
    std::lock_guard<std::mutex> hold(running->lock);
    drop_all_listings(*running);
}

void pipeline_listed(const walk_position &folder) {
    if (!running) return;
    std::lock_guard<std::mutex> hold(running->lock);
    running->listed = folder;
    running->any_listed = true;
    // Only where temporary files need names does a listing let a worker start a file.
    if (running->named_temps) running->work.notify_all();
}

std::shared_ptr<const std::vector<os_dir_entry>> pipeline_listing(const walk_position &folder,
                                                                  const char *dir) {
    if (!running) return nullptr;
    pipeline &p = *running;
    std::unique_lock<std::mutex> hold(p.lock);
    drop_listings(p, folder);
    std::shared_ptr<const dir_entries> taken;
    auto it = p.listings.find(folder);
    if (it != p.listings.end()) {
        // The same position names another folder where the walk's listing of the folder above
        // was its own and differs from the scout's.
        if (it->second.dir == dir) taken = it->second.entries;
        forget_listing(p, it);
    }
    wake_scout(p, hold);
    return taken;
}

const commit_counts &pipeline_counts() { return counts; }

void pipeline_allow(bool start_new) { set_flag(&pipeline::start_new, start_new); }

void pipeline_ahead(bool ahead) { set_flag(&pipeline::ahead, ahead); }
