// The rewrite's temporary file (see temp_file.h).
#include "engine/temp_file.h"

#include <stdio.h>

#include "engine/engine.h"
#include "engine/lock_retry.h"
#include "engine/rewrite.h"

namespace {

// The temporary file's name for a given time: the low 32 bits of the seconds, signed.
std::string temp_name(int64_t seconds) {
    char name[32];
    snprintf(name, sizeof name, "%d.tmp", int(int32_t(uint32_t(uint64_t(seconds) & 0xffffffffu))));
    return name;
}

// dir joined with name, or "" when that is longer than a path may be.
std::string joined(const std::string &dir, const std::string &name) {
    std::string out;
    join_path(&out, dir.c_str(), name.c_str());
    return path_fits(out) ? out : "";
}

// Tries attempt (true: done; false: failed, the system's error set) on the temporary names of
// dir from number up, until a name is not taken; that name becomes the file's.
template <class Attempt>
bool on_free_name(temp_file &t, const std::string &dir, int64_t number, uint32_t *code,
                  Attempt attempt) {
    *code = 0;
    for (int tries = 0; tries < 10000; ++tries) {
        std::string path = joined(dir, temp_name(number + tries));
        if (path.empty()) return false;
        if (attempt(path)) {
            t.path = path;
            t.named = true;
            return true;
        }
        if (!os_error_is_exists(os_last_error())) break;
    }
    *code = os_last_error();
    return false;
}

}  // namespace

bool temp_file::first_name(const std::string &dir, int64_t seconds) {
    path = joined(dir, temp_name(seconds));
    return !path.empty();
}

temp_made temp_file::create(const std::string &dir, int64_t seconds, bool may_be_named,
                            uint32_t *code, rewrite_keeper *keeper) {
    *code = 0;
    if (os_create_unnamed(dir.c_str(), &file)) return temp_created;
    if (!os_error_is_unsupported(os_last_error())) {
        *code = os_last_error();
        return temp_failed;
    }
    if (!may_be_named) return temp_needs_name;
    int marked = 0;
    const bool made = on_free_name(*this, dir, seconds, code, [&](const std::string &p) {
        if (keeper) keeper->creating(p);
        if (!retry_while_locked(p.c_str(),
                                [&] { return os_create_new(p.c_str(), &file, &marked); }))
            return false;
        goes = marked != 0;
        os_stat st;
        if (keeper && os_fstat(file, &st)) keeper->created(p, st.id);
        return true;
    });
    return made ? temp_created : temp_failed;
}

void temp_file::choose_name(const std::string &dir) {
    const int64_t seconds = os_time_now();
    chosen = true;
    for (int tries = 0; tries < 10000; ++tries) {
        number = seconds + tries;
        path = joined(dir, temp_name(number));
        os_stat st;
        if (path.empty() || !os_stat_path(path.c_str(), &st, 0)) return;
    }
}

bool temp_file::name(const std::string &dir, bool *taken_meanwhile, uint32_t *code) {
    if (!chosen) choose_name(dir);
    const std::string chosen = path;
    *taken_meanwhile = false;
    if (!on_free_name(*this, dir, number, code,
                      [&](const std::string &p) { return os_name_temp(file, p.c_str()) != 0; }))
        return false;
    *taken_meanwhile = path != chosen;
    return true;
}

bool temp_file::keep() {
    if (!goes) return true;
    if (!os_keep_temp(file)) return false;
    goes = false;
    return true;
}

void temp_file::drop() {
    if (file.handle == -1) return;
    uint32_t code = os_last_error();
    const bool remove = named && !goes;
    std::string now;
    if (!remove || !os_current_name(file, &now)) now = path;
    os_close(&file);
    if (remove) os_remove(now.c_str());
    os_set_last_error(code);
}
