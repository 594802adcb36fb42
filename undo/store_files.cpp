// File helpers of the undo store.
#include "undo/store_files.h"

#include <memory>

#include "engine/content_hash.h"
#include "engine/engine.h"

namespace {

constexpr size_t block = size_t(1) << 20;

// Runs each block of the file at path through take (false stops with the read's error).
template <class Take>
bool each_block(const std::string &path, Take take) {
    os_file f;
    if (!os_open_read(path.c_str(), &f)) return false;
    std::unique_ptr<char[]> buf(new char[block]);
    for (;;) {
        size_t got = 0;
        if (!os_read(f, buf.get(), block, &got)) {
            uint32_t code = os_last_error();
            os_close(&f);
            os_set_last_error(code);
            return false;
        }
        if (got == 0) break;
        if (!take(buf.get(), got)) {
            uint32_t code = os_last_error();
            os_close(&f);
            os_set_last_error(code);
            return false;
        }
    }
    os_close(&f);
    return true;
}

}  // namespace

bool is_path_separator(char c) {
#if defined(_WIN32)
    return c == '\\' || c == '/';
#else
    return c == '/';
#endif
}

std::string path_in(const std::string &dir, const std::string &name) {
    if (dir.empty() || is_path_separator(dir.back())) return dir + name;
    return dir + path_separator + name;
}

bool make_folders(const std::string &path) {
    os_stat st;
    if (os_stat_path(path.c_str(), &st, 1) && st.is_dir) return true;
    // Each folder from the top down; those that are there already are passed.
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && !is_path_separator(path[i])) continue;
        const std::string part = path.substr(0, i);
        if (part.size() == 2 && part[1] == ':') continue;  // a drive
        if (!os_make_dir(part.c_str()) && !os_error_is_exists(os_last_error())) return false;
    }
    if (os_stat_path(path.c_str(), &st, 1) && st.is_dir) return true;
    return false;
}

bool read_whole(const std::string &path, std::string *out) {
    out->clear();
    return each_block(path, [&](const char *p, size_t n) {
        out->append(p, n);
        return true;
    });
}

bool copy_whole(const std::string &from, const std::string &to) {
    os_file dst;
    if (!os_create_new(to.c_str(), &dst)) return false;
    bool ok = each_block(from, [&](const char *p, size_t n) { return os_write_all(dst, p, n) != 0; }) &&
              os_sync(dst);
    uint32_t code = os_last_error();
    os_close(&dst);
    if (!ok) {
        os_remove(to.c_str());
        os_set_last_error(code);
    }
    return ok;
}

bool hash_of_file(const std::string &path, uint64_t *size, uint64_t *hash) {
    content_hash h;
    if (!each_block(path, [&](const char *p, size_t n) {
            hash_update(h, p, n);
            return true;
        }))
        return false;
    *size = h.length;
    *hash = hash_value(h);
    return true;
}

void remove_made_temp(const undo_made_temp &temp) {
    os_stat st;
    if (!os_stat_path(temp.path.c_str(), &st, 0) || !st.is_regular) return;
    // A file time may be as coarse as two seconds (FAT).
    constexpr int64_t coarsest = int64_t(2) * 10000000;
    if (temp.id_known ? st.id == temp.id : st.size == 0 && st.mtime + coarsest >= temp.noted)
        os_remove(temp.path.c_str());
}

void remove_leftover_temp(const undo_entry &entry) {
    if (entry.temp_path.empty()) return;
    os_stat st;
    if (!os_stat_path(entry.temp_path.c_str(), &st, 0) || !st.is_regular) return;
    if (st.size != entry.new_size) return;
    uint64_t size = 0, hash = 0;
    if (hash_of_file(entry.temp_path, &size, &hash) && size == entry.new_size &&
        hash == entry.new_hash)
        os_remove(entry.temp_path.c_str());
}
