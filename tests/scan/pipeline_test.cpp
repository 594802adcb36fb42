// The work ahead of the walk while the user's commands arrive: CANCEL, QUIT, PAUSE and RUN
// during the unwinding, each taken while workers are busy with files the walk has not reached.
// Nothing after the point of the command is swapped, nothing is left behind, a pause starts no
// new file, and every file is wholly old or wholly new.
#include <filesystem>
#include <fstream>
#include <iostream>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif

#include "engine/rewrite.h"
#include "scan_support.h"
#include "tests/common/reference.h"

using namespace scan_test;

namespace {

constexpr int file_count = 24;

// Large enough that a preparation takes a while: the commands meet work in flight.
std::string big_text() {
    std::string s;
    for (int i = 0; s.size() < (256u << 10); ++i) s += "line " + std::to_string(i) + " needle\n";
    return s;
}

class Pipeline : public ::testing::Test {
  protected:
    temp_tree t;
    const std::string before = big_text();
    const std::string after = reference_rewrite(before, "needle", "pin");

    static std::string name(int i) { return "f" + std::to_string(100 + i) + ".txt"; }
    int rewritten() {
        int n = 0;
        for (int i = 0; i < file_count; ++i) {
            std::string now = t.read(name(i));
            EXPECT_TRUE(now == before || now == after) << name(i) << " is partial";
            n += now == after;
        }
        return n;
    }
    // Opens the window on folder (the tree unless told) with the fields filled and arms calls,
    // which unless told never fires: the system calls are counted.
    void ready_counted(const std::string &folder = "",
                       const os_injection &calls = {os_call_any, UINT64_MAX},
                       const std::string &type = "*.txt") {
        open_window();
        type_fields({folder.empty() ? t.str() : folder, type, "0", "needle", "pin"});
        // An empty undo store: a run's start reads the journals of the runs kept there, which
        // the earlier tests of this process left.
        remove_tree(work_folder::root() / "state");
        os_inject(calls);
    }
    // A whole run, its system calls counted (os_injected_so_far).
    void counted_run() {
        ready_counted();
        press_run();
        os_inject_clear();
    }
};

// Files opened for reading so far (in a counted run).
uint64_t opened() { return os_injected_so_far().calls[os_call_open_read]; }

enum step { none, cancel, quit, pause, cont, run_again };

struct command_case {
    const char *what;
    step first, then;  // first at the third file's turn, then after some pumps
    bool all_rewritten;
    bool counting = false;  // first at the third file counted, with files being prepared
};

TEST_F(Pipeline, CommandsTakenWhileWorkIsInFlight) {
    const command_case cases[] = {
        {"cancel", cancel, none, false},
        {"quit", quit, none, false},
        {"pause then continue", pause, cont, true},
        {"pause then cancel", pause, cancel, false},
        {"cancel then RUN while unwinding", cancel, run_again, false},
        {"cancel while counting", cancel, none, false, true},
        {"pause while counting then continue", pause, cont, true, true},
    };
    for (const command_case &c : cases) {
        SCOPED_TRACE(c.what);
        for (int i = 0; i < file_count; ++i) t.file(name(i), before);
        ready_counted();
        static const command_case *now;
        static int pumps_after;
        static uint64_t opened_at_pause, opened_in_pause, opened_at_command;
        static uint32_t done_at_command;
        now = &c;
        pumps_after = -1;
        opened_in_pause = 0;
        record().on_pump = [] {
            if (pumps_after < 0) {
                // The third file's turn is over (or it was counted): the command comes with
                // work ahead in flight, once a worker has started.
                if (!run_state.busy || run_state.matched_count != 3 ||
                    (now->counting ? !counting_pass() : status().rfind("Progress: 3", 0) != 0))
                    return;
                for (int i = 0; i < 500 && opened() == 0; ++i) os_sleep_ms(2);
                pumps_after = 0;
                done_at_command = now->counting ? 0 : run_state.matched_count;
                opened_at_command = opened();
                window_post_command(now->first == pause    ? IDC_PAUSE
                                    : now->first == cancel ? IDC_CANCEL_RESET
                                                           : IDC_QUIT);
                return;
            }
            ++pumps_after;
            if (now->first == pause && pumps_after == 1) opened_at_pause = opened();
            if (pumps_after != 30) return;
            if (now->first == pause) opened_in_pause = opened() - opened_at_pause;
            if (now->then == cont || now->then == run_again) window_post_command(IDC_RUN);
            if (now->then == cancel) window_post_command(IDC_CANCEL_RESET);
        };
        press_run();
        os_inject_clear();

        int n = rewritten();
        std::cout << "[ " << c.what << " ] " << opened_at_command << " files opened when "
                  << done_at_command << " had had their turn\n";
        if (c.all_rewritten) {
            EXPECT_EQ(file_count, n);
        } else {
            // The file in hand when the command came was finished; nothing after it.
            EXPECT_LE(n, int(done_at_command));
            EXPECT_GE(n, int(done_at_command) - 1);
        }
        if (c.first == pause) {
            EXPECT_LE(opened_in_pause, 2u) << "a paused run started new files";
        }
        EXPECT_TRUE(t.temporaries().empty());
        EXPECT_EQ(0, run_in_progress());
        EXPECT_EQ(0, run_state.busy);
        close_window();
    }
}

// More folders than the scout may keep listed ahead, one in three holding no file the run
// selects: every file is rewritten once, and in the applying pass the walk takes most
// listings from the scout instead of listing each folder again (the counting pass lists each
// once, the scout once, and the walk those the scout had not yet handed over, and those it
// listed before the count ended, at most the 256 it keeps ahead).
TEST_F(Pipeline, FoldersListedAheadAreTakenInTheirTurn) {
    const int folders = 300;
    for (int i = 0; i < folders; ++i) {
        std::string d = "d" + std::to_string(1000 + i);
        t.file(d + "/x/" + (i % 3 ? "f.txt" : "f.log"), "a needle\n");
        if (i % 7 == 0) t.file(d + "/f.txt", "a needle\n");
    }
    counted_run();
    const uint64_t listed = os_injected_so_far().calls[os_call_list_open];
    const uint64_t all = 1 + 2 * folders;
    EXPECT_GE(listed, 2 * all);
    EXPECT_LE(listed, 2 * all + all / 4 + 256);
    const std::string pinned = reference_rewrite("a needle\n", "needle", "pin");
    for (int i = 0; i < folders; ++i) {
        std::string d = "d" + std::to_string(1000 + i);
        EXPECT_EQ(i % 3 ? pinned : "a needle\n", t.read(d + "/x/" + (i % 3 ? "f.txt" : "f.log")));
        if (i % 7 == 0) {
            EXPECT_EQ(pinned, t.read(d + "/f.txt")) << d;
        }
    }
    EXPECT_TRUE(headless_boxes().empty());
    close_window();
}

// Files deleted and created during the counting pass, after the scout had listed their
// folders: the applying pass sees the folder as it is then, as a run without work ahead would.
// The deleted file is no error, the new one is rewritten.
TEST_F(Pipeline, TheApplyingPassSeesFoldersAsTheyAreAfterTheCount) {
    for (int i = 0; i < 4; ++i) t.file("d" + std::to_string(i) + "/gone.txt", "a needle\n");
    for (int i = 0; i < 4; ++i) t.file("d" + std::to_string(i) + "/stays.txt", "a needle\n");
    static temp_tree *tree;
    static bool changed;
    tree = &t;
    changed = false;
    ready_counted();
    record().on_pump = [] {
        if (changed || !counting_pass()) return;
        changed = true;
        // The scout lists the whole tree (each folder once, besides the walk's and the undo
        // store's listing) meanwhile.
        for (int i = 0; i < 500 && os_injected_so_far().calls[os_call_list_open] < 6; ++i)
            os_sleep_ms(2);
        for (int i = 0; i < 4; ++i) {
            // A worker may hold the file open for a moment (Windows refuses the delete then).
            std::error_code ec;
            const fs::path gone = tree->path() / ("d" + std::to_string(i)) / "gone.txt";
            for (int tries = 0; !fs::remove(gone, ec) && ec && tries < 500; ++tries) os_sleep_ms(2);
            tree->file("d" + std::to_string(i) + "/new.txt", "a needle\n");
        }
    };
    press_run();
    os_inject_clear();
    EXPECT_TRUE(headless_boxes().empty()) << log_text();
    const std::string pinned = reference_rewrite("a needle\n", "needle", "pin");
    for (int i = 0; i < 4; ++i) {
        const std::string d = "d" + std::to_string(i) + "/";
        EXPECT_EQ(pinned, t.read(d + "new.txt"));
        EXPECT_EQ(pinned, t.read(d + "stays.txt"));
        EXPECT_FALSE(fs::exists(t.path() / (d + "gone.txt")));
    }
    EXPECT_TRUE(t.temporaries().empty());
    close_window();
}

#if defined(__linux__)
// The bytes of the rewrite's temporary files open in this process now: those without a name
// ("/#<inode> (deleted)") and named ones ("<n>.tmp").
uint64_t temporary_bytes_open() {
    uint64_t bytes = 0;
    for (const auto &fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        const bool unnamed = target.find("/#") != std::string::npos &&
                             target.find(" (deleted)") != std::string::npos;
        const bool named = target.size() > 4 && target.compare(target.size() - 4, 4, ".tmp") == 0;
        struct stat st;
        if ((unnamed || named) && stat(fd.path().c_str(), &st) == 0) bytes += uint64_t(st.st_size);
    }
    return bytes;
}

// A default run (no Size, no Age days: the listings give names and kinds only) over large
// files: the work ahead holds no more of their new texts on the disk than its byte budget,
// 64 MiB, however far it may run ahead in files; the file in its turn, which the walk
// prepares itself when no worker has taken it yet, may come on top.
TEST_F(Pipeline, TheByteBudgetHoldsWhenTheListingGivesNoSizes) {
    const std::string big = [] {
        std::string line(1023, 'x');
        line += '\n';
        line.replace(0, 6, "needle");
        std::string s;
        while (s.size() < (8u << 20)) s += line;
        return s;
    }();
    for (int i = 0; i < 10; ++i) t.file(name(i), big);
    static uint64_t most;
    static bool waited;
    most = 0;
    waited = false;
    ready_counted();
    record().on_pump = [] {
        most = std::max(most, temporary_bytes_open());
        if (waited || !counting_pass()) return;
        waited = true;
        // The workers prepare ahead as far as they may meanwhile.
        for (int i = 0; i < 60; ++i) {
            os_sleep_ms(25);
            most = std::max(most, temporary_bytes_open());
        }
    };
    press_run();
    os_inject_clear();
    EXPECT_TRUE(headless_boxes().empty()) << log_text();
    EXPECT_GT(most, 0u);
    EXPECT_LE(most, (uint64_t(64) << 20) + big.size());
    const std::string pinned = reference_rewrite(big, "needle", "pin");
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(t.read(name(i)) == pinned) << name(i);
    close_window();
}
#endif

#ifndef _WIN32
// A process allowed few open files: the work ahead shrinks to what it may hold (each prepared
// file holds its temporary file and its old text), so no file fails for want of a descriptor.
TEST_F(Pipeline, FewOpenFilesAllowedStillRewriteEveryFile) {
    // Between them files without an occurrence, which leave the window once read: the work
    // runs ahead through those without holding more descriptors than allowed.
    const int files = 200, untouched = 400;
    for (int i = 0; i < files; ++i) t.file(name(i), "a needle\n");
    for (int i = 0; i < untouched; ++i) t.file(name(i) + "x.txt", "a pin\n");
    rlimit was{}, few{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &was));
    few = was;
    few.rlim_cur = 100;
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &few));
    counted_run();
    setrlimit(RLIMIT_NOFILE, &was);
    EXPECT_TRUE(headless_boxes().empty());
    // No preparation failed for want of a descriptor and was made again in its turn (without
    // the cut, 23 to 81 files were read twice). At the start the walk may reach a file before
    // the scout has found it and read it while a worker does too, hence a few to spare.
    EXPECT_GE(uint64_t(files + untouched) + 4, opened());
    const std::string pinned = reference_rewrite("a needle\n", "needle", "pin");
    int n = 0;
    for (int i = 0; i < files; ++i) n += t.read(name(i)) == pinned;
    EXPECT_EQ(files, n);
    EXPECT_TRUE(t.temporaries().empty());
    close_window();
}

#if defined(__linux__)
// A run makes room for the files it will hold open before it starts its threads: grown while
// they run, the table of open files stalls every core for a moment at each growth. Asked for
// more than the limit allows, it grows to the limit; it leaves nothing open.
TEST(OpenFileRoom, TheTableGrowsAtOnceWithNothingLeftOpen) {
    auto table_size = [] {
        std::string line;
        std::ifstream in("/proc/self/status");
        while (std::getline(in, line))
            if (line.rfind("FDSize:", 0) == 0) return std::stoul(line.substr(7));
        return 0ul;
    };
    auto open_now = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); };
    rlimit was{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &was));
    rlimit now = was;
    now.rlim_cur = std::min<rlim_t>(1500, was.rlim_max);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &now));
    ASSERT_LT(table_size(), now.rlim_cur) << "the table is large already: nothing to test";
    const auto open_before = open_now();
    errno = EXDEV;
    os_make_room_for_files(size_t(1) << 30);
    EXPECT_EQ(EXDEV, errno);
    EXPECT_GE(table_size(), now.rlim_cur);
    EXPECT_EQ(open_before, open_now());
    setrlimit(RLIMIT_NOFILE, &was);
}
#endif

// Links in the first folder to files in folders the walk reaches after it. A link's new text
// has a name in its target's folder for a moment (at the swap; where temporary files have
// names, from its preparation on), so whatever the scout listed before a link's swap the walk
// lists again itself, and never meets such a file as one of its own. Where temporary files have
// names, a link into another folder is prepared in its turn, not ahead: ahead, its temporary
// file would stand there when the walk lists that folder (here a/m, sorted before the link
// a/zz.txt and listed by the walk itself after the other links' swaps).
TEST_F(Pipeline, FoldersListedBeforeALinkIsSwappedAreListedAgain) {
    const int count = 40;
    static uint64_t listed_ahead;  // by the counting pass and the scout, each folder once
    listed_ahead = 2 * (count + 3);
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporary files" : "temporary files without a name");
        scratch_dir root("links", t.path());
        std::vector<std::string> targets{"a/m/t.txt"}, links{"a/zz.txt"};
        for (int i = 0; i < count; ++i) {
            std::string z = "z" + std::to_string(100 + i);
            targets.push_back(z + "/t.txt");
            links.push_back("a/l" + z + ".txt");
        }
        for (size_t i = 0; i < targets.size(); ++i) {
            root.file(targets[i], "a needle\n");
            fs::create_symlink(i == 0 ? "m/t.txt" : "../" + targets[i], root.path() / links[i]);
        }
        // Named: every file without a name is refused, as a file system without them does.
        ready_counted(root.str(),
                      {os_call_create_unnamed, named ? 1 : UINT64_MAX, named, os_fault_unsupported},
                      "*.*");
        // Each swap waits until the scout has listed every folder (the first one waits).
        rewrite_before_swap_hook = [](const char *) {
            for (int i = 0; i < 500 && os_injected_so_far().calls[os_call_list_open] < listed_ahead;
                 ++i)
                os_sleep_ms(2);
        };
        press_run();
        rewrite_before_swap_hook = nullptr;
        EXPECT_GE(os_injected_so_far().calls[os_call_list_open], listed_ahead + count);
        os_inject_clear();
        // No file announced is a temporary file ("About to Update File <path> ").
        EXPECT_EQ(std::string::npos, log_text().find(".tmp \r\n"));
        EXPECT_TRUE(headless_boxes().empty());
        for (size_t i = 0; i < targets.size(); ++i) {
            EXPECT_EQ(reference_rewrite("a needle\n", "needle", "pin"), root.read(targets[i]));
            EXPECT_TRUE(fs::is_symlink(root.path() / links[i])) << links[i];
        }
        EXPECT_TRUE(root.temporaries().empty());
        close_window();
    }
}

// The folder in hand is renamed and another one put in its place at the first file's swap.
// The walk goes on in the folder it listed, and each file's steps (the last look, the swap, the
// time) all act on that one: the folder put in its place keeps every byte, and each file of
// the listed folder gets its own new text. A step that went by the path instead would give a
// file of the new folder the other's text, or swap nothing. The next folder is replaced at the
// same moment, after the work ahead may have prepared its files in the old one: the walk
// enters the new one, so the old one keeps every byte and the new one's files get their text.
TEST_F(Pipeline, AFolderReplacedWhileTheWalkIsInItIsLeftAlone) {
    static const int count = 6;
    static std::string folder;
    static bool swapped;
    static std::string (*text)(const char *, int) = [](const char *what, int i) {
        return what + std::to_string(i) + " needle\n";
    };
    for (bool named : {false, true}) {
        SCOPED_TRACE(named ? "named temporary files" : "temporary files without a name");
        scratch_dir root("replaced", t.path());
        for (int i = 0; i < count; ++i) {
            root.file("a/f" + std::to_string(i), text("old ", i));
            root.file("b/f" + std::to_string(i), text("old ", i));
        }
        folder = root.file("a");
        swapped = false;
        ready_counted(root.str(),
                      {os_call_create_unnamed, named ? 1 : UINT64_MAX, named, os_fault_unsupported},
                      "*.*");
        rewrite_before_swap_hook = [](const char *) {
            if (swapped) return;
            swapped = true;
            const std::string next = folder.substr(0, folder.size() - 1) + "b";
            fs::rename(folder, folder + "-listed");
            fs::rename(next, next + "-old");
            for (int i = 0; i < count; ++i) {
                write_file(folder + "/f" + std::to_string(i), text("new ", i));
                write_file(next + "/f" + std::to_string(i), text("new ", i));
            }
        };
        press_run();
        rewrite_before_swap_hook = nullptr;
        os_inject_clear();
        EXPECT_TRUE(headless_boxes().empty()) << log_text();
        for (int i = 0; i < count; ++i) {
            std::string f = "/f" + std::to_string(i);
            EXPECT_EQ(reference_rewrite(text("old ", i), "needle", "pin"),
                      root.read("a-listed" + f));
            EXPECT_EQ(text("new ", i), root.read("a" + f));
            EXPECT_EQ(text("old ", i), root.read("b-old" + f));
            EXPECT_EQ(reference_rewrite(text("new ", i), "needle", "pin"), root.read("b" + f));
        }
        EXPECT_TRUE(root.temporaries().empty());
        close_window();
    }
}
#endif

}  // namespace
