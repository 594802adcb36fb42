// The part of the operating-system seam that is the same on every platform: injected failures
// of its calls (see os.h), and the writes that each platform's os_write_raw serves.
#include <mutex>
#include <set>

#include "os_raw.h"
#include "platform/os.h"

std::atomic<int> os_injection_armed{0};

namespace {

std::mutex injection_lock;
os_injection armed;
os_injection_result met;
std::set<uintptr_t> sites;

const char *const call_names[] = {
    "open_read", "create_new", "create_unnamed", "name_temp",       "keep_temp",  "read",
    "write",     "rewind",     "sync",           "close",           "fstat",      "stat",
    "remove",    "replace",    "link_target",    "copy_attributes", "open_times", "get_mtime",
    "set_mtime", "list_open",  "list_next",      "open_log",        "write_log",
    "make_dir",  "hard_link",
};
static_assert(sizeof call_names / sizeof call_names[0] == os_call_kinds, "a name for every call");

}  // namespace

void os_inject(const os_injection &injection) {
    std::lock_guard<std::mutex> hold(injection_lock);
    armed = injection;
    met = os_injection_result();
    sites.clear();
    os_injection_armed.store(1);
}

void os_inject_clear() { os_injection_armed.store(0); }

os_injection_result os_injected_so_far() {
    std::lock_guard<std::mutex> hold(injection_lock);
    os_injection_result r = met;
    r.sites.assign(sites.begin(), sites.end());
    return r;
}

const char *os_call_name(os_call kind) { return kind < os_call_kinds ? call_names[kind] : "any"; }

bool os_injected_call(os_call kind, void *site) {
    bool fail = false;
    {
        std::lock_guard<std::mutex> hold(injection_lock);
        if (!os_injection_armed.load()) return false;
        uint64_t of_kind = ++met.calls[kind];
        uint64_t of_any = ++met.calls[os_call_kinds];
        if (armed.kind == kind || armed.kind == os_call_any) {
            uint64_t n = armed.kind == os_call_any ? of_any : of_kind;
            fail = armed.persist ? n >= armed.k : n == armed.k;
        }
        if (fail) {
            ++met.failed;
            sites.insert(reinterpret_cast<uintptr_t>(site));
        }
    }
    if (fail) os_set_last_error(os_fault_code(armed.fault));
    return fail;
}

int os_write_all(const os_file &f, const void *buf, size_t n) {
    if (OS_INJECTED(os_call_write)) return 0;
    return os_write_raw(f, buf, n);
}

int os_write_log(const os_file &f, const void *buf, size_t n) {
    if (OS_INJECTED(os_call_write_log)) return 0;
    return os_write_raw(f, buf, n);
}
