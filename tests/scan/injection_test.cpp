// Every failure the platform can give, injected at every call. For each kind of call, and for
// every k from 1 until a run no longer meets the injection, a whole run over a small mixed tree
// has its k-th call of that kind fail (once, and from the k-th call on). After every run: each
// file is wholly old or wholly new with its last-write time kept, a link is still a link, no
// temporary file is left, the run never ends without errors while a file that should have been
// rewritten was not, never reports an error that nothing caused, and every file left behind is
// named by an ERROR line (itself, or a folder above it) with the system's reason.
#include "scan_support.h"

#include <iostream>
#include <set>

#include "tests/common/reference.h"

using namespace scan_test;

namespace {

struct tree_file {
    const char *rel;
    const char *bytes;
    bool read_only;
};

const tree_file tree_files[] = {
    {"a.txt", "one needle\r\nno\r\n", false},
    {"b.txt", "nothing here\n", false},
    {"ro.txt", "read-only, and nothing to find\n", true},
    {"sub/c.txt", "needle needle\n", false},
    {"sub/deeper/d.txt", "x\nneedle\n", false},
};

class Injection : public window_test {
  protected:
    fs::path root, tree, outside;

    void SetUp() override {
        window_test::SetUp();
        root = fresh_folder("inject", work_folder::root());
        log_message("INFO: the log is open before any injection");
    }
    void TearDown() override {
        os_inject_clear();
        remove_tree(root);
        window_test::TearDown();
    }

    // A fresh copy of the tree, every file with the old time.
    void make_tree(int run) {
        // Each run starts with an empty undo store: its calls are then the same few each time.
        remove_tree(work_folder::root() / "state");
        tree = root / ("t" + std::to_string(run));
        outside = root / ("o" + std::to_string(run));
        for (const tree_file &f : tree_files) {
            fs::path p = tree / fs::path(f.rel).make_preferred();
            write_file(p, f.bytes);
            set_mtime(p, old_time);
            if (f.read_only)
                fs::permissions(
                    p, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
        }
#if !defined(_WIN32)
        write_file(outside / "e.txt", "needle through a link\n");
        set_mtime(outside / "e.txt", old_time);
        fs::create_symlink(outside / "e.txt", tree / "link.txt");
#endif
    }
};

// Is there an ERROR line that names path (or a folder above it) and gives the reason?
bool explained(const std::string &log, fs::path path, uint32_t code) {
    char hex[32];
    snprintf(hex, sizeof hex, "0x%lx", (unsigned long)code);
    const std::string reason = os_error_text(code);
    std::vector<std::string> names;
    for (; !path.empty() && path != path.parent_path(); path = path.parent_path())
        names.push_back(path.string());
    size_t at = 0;
    while ((at = log.find("ERROR", at)) != std::string::npos) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end - at);
        at = end;
        if (line.find(reason) == std::string::npos && line.find(hex) == std::string::npos) continue;
        for (auto &n : names)
            if (line.find(n) != std::string::npos) return true;
    }
    return false;
}

TEST_F(Injection, EveryCallFailingAtEveryStepLosesNothingAndTellsTheTruth) {
    const os_fault once[] = {os_fault_disk_full,     os_fault_io,
                             os_fault_access_denied, os_fault_sharing_violation,
                             os_fault_name_too_long, os_fault_not_found};
    // Persisting, only the errors that are not another program's passing hold (which a
    // rewrite waits out for two seconds a try).
    const os_fault persisting[] = {os_fault_disk_full, os_fault_io, os_fault_name_too_long,
                                   os_fault_not_found};
    int runs = 0, met_runs = 0;
    std::set<uintptr_t> sites;
    std::string reached;
    for (int kind = 0; kind < os_call_kinds; ++kind) {
        if (kind == os_call_open_log) continue;  // the log is open; its failure is the CLI's test
        uint64_t met_in_kind = 0;
        for (bool persist : {false, true}) {
            for (uint64_t k = 1;; ++k) {
                const os_fault fault = persist ? persisting[(k + kind) % 4] : once[(k + kind) % 6];
                SCOPED_TRACE(std::string(os_call_name(os_call(kind))) + " call " +
                             std::to_string(k) + (persist ? " on" : "") + ", fault " +
                             std::to_string(fault));
                make_tree(++runs);
                size_t log_start = log_text().size();
                type_fields({tree.string(), "*.txt", "0", "needle", "thread"});
                os_injection injection;
                injection.kind = os_call(kind);
                injection.k = k;
                injection.persist = persist;
                injection.fault = fault;
                os_inject(injection);
                press_run();
                os_injection_result met = os_injected_so_far();
                os_inject_clear();
                const run_outcome &outcome = command_last_outcome();
                const std::string log = log_text().substr(log_start);
                const uint32_t code = os_fault_code(fault);

                std::vector<fs::path> left;  // files that kept their old text but should not have
                std::vector<std::pair<fs::path, std::string>> files;
                for (const tree_file &f : tree_files)
                    files.push_back({tree / fs::path(f.rel).make_preferred(), f.bytes});
#if !defined(_WIN32)
                files.push_back({outside / "e.txt", "needle through a link\n"});
                EXPECT_TRUE(fs::is_symlink(tree / "link.txt"));
#endif
                for (auto &f : files) {
                    std::string now = read_file(f.first);
                    std::string after = reference_rewrite(f.second, "needle", "thread");
                    EXPECT_TRUE(now == f.second || now == after) << f.first << " is partial";
                    EXPECT_EQ(old_time, mtime_of(f.first)) << f.first;
                    if (now != after) left.push_back(f.first);
                }
                EXPECT_TRUE(temporaries(tree).empty() && temporaries(outside).empty());
                if (outcome.end == run_end::done) {
                    EXPECT_TRUE(left.empty()) << "done without errors, yet " << left[0] << "\n"
                                              << log;
                } else {
                    EXPECT_GT(met.failed, 0u) << "an error that nothing caused\n" << log;
                }
                if (outcome.end == run_end::done_with_errors && kind != os_call_write_log) {
                    for (auto &f : left) EXPECT_TRUE(explained(log, f, code)) << f << "\n" << log;
                }
                if (::testing::Test::HasFailure()) return;

                sites.insert(met.sites.begin(), met.sites.end());
                met_in_kind += met.failed > 0;
                met_runs += met.failed > 0;
                if (met.failed == 0) break;  // the run went past every call of this kind
            }
        }
        if (met_in_kind)
            reached += std::string(reached.empty() ? "" : ", ") + os_call_name(os_call(kind));
    }
    std::cout << "[ injected ] " << runs << " runs, " << met_runs << " met their failure, "
              << sites.size() << " distinct call sites failed; kinds reached: " << reached << "\n";
    EXPECT_GT(sites.size(), 20u);
}

}  // namespace
