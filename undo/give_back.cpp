// Giving a file its original back: only while it holds exactly what the run wrote, by one
// atomic swap, with the last-write time it had before the run.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "engine/engine.h"
#include "undo/store_files.h"
#include "undo/undo.h"

namespace {

// About two seconds of tries while another program holds the file for a moment (a scanner,
// an indexer, a reader), as the rewrite does.
template <class Attempt>
bool retry_while_held(const std::string &path, Attempt attempt) {
    int waited = 0;
    for (int pause = 10;; pause = pause * 2 > 100 ? 100 : pause * 2) {
        if (attempt()) return true;
        uint32_t code = os_last_error();
        bool held = waited < 2000 && os_error_is_transient_lock(code, path.c_str());
        os_set_last_error(code);
        if (!held) return false;
        os_sleep_ms(pause);
        waited += pause;
    }
}

std::string folder_of(const std::string &path) {
    std::string dir = path;
    directory_part(&dir);
    return dir;
}

// The copy kept in the store goes to a new file beside the file (one without a name until the
// swap where the file system has them, else one under a free "<n>.undo.tmp" name that goes with
// its handle), gets the original's attributes and time, and is flushed; *name is the name the
// swap moves. false with the system's error set, and nothing left behind.
bool stage_copy(const undo_entry &e, os_file *f, std::string *name) {
    const std::string dir = folder_of(e.path);
    bool unnamed = os_create_unnamed(dir.c_str(), f) != 0;
    if (!unnamed && !os_error_is_unsupported(os_last_error())) return false;
    int goes = 0;
    for (int n = 0; !unnamed; ++n) {
        *name = path_in(dir, std::to_string(os_time_now() + n) + ".undo.tmp");
        if (os_create_new(name->c_str(), f, &goes)) break;
        if (!os_error_is_exists(os_last_error()) || n == 10000) return false;
    }
    os_stat original;
    original.attributes = e.attributes;
    original.owner = e.owner;
    original.group = e.group;
    auto fail = [&] {
        uint32_t code = os_last_error();
        os_close(f);
        if (!unnamed && !goes) os_remove(name->c_str());
        os_set_last_error(code);
        return false;
    };
    os_file src;
    if (!os_open_read(e.kept.c_str(), &src)) return fail();
    std::string buf(size_t(1) << 20, '\0');
    for (;;) {
        size_t got = 0;
        if (!os_read(src, &buf[0], buf.size(), &got)) {
            os_close(&src);
            return fail();
        }
        if (got == 0) break;
        if (!os_write_all(*f, buf.data(), got)) {
            os_close(&src);
            return fail();
        }
    }
    os_close(&src);
    if (unnamed) *name = path_in(dir, std::to_string(os_time_now()) + ".undo.tmp");
    if (!os_copy_attributes(*f, name->c_str(), original) || !os_set_mtime(*f, e.mtime) ||
        !os_sync(*f))
        return fail();
    for (int n = 1; unnamed; ++n) {
        if (os_name_temp(*f, name->c_str())) break;
        if (!os_error_is_exists(os_last_error()) || n == 10000) return fail();
        *name = path_in(dir, std::to_string(os_time_now() + n) + ".undo.tmp");
    }
    if (goes && !os_keep_temp(*f)) return fail();
    return true;
}

// A file that does not hold what the run wrote may hold its original already (given back by a
// later record of the same file, which the undo takes first): then there is nothing to do.
undo_outcome as_kept(const undo_entry &e, uint64_t size, uint64_t hash) {
    uint64_t kept_size = 0, kept_hash = 0;
    if (hash_of_file(e.kept, &kept_size, &kept_hash) && kept_size == size && kept_hash == hash)
        return undo_outcome::as_it_was;
    return undo_outcome::changed_since;
}

}  // namespace

undo_outcome undo_give_back(const undo_entry &e) {
    remove_leftover_temp(e);
    os_stat now;
    if (!os_stat_path(e.path.c_str(), &now, 1)) {
        return os_stat_path(folder_of(e.path).c_str(), &now, 1) ? undo_outcome::changed_since
                                                                 : undo_outcome::failed;
    }
    if (now.id == e.original_id) return undo_outcome::as_it_was;  // never swapped
    uint64_t size = 0, hash = 0;
    if (!now.is_regular) return undo_outcome::changed_since;
    if (now.size != e.new_size) {
        if (!hash_of_file(e.path, &size, &hash)) return undo_outcome::failed;
        return as_kept(e, size, hash);
    }
    if (!hash_of_file(e.path, &size, &hash)) return undo_outcome::failed;
    if (size != e.new_size || hash != e.new_hash) return as_kept(e, size, hash);

    os_file staged;
    std::string from = e.kept;
    if (e.copied) {
        if (!stage_copy(e, &staged, &from)) return undo_outcome::failed;
    } else {
        // The original itself comes back, under its own name, with its time.
        int64_t mtime = e.mtime;
        if (!os_path_mtime(e.kept.c_str(), &mtime, 1)) return undo_outcome::failed;
    }
    // The last look comes just before the swap, as in a rewrite: an edit made since the file
    // was checked is never overwritten.
    os_stat last;
    const bool same = os_stat_path(e.path.c_str(), &last, 1) && last.id == now.id &&
                      last.size == now.size && last.mtime == now.mtime;
    if (!same || !retry_while_held(e.path, [&] { return os_replace(from.c_str(), e.path.c_str()); })) {
        uint32_t code = os_last_error();
        if (e.copied) {
            os_close(&staged);
            os_remove(from.c_str());
        }
        os_set_last_error(code);
        return same ? undo_outcome::failed : undo_outcome::changed_since;
    }
    os_close(&staged);
    return undo_outcome::given_back;
}
