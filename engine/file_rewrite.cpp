// File rewrite: one file through the line replacement, swapped in atomically, its last-write
// time kept. A rewritten file differs from the original only by the replacements and by bare
// line feeds that became CR LF (text_copy.h); a file without occurrence is never written.
//
// Nothing is lost on any failure: the copy goes to a new temporary file in the same folder,
// which is flushed to the disk and only then put in the file's place in one step. Any failure
// before that step leaves the original untouched and removes the temporary file. Every failure
// ends in one place, report_failure, which writes the log's lines for it.
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>

#include "engine/encoding.h"
#include "engine/engine.h"
#include "engine/line_stream.h"
#include "engine/lock_retry.h"
#include "engine/rewrite.h"
#include "engine/text_copy.h"
#include "log/log.h"
#include "platform/os.h"

void (*rewrite_before_swap_hook)(const char *path) = nullptr;

namespace {

thread_local void (*lock_wait)(int milliseconds) = os_sleep_ms;

// The folder part of path, as directory_part cuts it.
std::string directory_of(const char *path) {
    std::string dir(path);
    directory_part(&dir);
    return dir;
}

bool fail(rewrite_job *job, rewrite_failure why, uint32_t code = 0) {
    job->state = job_failed;
    job->failure = why;
    job->code = code;
    return false;
}

bool fail_with_error(rewrite_job *job, rewrite_failure why) {
    return fail(job, why, os_last_error());
}

// Creates the job's temporary file. A named one may be made only where the options allow: else
// the preparation is deferred.
bool create_temp(rewrite_job *job, int64_t seconds, const prepare_options &options) {
    const bool may_be_named =
        options.temp_may_go == temp_anywhere ||
        (options.temp_may_go == temp_named_beside && job->dir == directory_of(job->path.c_str()));
    uint32_t code = 0;
    switch (job->temp.create(job->dir, seconds, may_be_named, &code, options.keeper)) {
    case temp_created: return true;
    case temp_needs_name: job->state = job_deferred; return false;
    case temp_failed: break;
    }
    return fail(job, failed_create_temp, code);
}

// The checks before anything is opened: the names involved fit the program's paths.
bool check_names(rewrite_job *job, const char *path, const char *search_text, int64_t seconds,
                 bool listed_plain) {
    if (!path) return fail(job, failed_no_path);
    job->path = path;
    if (!search_text || !*search_text) return fail(job, failed_no_search);
    if (!path_fits(job->path)) return fail(job, failed_path_too_long);
    // A link to a file is rewritten through its target, and stays a link.
    job->name_is_file = listed_plain;
    if (listed_plain) {
        job->real = path;
    } else if (!os_link_target(path, &job->real)) {
        job->real = path;
        job->dir = directory_of(path);
        const uint32_t code = os_last_error();
        job->temp.first_name(job->dir, seconds);
        return fail(job, failed_open_source, code);
    }
    if (!path_fits(job->real)) return fail(job, failed_target_too_long);
    job->dir = directory_of(job->real.c_str());
    if (!job->temp.first_name(job->dir, seconds)) return fail(job, failed_temp_path_too_long);
    return true;
}

// The copy's way out on a file that is not what it took it for: a fault, a binary file left
// alone, or another encoding to try (*again). The temporary file made for it goes.
bool copy_stopped(rewrite_job *job, const text_watch &watch, const text_setup &setup,
                  text_encoding *again) {
    job->temp.drop();
    const encoding_check &c = watch.check;
    if (c.fault != fault_none) {
        job->encoding = c.verdict;
        job->fault = c.fault;
        job->fault_at = c.fault_at;
        return fail(job, failed_bad_bytes);
    }
    *again = c.verdict;
    if (*again != enc_binary || setup.include_binary) return true;
    job->encoding = enc_binary;
    job->binary_left = true;
    return false;
}

// Reads the file and, when it holds an occurrence, writes its new text to a temporary file
// that is flushed to the disk. src is the file, open for reading. With a text setup the file is
// searched and written in its own encoding (text_scan); the copy watches that it is what the
// scan found, and starts again from the file's start in another form when it is not.
bool copy_to_temp(rewrite_job *job, const os_file &src, const char *search, const char *replace,
                  int64_t seconds, const prepare_options &options) {
    if (!os_fstat(src, &job->before)) return fail_with_error(job, failed_stat_source);
    if (!job->before.is_regular) return fail(job, failed_not_regular);
    const text_setup *setup = options.text;
    static const text_setup no_setup;  // (unused without options.text)
    const text_setup &use = setup ? *setup : no_setup;
    if (setup) job->code_page = setup->legacy_code_page;
    text_encoding e = enc_utf8;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0 && !os_rewind(src)) return fail_with_error(job, failed_read_source);
        encoded_scan scan;
        line_stream &s = scan.s;
        copy_result found_it;
        if (setup) {
            found_it = text_scan(src, job->before.size, use, search, replace, e, &scan);
        } else {
            line_setup(s, search, strlen(search), replace, strlen(replace));
            found_it = text_has_occurrence(src, s, job->before.size, &scan.found, &scan.held);
        }
        if (found_it == copy_read_error) return fail_with_error(job, failed_read_source);
        if (found_it == copy_runaway) return fail(job, failed_runaway);
        job->encoding = scan.form.encoding;
        job->binary_left = scan.binary_left;
        if (!scan.found) return true;
        // The start of the file (or all of it), read by the search and not read again.
        const size_t held = scan.held ? scan.held : scan.whole;
        if (scan.watch.check.fault != fault_none) {
            job->encoding = scan.watch.check.verdict;
            job->fault = scan.watch.check.fault;
            job->fault_at = scan.watch.check.fault_at;
            return fail(job, failed_bad_bytes);
        }
        if (!scan.form.replace_exact) return fail(job, failed_not_representable);
        if (job->before.read_only) return fail(job, failed_read_only);
        if (!create_temp(job, seconds, options)) return false;
        if (held == 0 && !os_rewind(src)) return fail_with_error(job, failed_read_source);
        const bool units = scan.form.units;
        text_watch watch;
        if (setup) {
            const text_encoding begun =
                scan.form.encoding == enc_utf8 ? scan.watch.check.begun : scan.form.encoding;
            watch = text_watch_for(scan.form, use, true, false, begun);
        }
        bool changed = false;
        content_hash written;
        copy_result copy = text_copy_rewritten(src, job->temp.file, s, &changed, options.cancel,
                                               held, options.reserve_space, &watch,
                                               units ? &scan.form : nullptr,
                                               options.keeper ? &written : nullptr);
        if (copy == copy_encoding_changed) {
            if (!copy_stopped(job, watch, use, &e)) return job->binary_left;
            continue;
        }
        if (setup && scan.form.encoding != enc_binary) job->encoding = watched_encoding(watch);
        if (copy == copy_cancelled) {
            job->state = job_cancelled;
            return false;
        }
        if (copy == copy_read_error) return fail_with_error(job, failed_read_source);
        if (copy == copy_write_error) return fail_with_error(job, failed_write_temp);
        if (copy == copy_runaway) return fail(job, failed_runaway);
        if (!changed) return true;  // nothing to swap in after all
        if (!os_copy_attributes(job->temp.file, job->temp.path.c_str(), job->before))
            return fail_with_error(job, failed_temp_permissions);
        // The original is kept before the new text is flushed, so that one flush puts both on
        // the disk before the swap.
        if (options.keeper) {
            job->kept = options.keeper->keep(*job, written.length, hash_value(written));
            if (job->kept == 0) return fail_with_error(job, failed_keep_original);
            job->keeper = options.keeper;
        }
        job->state = job_unflushed;
        if (!options.flush_later) rewrite_flush(job);
        return job->failure == rewrite_fine;
    }
    return fail(job, failed_read_source);
}

#define ANNOUNCE_FORMAT \
    "INFO: About to Update File %s \nSearch for:  %s  \nReplace with: %s \nPure Path:  %s\nTemp File: %s\n"
#define SUCCESS_FORMAT "INFO:  Successfully replaced all occurrences of '%s' with '%s' for file %s."

// The entry goes out with the next line the commit logs, in one write: that line comes before
// anything is done to the file (the time is read first), so the log still tells of the file
// before its swap.
void announce(const rewrite_job &job, const char *search, const char *replace) {
    log_strings(true, ANNOUNCE_FORMAT,
                {job.path.c_str(), search, replace, job.dir.c_str(), job.temp.path.c_str()});
}

int report_success(const rewrite_job &job, const char *search, const char *replace) {
    log_strings(false, SUCCESS_FORMAT, {search, replace, job.path.c_str()});
    return 1;
}

// A file without occurrence: its "About to Update" entry and its "Successfully replaced" line,
// with nothing between them, go to the log in one write (or wait to go with the next entries).
int report_untouched(const rewrite_job &job, const char *search, const char *replace,
                     bool may_wait) {
    if (job.binary_left) {
        log_strings(may_wait, "INFO: Binary file left alone (holds NUL bytes): %s\n",
                    {job.path.c_str()});
        return 1;
    }
    log_strings(may_wait, ANNOUNCE_FORMAT SUCCESS_FORMAT "\n",
                {job.path.c_str(), search, replace, job.dir.c_str(), job.temp.path.c_str(), search,
                 replace, job.path.c_str()});
    return 1;
}

// How the log words a failure that names the file: "ERROR: <what>: <path>", followed by the
// system's reason in brackets (with_reason), or naming the temporary file first (on_temp).
enum failure_form { plain, with_reason, on_temp };

struct failure_words {
    rewrite_failure failure;
    failure_form form;
    const char *what;
};

const failure_words worded_failures[] = {
    {failed_stat_source, with_reason, "Unable to read src file"},
    {failed_read_source, with_reason, "Unable to read src file"},
    {failed_not_regular, plain, "Not a regular file, left alone"},
    {failed_runaway, plain,
     "Replacement would never end (the replacement text brings the search text back, or a line grows without bound); file not changed"},
    {failed_read_only, plain, "File is read-only; not changed"},
    {failed_write_temp, on_temp, "Unable to write temp file"},
    {failed_temp_permissions, on_temp, "Unable to give the temp file the file's permissions"},
    {failed_sync_temp, on_temp, "Unable to write temp file to the disk"},
    {failed_read_time, plain, "Last-write time could not be read; file not changed"},
    {failed_recheck, with_reason,
     "Unable to look at the file again before the swap; file not changed"},
    {failed_changed, plain, "File changed while it was being rewritten; left as it is"},
    {failed_set_temp_time, on_temp, "Unable to set the temp file's time"},
    {failed_keep_temp, on_temp, "Unable to keep the temp file"},
    {failed_swap, with_reason, "Unable to put the rewritten file in place; file not changed"},
    {failed_keep_original, with_reason, "Unable to keep the original for undo; file not changed"},
    {failed_set_time, plain,
     "Last-write time could not be set again after the swap; the file holds its new text"},
};

// The lines of the failures that are not worded by the table.
void log_other_failure(const rewrite_job &job, const char *why) {
    const char *path = job.path.c_str();
    const char *temp = job.temp.path.c_str();
    switch (job.failure) {
    case failed_no_path:
        log_message("ERROR: update_file() was given NULL for filename!  FAIL!\n");
        break;
    case failed_no_search:
        log_message("ERROR: update_file() was given an empty search text for file %s  FAIL!\n",
                    path);
        break;
    case failed_path_too_long:
    case failed_target_too_long: {
        const std::string &p = job.failure == failed_path_too_long ? job.path : job.real;
        log_message("ERROR: %s: %s\n", path_too_long(p).c_str(), p.c_str());
        break;
    }
    case failed_temp_path_too_long:
        log_message("ERROR: Temporary file path too long for file: %s\n", path);
        break;
    case failed_open_source:
        log_message("ERROR: Unable to open src file: %s\n", path);
        log_message("ERROR: %s: %s\n", path, why);
        break;
    case failed_create_temp:
        log_message("ERROR: Unable to open temp file: %s\n", temp);
        if (job.code) log_message("ERROR: %s: %s, for file %s\n", temp, why, path);
        break;
    case failed_not_representable:
        log_message("ERROR: The replacement cannot be written in the file's encoding (%s); file "
                    "not changed: %s\n",
                    encoding_name(job.encoding, job.code_page).c_str(), path);
        break;
    case failed_bad_bytes:
        log_message("ERROR: The file's bytes cannot be kept in its encoding (%s: %s, at byte "
                    "%llu); file not changed: %s\n",
                    encoding_name(job.encoding, job.code_page).c_str(), enc_fault_text(job.fault),
                    (unsigned long long)job.fault_at, path);
        break;
    default: break;
    }
}

// The one way out of a failed rewrite: the mark is raised, and the log says what failed,
// naming the file and the system's reason where there is one. (The temporary file is gone by
// then: rewrite_prepare and rewrite_swap drop it where they fail.)
int report_failure(const rewrite_job &job) {
    errors_seen = 1;
    const std::string reason = job.code ? os_error_text(job.code) : "";
    for (const failure_words &w : worded_failures) {
        if (w.failure != job.failure) continue;
        const char *path = job.path.c_str();
        if (w.form == plain) log_message("ERROR: %s: %s\n", w.what, path);
        if (w.form == with_reason)
            log_message("ERROR: %s: %s (%s)\n", w.what, path, reason.c_str());
        if (w.form == on_temp)
            log_message("ERROR: %s: %s, for file %s (%s)\n", w.what, job.temp.path.c_str(), path,
                        reason.c_str());
        return 0;
    }
    log_other_failure(job, reason.c_str());
    return 0;
}

// Reads (set 0) or sets (set 1) the last-write time of the file at path, trying again while
// another program holds the file. 1 done; 0 the file could not be reached; -1 it was reached
// but its time could not be read or set. The system's error is set on failure.
int path_time(const char *path, int64_t *time, int set) {
    int done = 0;
    if (!retry_while_locked(path, [&] { return (done = os_path_mtime(path, time, set)) != 0; }))
        return 0;
    return done;
}

// get_set_ftime's lines. The success line may wait to go out with the next entry (the setting
// of the time after the swap, which its success line follows at once).
void log_time_done(const char *path, int set, bool may_wait) {
    log_strings(may_wait, "get_set_ftime() success %s timestamp file: %s.",
                {set ? "setting" : "getting", path});
}

void log_time_failed(const char *path, int set, bool reached, uint32_t code) {
    os_set_last_error(code);
    log_system_error(path);
    if (!reached) return;
    errors_seen = 1;
    log_message("ERROR: get_set_ftime() Failed %s timestamp file: %s ", set ? "setting" : "getting",
                path);
}

// What rewrite_commit's log says of the swap's steps as they happen.
struct log_reporter : swap_reporter {
    void time_done(const char *path, bool set) override { log_time_done(path, set, set); }
    void time_failed(const char *path, bool set, bool reached, uint32_t code) override {
        log_time_failed(path, set, reached, code);
    }
    void temp_renamed(const char *used) override {
        log_message("INFO: Temp File taken meanwhile; used %s", used);
    }
};

// The swap stops short: why is recorded, and the temporary file goes (keeping the system's
// error).
swap_outcome swap_failed_at(rewrite_job *job, rewrite_failure why, uint32_t code = 0) {
    fail(job, why, code);
    job->temp.drop();
    return swap_outcome{swap_failed, why, code};
}

// The records of a kept original go to the disk with the temporary file's flush, so both are
// there before the swap.
void flush_kept(rewrite_job *job) {
    if (!job->keeper || job->keeper->flush()) return;
    fail_with_error(job, failed_keep_original);
    job->temp.drop();
}

}  // namespace

void lock_retry_wait(int milliseconds) { lock_wait(milliseconds); }

int get_set_ftime(const char *path, int64_t *time, int set) {
    const int done = path_time(path, time, set);
    if (done > 0) {
        log_time_done(path, set, false);
        return 1;
    }
    log_time_failed(path, set, done < 0, os_last_error());
    return 0;
}

bool refused_before_announce(rewrite_failure failure) {
    switch (failure) {
    case failed_no_path:
    case failed_no_search:
    case failed_path_too_long:
    case failed_target_too_long:
    case failed_temp_path_too_long: return true;
    default: return false;
    }
}

void rewrite_prepare(rewrite_job *job, const char *path, const char *search_text,
                     const char *replace_text, const prepare_options &options,
                     const file_facts &facts) {
    *job = rewrite_job();
    const int64_t seconds = os_time_now();
    if (!check_names(job, path, search_text, seconds, facts.listed_plain)) return;
    if (!replace_text) replace_text = "";
    os_file src;
    const char *real = job->real.c_str();
    if (!retry_while_locked(real, [&] { return os_open_read(real, &src); })) {
        fail_with_error(job, failed_open_source);
        return;
    }
    bool ok = copy_to_temp(job, src, search_text, replace_text, seconds, options);
    if (ok && holds_new_text(job->state) && options.keep_source && os_can_replace_open_file)
        job->source = std::move(src);
    else
        os_close(&src);
    if (!ok) job->temp.drop();
}

int rewrite_still_current(const rewrite_job &job) {
    os_stat now;
    if (!os_stat_path(job.real.c_str(), &now, job.name_is_file ? 0 : 1)) return -1;
    bool same_id = now.id.index == 0 || job.before.id.index == 0 || now.id == job.before.id;
    return now.size == job.before.size && now.mtime == job.before.mtime && same_id ? 1 : 0;
}

swap_outcome rewrite_swap(rewrite_job *job, swap_reporter &reporter) {
    if (job->state == job_failed) {
        job->temp.drop();
        return swap_outcome{swap_failed, job->failure, job->code};
    }
    if (!holds_new_text(job->state)) return swap_outcome{};
    rewrite_flush(job);
    if (job->state == job_failed) return swap_outcome{swap_failed, job->failure, job->code};

    const char *real = job->real.c_str();
    if (rewrite_before_swap_hook) rewrite_before_swap_hook(real);
    // The time is read before the swap; without it the file is not swapped.
    int64_t saved = 0;
    const int read = path_time(real, &saved, 0);
    if (read <= 0) {
        const uint32_t code = os_last_error();
        reporter.time_failed(real, false, read < 0, code);
        return swap_failed_at(job, failed_read_time);
    }
    reporter.time_done(real, false);
    if (saved != job->before.mtime) return swap_failed_at(job, failed_changed);
    // The temporary file gets the time first, so the swapped-in file has it from the start.
    if (!os_set_mtime(job->temp.file, saved))
        return swap_failed_at(job, failed_set_temp_time, os_last_error());
    // The last look comes just before the swap: a change made by someone else since the file
    // was read is never overwritten (one made in the instant between the look and the swap is
    // the limit of any rewrite through a new file).
    int current = rewrite_still_current(*job);
    if (current < 0) return swap_failed_at(job, failed_recheck, os_last_error());
    if (current == 0) return swap_failed_at(job, failed_changed);
    // The temporary file gets its name (or loses its mark for deletion) and is swapped in at
    // once, and closed after: only a run killed between those two steps can leave it behind,
    // and then whole. Its data was flushed before, so the close can lose nothing.
    // The keeper of the original learns the name first: a run killed from here to the swap
    // leaves the temporary file under it, for the undo to remove.
    if (job->keeper) job->keeper->naming(job->kept, job->temp.path);
    if (!job->temp.named) {
        bool taken_meanwhile = false;
        uint32_t code = 0;
        if (!job->temp.name(job->dir, &taken_meanwhile, &code))
            return swap_failed_at(job, failed_create_temp, code);
        if (taken_meanwhile) {
            reporter.temp_renamed(job->temp.path.c_str());
            if (job->keeper) job->keeper->naming(job->kept, job->temp.path);
        }
    }
    if (!job->temp.keep()) return swap_failed_at(job, failed_keep_temp, os_last_error());
    if (!retry_while_locked(real, [&] { return os_replace(job->temp.path.c_str(), real); }))
        return swap_failed_at(job, failed_swap, os_last_error());
    job->temp.close();
    const int set = path_time(real, &saved, 1);
    if (set <= 0) {
        const uint32_t code = os_last_error();
        reporter.time_failed(real, true, set < 0, code);
        return swap_failed_at(job, failed_set_time);
    }
    reporter.time_done(real, true);
    return swap_outcome{swap_swapped, rewrite_fine, 0};
}

int rewrite_report(const rewrite_job &job, const swap_outcome &outcome, const char *search_text,
                   const char *replace_text, const report_options &report) {
    if (!replace_text) replace_text = "";
    switch (outcome.result) {
    case swap_untouched:
        return report_untouched(job, search_text, replace_text, report.log_may_wait);
    case swap_swapped: return report_success(job, search_text, replace_text);
    case swap_failed: break;
    }
    return report_failure(job);
}

int rewrite_commit(rewrite_job *job, const char *search_text, const char *replace_text,
                   const report_options &report) {
    if (!replace_text) replace_text = "";
    rewrite_flush(job);  // every file is on the disk before its swap
    // A file that was looked at and holds a new text, or failed, is announced before anything
    // more is done to it; one without occurrence gets its whole entry from the report.
    const bool announced = holds_new_text(job->state) ||
                           (job->state == job_failed && !refused_before_announce(job->failure));
    if (announced) {
        // The log's "Temp File:" names the file the swap uses.
        if (holds_new_text(job->state) && !job->temp.named) job->temp.choose_name(job->dir);
        announce(*job, search_text, replace_text);
        // What a file not in plain UTF-8 is read and written in (in the same write as the
        // entry, which waits for its next line).
        if (holds_new_text(job->state) && job->encoding != enc_utf8) {
            if (job->encoding == enc_binary)
                log_strings(false, "INFO: Binary file rewritten byte for byte (holds NUL bytes): %s",
                            {job->path.c_str()});
            else
                log_message("INFO: File in %s: %s",
                            encoding_name(job->encoding, job->code_page).c_str(),
                            job->path.c_str());
        }
        // Nothing is done that the log cannot tell: without it the run stops here.
        if (log_unavailable()) {
            job->temp.drop();
            return 0;
        }
    }
    log_reporter reporter;
    const swap_outcome outcome = rewrite_swap(job, reporter);
    return rewrite_report(*job, outcome, search_text, replace_text, report);
}

void rewrite_flush(rewrite_job *job) {
    if (job->state != job_unflushed) return;
    job->state = job_ready;
    if (!os_sync(job->temp.file)) {
        fail_with_error(job, failed_sync_temp);
        job->temp.drop();
        return;
    }
    flush_kept(job);
}

void rewrite_flush_together(rewrite_job *const *jobs, size_t n) {
    // A temporary file stands in its file's folder, so on its file's volume (the swap could not
    // put it in place from anywhere else).
    auto same_volume = [&](size_t i, size_t lead) {
        return jobs[i]->state == job_unflushed &&
               jobs[i]->before.id.volume == jobs[lead]->before.id.volume;
    };
    for (size_t lead = 0; lead < n; ++lead) {
        if (jobs[lead]->state != job_unflushed) continue;
        size_t others = 0;
        for (size_t i = lead + 1; i < n; ++i) others += same_volume(i, lead) ? 1 : 0;
        if (others == 0) continue;
        if (!os_sync_volume(jobs[lead]->temp.file)) break;
        for (size_t i = lead; i < n; ++i)
            if (same_volume(i, lead)) {
                jobs[i]->state = job_ready;
                flush_kept(jobs[i]);
            }
    }
    for (size_t i = 0; i < n; ++i) rewrite_flush(jobs[i]);
}

void rewrite_set_lock_wait(void (*wait)(int milliseconds)) {
    lock_wait = wait ? wait : os_sleep_ms;
}

void rewrite_discard(rewrite_job *job) {
    job->temp.drop();
    os_close(&job->source);
    *job = rewrite_job();
}

int update_file(const char *path, const char *search_text, const char *replace_text,
                const text_setup &text) {
    rewrite_job job;
    prepare_options options;
    options.text = &text;
    rewrite_prepare(&job, path, search_text, replace_text, options);
    return rewrite_commit(&job, search_text, replace_text);
}

int update_file(const char *path, const char *search_text, const char *replace_text) {
    rewrite_job job;
    rewrite_prepare(&job, path, search_text, replace_text, prepare_options());
    return rewrite_commit(&job, search_text, replace_text);
}
