// The journal's text form.
#include "undo/journal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

#include "engine/engine.h"

std::string journal_escape(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case ' ': out += "\\s"; break;
        default: out += c;
        }
    }
    return out;
}

int journal_unescape(const std::string &text, std::string *out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            if (text[i] == ' ' || text[i] == '\n' || text[i] == '\r') return 0;
            *out += text[i];
            continue;
        }
        if (++i == text.size()) return 0;
        switch (text[i]) {
        case '\\': *out += '\\'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case 's': *out += ' '; break;
        default: return 0;
        }
    }
    return 1;
}

std::string journal_header(const std::string &root, const std::string &search,
                           const std::string &replace, int64_t started) {
    return std::string(journal_first_line) + "\nroot " + journal_escape(root) + "\nstarted " +
           std::to_string(started) + "\nsearch " + journal_escape(search) + "\nreplace " +
           journal_escape(replace) + "\n";
}

std::string journal_keep_line(uint64_t number, bool copied, const undo_file &file) {
    char fields[256];
    snprintf(fields, sizeof fields, "keep %llu %s %llu %llu %lld %lu %lu %lu %llu %016llx ",
             (unsigned long long)number, copied ? "copy" : "link",
             (unsigned long long)file.before.id.volume, (unsigned long long)file.before.id.index,
             (long long)file.before.mtime, (unsigned long)file.before.attributes,
             (unsigned long)file.before.owner, (unsigned long)file.before.group,
             (unsigned long long)file.new_size, (unsigned long long)file.new_hash);
    std::string line = fields + journal_escape(file.path) + "\n";
    if (!file.temp_path.empty()) line += journal_temp_line(number, file.temp_path);
    return line;
}

std::string journal_temp_line(uint64_t number, const std::string &temp_path) {
    return "temp " + std::to_string(number) + " " + journal_escape(temp_path) + "\n";
}

std::string journal_making_line(const std::string &temp_path, int64_t file_time) {
    return "making " + std::to_string(file_time) + " " + journal_escape(temp_path) + "\n";
}

std::string journal_made_line(const std::string &temp_path, const os_file_id &id) {
    return "made " + std::to_string(id.volume) + " " + std::to_string(id.index) + " " +
           journal_escape(temp_path) + "\n";
}

namespace {

std::vector<std::string> fields_of(const std::string &line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string f;
    while (std::getline(in, f, ' ')) fields.push_back(f);
    return fields;
}

bool number_of(const std::string &text, uint64_t *out, int base = 10) {
    if (text.empty()) return false;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, base);
    if (*end != '\0' || text[0] == '-') return false;
    *out = v;
    return true;
}

bool signed_of(const std::string &text, int64_t *out) {
    if (text.empty()) return false;
    char *end = nullptr;
    long long v = strtoll(text.c_str(), &end, 10);
    if (*end != '\0') return false;
    *out = v;
    return true;
}

// A "keep" line's fields after the word: number, kind, volume, index, mtime, attributes,
// owner, group, new size, new hash, path.
bool read_keep(const std::vector<std::string> &f, const std::string &dir, undo_entry *e) {
    if (f.size() != 12 || (f[2] != "link" && f[2] != "copy")) return false;
    uint64_t attributes = 0, owner = 0, group = 0;
    if (!number_of(f[1], &e->number) || e->number == 0 || !number_of(f[3], &e->original_id.volume) ||
        !number_of(f[4], &e->original_id.index) || !signed_of(f[5], &e->mtime) ||
        !number_of(f[6], &attributes) || !number_of(f[7], &owner) || !number_of(f[8], &group) ||
        !number_of(f[9], &e->new_size) || !number_of(f[10], &e->new_hash, 16) ||
        !journal_unescape(f[11], &e->path) || e->path.empty())
        return false;
    e->copied = f[2] == "copy";
    e->attributes = uint32_t(attributes);
    e->owner = uint32_t(owner);
    e->group = uint32_t(group);
    char name[32];
    snprintf(name, sizeof name, "%llu", (unsigned long long)e->number);
    join_path(&e->kept, dir.c_str(), name);
    return true;
}

}  // namespace

int journal_read(const std::string &text, const std::string &dir, undo_record *record) {
    *record = undo_record();
    record->dir = dir;
    std::vector<std::string> lines;
    size_t start = 0;
    bool cut_short = false;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            cut_short = true;
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.empty() || lines[0] != journal_first_line) return 0;
    std::map<uint64_t, size_t> by_number;  // entries' places in record->entries
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        const bool last_cut = cut_short && i + 1 == lines.size();
        const std::vector<std::string> f = fields_of(line);
        bool read = !last_cut && !f.empty();
        if (read && f[0] == "root" && f.size() == 2) {
            read = journal_unescape(f[1], &record->root) != 0;
        } else if (read && f[0] == "started" && f.size() == 2) {
            read = signed_of(f[1], &record->started);
        } else if (read && f[0] == "search" && f.size() == 2) {
            read = journal_unescape(f[1], &record->search) != 0;
        } else if (read && f[0] == "replace" && f.size() <= 2) {
            read = f.size() == 1 || journal_unescape(f[1], &record->replace) != 0;
        } else if (read && f[0] == "keep") {
            undo_entry e;
            read = read_keep(f, dir, &e) && !by_number.count(e.number);
            if (read) {
                by_number[e.number] = record->entries.size();
                record->entries.push_back(e);
            }
        } else if (read && f[0] == "temp" && f.size() == 3) {
            uint64_t n = 0;
            std::string temp;
            read = number_of(f[1], &n) && by_number.count(n) && journal_unescape(f[2], &temp);
            if (read) record->entries[by_number[n]].temp_path = temp;
        } else if (read && f[0] == "making" && f.size() == 3) {
            undo_made_temp t;
            read = signed_of(f[1], &t.noted) && journal_unescape(f[2], &t.path) && !t.path.empty();
            if (read) record->made_temps.push_back(t);
        } else if (read && f[0] == "made" && f.size() == 4) {
            undo_made_temp t;
            t.id_known = true;
            read = number_of(f[1], &t.id.volume) && number_of(f[2], &t.id.index) &&
                   journal_unescape(f[3], &t.path) && !t.path.empty();
            // It stands for the latest intent to make that file (the threads of a run note
            // theirs in any order).
            auto &made = record->made_temps;
            auto intent = std::find_if(made.rbegin(), made.rend(), [&](const undo_made_temp &m) {
                return !m.id_known && m.path == t.path;
            });
            if (read && intent != made.rend())
                *intent = t;
            else if (read)
                made.push_back(t);
        } else if (read && line == "end") {
            record->ended = true;
        } else if (read && line == "undone") {
            record->undone = true;
        } else {
            read = false;
        }
        if (last_cut && !record->ended)
            record->cut_off = line;
        else if (last_cut && !read && line.size() < strlen(journal_undone_line) &&
                 std::string(journal_undone_line).compare(0, line.size(), line) == 0)
            record->undone = true;  // an undo was killed while it wrote its mark, all done
        else if (!read)
            record->unreadable.push_back(line);
    }
    return 1;
}
