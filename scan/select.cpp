// Selection criteria: Size text, file type, Name Len and Age days.
#include "scan/select.h"

#include <string.h>

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool same_ignoring_case(const char *a, const char *b) {
    for (; *a && *b; ++a, ++b)
        if (upper(*a) != upper(*b)) return false;
    return *a == *b;
}

uint64_t saturating_mul(uint64_t a, uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) return UINT64_MAX;
    return a * b;
}

uint64_t saturating_digit(uint64_t value, char digit) {
    uint64_t d = uint64_t(digit - '0');
    if (value > (UINT64_MAX - d) / 10) return UINT64_MAX;
    return value * 10 + d;
}

// 100-nanosecond intervals per day.
constexpr uint64_t file_time_day = 24ULL * 3600ULL * 10000000ULL;

}  // namespace

uint64_t parse_size_text(const char *text) {
    if (!text) return 0;
    bool kb = false;
    bool mb = false;
    uint64_t value = 0;
    for (const char *p = text; *p; ++p) {
        if (*p >= '0' && *p <= '9') value = saturating_digit(value, *p);
        if (upper(p[1]) == 'B') {
            kb = kb || upper(p[0]) == 'K';
            mb = mb || upper(p[0]) == 'M';
        }
    }
    return saturating_mul(value, mb ? 1048576u : kb ? 1024u : 1u);
}

int file_matches(const os_dir_entry &entry, const char *file_type, uint64_t min_size) {
    if (entry.is_dir || !entry.is_regular) return 0;
    if (entry.size < min_size) return 0;
    if (!file_type) return 0;
    if (strcmp(file_type, "*.*") == 0) return 1;
    const char *type_ext = strrchr(file_type, '.');
    const char *name_ext = strrchr(entry.name.c_str(), '.');
    if (!type_ext || !name_ext) return 0;
    return same_ignoring_case(type_ext, name_ext) ? 1 : 0;
}

int file_matches_name_age(const os_dir_entry &entry, uint64_t min_name_len, int64_t oldest_mtime) {
    if (entry.name.size() < min_name_len) return 0;
    if (entry.mtime < oldest_mtime) return 0;
    return 1;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_item_separator(char c) { return c == ';' || c == ','; }
bool is_folder_separator(char c) { return c == '\\' || c == '/'; }

// The items of a Type text, without the blanks around them; empty ones left out.
std::vector<std::string> type_items(const std::string &text) {
    std::vector<std::string> items;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !is_item_separator(text[i])) continue;
        size_t b = start, e = i;
        while (b < e && is_blank(text[b])) ++b;
        while (e > b && is_blank(text[e - 1])) --e;
        if (e > b) items.push_back(text.substr(b, e - b));
        start = i + 1;
    }
    return items;
}

// A list that cannot be read selects nothing.
std::string refuse(type_list *list, const std::string &why) {
    *list = type_list();
    return why;
}

}  // namespace

std::string read_type_list(const std::string &text, type_list *list) {
    *list = type_list();
    for (const std::string &item : type_items(text)) {
        if (item[0] != '!') {
            list->picked.push_back(item);
            continue;
        }
        std::string rest = item.substr(1);
        while (!rest.empty() && is_blank(rest[0])) rest.erase(0, 1);
        if (rest.empty()) return refuse(list, "The Type item '" + item + "' names nothing to leave out.");
        if (!is_folder_separator(rest.back())) {
            list->left_out.push_back(rest);
            continue;
        }
        rest.pop_back();
        for (char c : rest)
            if (is_folder_separator(c))
                return refuse(list, "The Type item '" + item +
                                        "' must name one folder, without a separator before its end.");
        if (rest.empty()) return refuse(list, "The Type item '" + item + "' names no folder.");
        list->folders_out.push_back(rest);
    }
    if (list->picked.empty() && (!list->left_out.empty() || !list->folders_out.empty()))
        list->picked.push_back("*.*");
    return "";
}

int name_fits_pattern(const std::string &name, const std::string &pattern) {
    // The last '*' seen and where in name its run stands, so that a mismatch after it can give
    // the '*' one character more.
    size_t n = 0, p = 0, star = std::string::npos, star_n = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || upper(pattern[p]) == upper(name[n]))) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_n = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++star_n;
        } else {
            return 0;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size() ? 1 : 0;
}

bool selection::enters(const os_dir_entry &folder) const {
    if (!folder.is_dir || folder.name[0] == '.') return false;
    for (const std::string &pattern : types.folders_out)
        if (name_fits_pattern(folder.name, pattern)) return false;
    return true;
}

bool selection::picks(const os_dir_entry &file) const {
    if (!file_matches_name_age(file, min_name_len, oldest_mtime)) return false;
    bool picked = false;
    for (const std::string &type : types.picked)
        if (file_matches(file, type.c_str(), min_size)) {
            picked = true;
            break;
        }
    if (!picked) return false;
    for (const std::string &type : types.left_out)
        if (file_matches(file, type.c_str(), 0)) return false;
    return true;
}

bool selection::kinds_only() const { return min_size == 0 && oldest_mtime == INT64_MIN; }

int parse_count_text(const char *text, int *given, uint64_t *value) {
    *given = 0;
    *value = 0;
    if (!text) return 1;
    const char *begin = text;
    while (*begin == ' ' || *begin == '\t') ++begin;
    const char *end = begin + strlen(begin);
    while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) --end;
    if (begin == end) return 1;
    uint64_t v = 0;
    for (const char *p = begin; p < end; ++p) {
        if (*p < '0' || *p > '9') return 0;
        v = saturating_digit(v, *p);
    }
    *given = 1;
    *value = v;
    return 1;
}

int64_t oldest_mtime_for_age(int64_t now, uint64_t days) {
    // The distance from now down to INT64_MIN, in whole days, computed without overflow.
    uint64_t room = uint64_t(now) - uint64_t(INT64_MIN);
    if (days > room / file_time_day) return INT64_MIN;
    return int64_t(uint64_t(now) - days * file_time_day);
}
