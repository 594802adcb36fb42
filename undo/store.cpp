// The undo store: a run's folder and journal, the originals kept, the runs that go, the
// leftovers of killed runs.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "engine/content_hash.h"
#include "engine/engine.h"
#include "undo/journal.h"
#include "undo/store_files.h"
#include "undo/undo.h"

struct undo_run {
    std::string dir;
    os_file journal;
    std::mutex lock;          // the journal's writes and the counts below
    std::mutex flush_lock;    // one flush at a time; those waiting may find theirs done
    uint64_t records = 0;     // "keep" records written
    uint64_t written = 0;     // lines written
    uint64_t flushed = 0;     // lines known to be on the disk
    std::thread removing;     // removes the folders of the runs that went (see undo_begin)
};

namespace {

#if defined(_WIN32)
constexpr const char *store_below_user = "Sarvelt\\undo";
#else
constexpr const char *store_below_user = "sarvelt/undo";
#endif

// A run's folder that goes is first given this ending, which no run's folder has: it is gone
// from the store at once, and what it holds is removed meanwhile.
constexpr const char *gone_ending = ".gone";
// Threads that remove the files of a run that went.
constexpr unsigned removers = 8;

// The numbers of the runs' folders in the store, from the oldest; gone (if given) gets the
// folders of runs that went and are not removed yet (one whose removal was cut short too).
std::vector<uint64_t> run_numbers(const std::string &store, std::vector<std::string> *gone = nullptr) {
    std::vector<os_dir_entry> entries;
    std::vector<uint64_t> numbers;
    if (os_list_dir(store.c_str(), &entries, nullptr, 1) < 0) return numbers;
    const size_t ending = strlen(gone_ending);
    for (const os_dir_entry &e : entries) {
        if (gone && e.is_dir && e.name.size() > ending &&
            e.name.compare(e.name.size() - ending, ending, gone_ending) == 0)
            gone->push_back(path_in(store, e.name));
        if (!e.is_dir || e.name.empty() || e.name.size() > 18) continue;
        if (e.name.find_first_not_of("0123456789") != std::string::npos) continue;
        numbers.push_back(strtoull(e.name.c_str(), nullptr, 10));
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::string run_folder(const std::string &store, uint64_t number) {
    return path_in(store, std::to_string(number));
}

// Reads the journal of the run folder dir. 0 when it has none that can be read.
int read_run(const std::string &dir, undo_record *record) {
    std::string text;
    if (!read_whole(path_in(dir, journal_name), &text)) return 0;
    return journal_read(text, dir, record);
}

// Removes a run's folder with everything in it, its files by up to `threads` threads at once:
// freeing a file's blocks may wait on the disk (some file systems tell the disk of every
// freed extent then and there), and a disk serves several such waits at a time.
void remove_run(const std::string &dir, unsigned threads = 1) {
    std::vector<os_dir_entry> entries;
    os_list_dir(dir.c_str(), &entries, nullptr, 1);
    std::atomic<size_t> next{0};
    auto remove_files = [&] {
        for (size_t i; (i = next++) < entries.size();)
            if (!entries[i].is_dir) os_remove(path_in(dir, entries[i].name).c_str());
    };
    std::vector<std::thread> helpers;
    const size_t wanted = std::min<size_t>(threads, entries.size() / 64 + 1) - 1;
    for (size_t i = 0; i < wanted; ++i) helpers.emplace_back(remove_files);
    remove_files();
    for (std::thread &t : helpers) t.join();
    os_remove_dir(dir.c_str());
}

// A path without the separators at its end (a root keeps its own), so that "C:\a\" and
// "C:\a" name one Path.
std::string trimmed(std::string path) {
    while (path.size() > 1 && is_path_separator(path.back()) &&
           !(path.size() == 3 && path[1] == ':'))
        path.pop_back();
    return path;
}

// Does the journal's text end as an ended run's does (its "end" line, perhaps an "undone"
// after it)? Told without reading it line by line.
bool ended_text(const std::string &text) {
    auto ends_with = [&](const std::string &tail) {
        return text.size() >= tail.size() &&
               text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    };
    return ends_with(journal_end_line) ||
           ends_with(std::string(journal_end_line) + journal_undone_line);
}

bool (*removal_handler)() = nullptr;

std::string with_reason(const std::string &what, uint32_t code) {
    return what + " (" + os_error_text(code) + ")";
}

bool write_line(undo_run &run, const std::string &line) {
    std::lock_guard<std::mutex> hold(run.lock);
    if (!os_write_all(run.journal, line.data(), line.size())) return false;
    ++run.written;
    return true;
}

}  // namespace

std::string undo_store_dir() {
    const std::string user = os_user_state_dir();
    return user.empty() ? "" : path_in(user, store_below_user);
}

void undo_hand_off_removal(bool (*start)()) { removal_handler = start; }

void undo_remove_gone() {
    const std::string store = undo_store_dir();
    if (store.empty()) return;
    std::vector<std::string> gone;
    run_numbers(store, &gone);
    for (const std::string &dir : gone) remove_run(dir, removers);
}

void undo_run_closer::operator()(undo_run *run) const {
    if (run->removing.joinable()) run->removing.join();
    os_close(&run->journal);
    delete run;
}

undo_run_ptr undo_begin(const std::string &root, const std::string &search,
                        const std::string &replace, std::string *why) {
    const std::string store = undo_store_dir();
    if (store.empty()) {
        *why = "No folder to keep the originals in for undo: the user's folder is not known.";
        return nullptr;
    }
    if (!make_folders(store)) {
        *why = with_reason("Unable to make the undo store " + store, os_last_error());
        return nullptr;
    }
    std::vector<std::string> gone;
    std::vector<uint64_t> runs = run_numbers(store, &gone);
    for (uint64_t n : runs) {
        // Only a run that did not end (killed) can have left a temporary file.
        std::string text;
        const std::string dir = run_folder(store, n);
        if (!read_whole(path_in(dir, journal_name), &text) || ended_text(text)) continue;
        undo_record record;
        if (journal_read(text, dir, &record) && !record.ended &&
            trimmed(record.root) == trimmed(root)) {
            for (const undo_entry &e : record.entries) remove_leftover_temp(e);
            undo_remove_made_temps(record);
        }
    }
    // The oldest runs go now; their folders are removed while the run goes on (freeing a
    // run's originals may wait on the disk for a good part of a second), and gone before it
    // ends.
    while (runs.size() >= runs_kept) {
        const std::string dir = run_folder(store, runs.front());
        if (os_replace(dir.c_str(), (dir + gone_ending).c_str()))
            gone.push_back(dir + gone_ending);
        else
            remove_run(dir);
        runs.erase(runs.begin());
    }
    undo_run_ptr run(new undo_run);
    if (!gone.empty() && !(removal_handler && removal_handler()))
        run->removing = std::thread([gone] {
            for (const std::string &dir : gone) remove_run(dir, removers);
        });
    uint64_t number = runs.empty() ? 1 : runs.back() + 1;
    for (int tries = 0;; ++tries, ++number) {
        run->dir = run_folder(store, number);
        if (os_make_dir(run->dir.c_str())) break;
        if (!os_error_is_exists(os_last_error()) || tries == 1000) {
            *why = with_reason("Unable to make a folder in the undo store " + store, os_last_error());
            return nullptr;
        }
    }
    const std::string journal = path_in(run->dir, journal_name);
    const std::string header = journal_header(root, search, replace, os_time_now());
    if (!os_create_new(journal.c_str(), &run->journal) ||
        !os_write_all(run->journal, header.data(), header.size()) || !os_sync(run->journal)) {
        *why = with_reason("Unable to write the undo journal " + journal, os_last_error());
        os_close(&run->journal);
        remove_run(run->dir);
        return nullptr;
    }
    return run;
}

const std::string &undo_run_dir(const undo_run &run) { return run.dir; }

uint64_t undo_keep(undo_run &run, const undo_file &file) {
    uint64_t number;
    {
        std::lock_guard<std::mutex> hold(run.lock);
        number = ++run.records;
    }
    const std::string kept = path_in(run.dir, std::to_string(number));
    bool copied = false;
    if (!os_hard_link(file.path.c_str(), kept.c_str())) {
        // Another volume, or a file system without such links: a copy, on the disk before the
        // record that names it.
        if (!copy_whole(file.path, kept)) return 0;
        copied = true;
    }
    if (!write_line(run, journal_keep_line(number, copied, file))) return 0;
    return number;
}

int undo_flush(undo_run &run) {
    uint64_t wanted;
    {
        std::lock_guard<std::mutex> hold(run.lock);
        wanted = run.written;
        if (run.flushed >= wanted) return 1;
    }
    std::lock_guard<std::mutex> one_at_a_time(run.flush_lock);
    {
        std::lock_guard<std::mutex> hold(run.lock);
        if (run.flushed >= wanted) return 1;  // flushed meanwhile by another thread
        wanted = run.written;
    }
    if (!os_sync(run.journal)) return 0;
    std::lock_guard<std::mutex> hold(run.lock);
    run.flushed = std::max(run.flushed, wanted);
    return 1;
}

void undo_note_temp(undo_run &run, uint64_t entry, const std::string &temp_path) {
    // Not flushed: it matters only to a run killed after it, whose write the system has.
    write_line(run, journal_temp_line(entry, temp_path));
}

void undo_note_making(undo_run &run, const std::string &temp_path) {
    write_line(run, journal_making_line(temp_path, os_file_time_now()));
}

void undo_note_made(undo_run &run, const std::string &temp_path, const os_file_id &id) {
    write_line(run, journal_made_line(temp_path, id));
}

void undo_remove_made_temps(const undo_record &r) {
    for (const undo_made_temp &t : r.made_temps) remove_made_temp(t);
}

void undo_end(undo_run &run) {
    if (run.removing.joinable()) run.removing.join();
    write_line(run, journal_end_line);
    os_sync(run.journal);
    os_close(&run.journal);
    // A run that kept nothing has nothing to give back: it takes no place among the runs kept.
    if (run.records == 0) remove_run(run.dir);
}

int undo_find_latest(const std::string &root, undo_record *out) {
    const std::string store = undo_store_dir();
    if (store.empty()) return 0;
    std::vector<uint64_t> runs = run_numbers(store);
    for (auto it = runs.rbegin(); it != runs.rend(); ++it) {
        undo_record record;
        if (!read_run(run_folder(store, *it), &record)) continue;
        if (record.undone || trimmed(record.root) != trimmed(root)) continue;
        // A run that kept nothing changed nothing: the one before it is what undo means.
        if (record.entries.empty() && record.unreadable.empty()) continue;
        *out = record;
        return 1;
    }
    return 0;
}

int undo_mark_undone(const undo_record &record) {
    os_file f;
    const std::string journal = path_in(record.dir, journal_name);
    if (!os_open_append(journal.c_str(), &f)) return 0;
    const bool written = os_write_all(f, journal_undone_line, strlen(journal_undone_line)) != 0;
    return os_close(&f) && written ? 1 : 0;
}
