// The file rewrite against the real file services of this platform: text-mode line ends,
// bytes that must survive, the last-write time, the temporary file, and every failure path
// (each must leave the original byte for byte, no temporary file, an "ERROR:" line and the
// error mark).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/rewrite.h"
#include "log/log.h"
#include "tests/common/files.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

using namespace testutil;

namespace {

constexpr size_t block = size_t(1) << 20;  // the rewrite's read block

class Rewrite : public ::testing::Test {
  protected:
    scratch_dir dir{"rewrite"};
    size_t log_start = 0;

    void SetUp() override {
        errors_seen = 0;
        log_message("INFO: test %s",
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        log_start = log_text().size();
    }
    void TearDown() override { rewrite_before_swap_hook = nullptr; }

    // What this test wrote to the log.
    std::string logged() const { return log_text().substr(log_start); }

    std::string make(const std::string &name, const std::string &bytes) {
        std::string p = dir.file(name);
        write_file(p, bytes);
        EXPECT_TRUE(set_mtime(p, old_time));
        return p;
    }

    // No temporary file may be left in the folder: only these names.
    void expect_only(std::set<std::string> names) { EXPECT_EQ(names, names_in(dir.str())); }
};

struct content_case {
    const char *what;
    std::string before;
    const char *search;
    const char *repl;
    std::string after;  // == before: the file must not be written at all
};

const content_case content_cases[] = {
    {"bare line feeds become CR LF", "alpha\nbeta\n", "beta", "gamma", "alpha\r\ngamma\r\n"},
    {"CR LF stays CR LF", "one\r\ntwo\r\n", "two", "2", "one\r\n2\r\n"},
    {"bare CR stays", "x\ry\rz", "y", "Y", "x\rY\rz"},
    {"mixed endings", "a\nb\r\nc\rd", "d", "D", "a\r\nb\r\nc\rD"},
    {"CR CR LF keeps the first CR", "q\r\r\nq\n", "q", "Q", "Q\r\r\nQ\r\n"},
    {"last line without line feed", "first\nlast", "last", "end", "first\r\nend"},
    {"NUL and Ctrl-Z are ordinary bytes",
     std::string("a\0b\x1a"
                 "c\nzz\x1a\0\n",
                 11),
     "b", "B",
     std::string("a\0B\x1a"
                 "c\r\nzz\x1a\0\r\n",
                 13)},
    {"search ending in a line feed matches CR LF too", "ab\r\nab\n", "b\n", "c\n", "ac\r\nac\r\n"},
    {"search with a CR matches only a lone CR", "a\rb\r\nc", "\r", "-", "a-b\r\nc"},
    {"search with a CR does not match CR LF", "a\r\nb\r\n", "\r", "-", "a\r\nb\r\n"},
    {"a search cannot span two lines", "a\nb\n", "a\nb", "x", "a\nb\n"},
    {"no occurrence: bytes kept, LF not touched", "plain\ntext\n", "zzz", "y", "plain\ntext\n"},
    {"formed occurrences are replaced", "xaabby\n", "ab", "", "xy\r\n"},
    {"empty file", "", "a", "b", ""},
    {"replacement with line feeds", "a;b\n", ";", "\n", "a\r\nb\r\n"},
};

TEST_F(Rewrite, ContentTable) {
    int i = 0;
    for (const content_case &c : content_cases) {
        SCOPED_TRACE(c.what);
        std::string name = "f" + std::to_string(i++) + ".txt";
        std::string p = make(name, c.before);
        errors_seen = 0;
        EXPECT_EQ(1, update_file(p.c_str(), c.search, c.repl));
        EXPECT_EQ(0, errors_seen);
        EXPECT_EQ(c.after, read_file(p));
        EXPECT_EQ(old_time, mtime_of(p));
    }
    std::set<std::string> names;
    for (int k = 0; k < i; ++k) names.insert("f" + std::to_string(k) + ".txt");
    expect_only(names);
}

TEST_F(Rewrite, ChangedFileLogsEveryStep) {
    std::string p = make("a.txt", "hello world\n");
    ASSERT_EQ(1, update_file(p.c_str(), "world", "there"));
    std::string log = logged();
    std::string dirpart = p.substr(0, p.size() - strlen("a.txt"));
    size_t about = log.find("INFO: About to Update File " + p +
                            " \r\nSearch for:  world  \r\n"
                            "Replace with: there \r\nPure Path:  " +
                            dirpart + "\r\nTemp File: " + dirpart);
    ASSERT_NE(std::string::npos, about) << log;
    size_t get = log.find("get_set_ftime() success getting timestamp file: " + p + ".\r\n");
    size_t set = log.find("get_set_ftime() success setting timestamp file: " + p + ".\r\n");
    size_t done =
        log.find("INFO:  Successfully replaced all occurrences of 'world' with 'there' for file " +
                 p + ".\r\n");
    ASSERT_NE(std::string::npos, get) << log;
    ASSERT_NE(std::string::npos, set) << log;
    ASSERT_NE(std::string::npos, done) << log;
    EXPECT_LT(about, get);
    EXPECT_LT(get, set);
    EXPECT_LT(set, done);
    EXPECT_EQ(std::string::npos, log.find("ERROR"));
}

// The steps rewrite_swap tells its reporter of, in their order.
struct recorded_steps : swap_reporter {
    std::vector<std::string> steps;
    void time_done(const char *, bool set) override {
        steps.push_back(set ? "time set" : "time read");
    }
    void time_failed(const char *, bool set, bool, uint32_t) override {
        steps.push_back(set ? "time not set" : "time not read");
    }
    void temp_renamed(const char *) override { steps.push_back("renamed"); }
};

// The swap itself writes nothing to the log: it tells the reporter of its steps and returns
// what came of it, and the report writes the lines for that.
TEST_F(Rewrite, SwapLogsNothingAndTheReportTellsItsOutcome) {
    std::string p = make("s.txt", "old\n");
    std::string q = make("t.txt", "old\n");
    rewrite_job swapped, stopped;
    rewrite_prepare(&swapped, p.c_str(), "old", "new", prepare_options());
    rewrite_prepare(&stopped, q.c_str(), "old", "new", prepare_options());
    log_write_waiting();
    const size_t quiet = log_text().size();
    recorded_steps first, second;
    const swap_outcome done = rewrite_swap(&swapped, first);
    rewrite_before_swap_hook = [](const char *path) { write_file(path, "new old\n"); };
    const swap_outcome failed = rewrite_swap(&stopped, second);
    log_write_waiting();
    EXPECT_EQ(quiet, log_text().size());
    EXPECT_EQ(swap_swapped, done.result);
    EXPECT_EQ((std::vector<std::string>{"time read", "time set"}), first.steps);
    EXPECT_EQ("new\r\n", read_file(p));
    EXPECT_EQ(old_time, mtime_of(p));
    EXPECT_EQ(swap_failed, failed.result);
    EXPECT_EQ(failed_changed, failed.failure);
    EXPECT_EQ((std::vector<std::string>{"time read"}), second.steps);
    EXPECT_EQ("new old\n", read_file(q));
    expect_only({"s.txt", "t.txt"});

    EXPECT_EQ(1, rewrite_report(swapped, done, "old", "new"));
    EXPECT_EQ(0, errors_seen);
    EXPECT_EQ(0, rewrite_report(stopped, failed, "old", "new"));
    EXPECT_EQ(1, errors_seen);
    const std::string log = logged();
    EXPECT_NE(
        std::string::npos,
        log.find("INFO:  Successfully replaced all occurrences of 'old' with 'new' for file " + p +
                 ".\r\n"));
    EXPECT_NE(std::string::npos,
              log.find("ERROR: File changed while it was being rewritten; left as it is: " + q));
}

TEST_F(Rewrite, UnchangedFileIsNotWrittenButLogged) {
    std::string p = make("keep.txt", "nothing\nto see\n");
    ASSERT_EQ(1, update_file(p.c_str(), "absent", "x"));
    EXPECT_EQ("nothing\nto see\n", read_file(p));
    EXPECT_EQ(old_time, mtime_of(p));
    expect_only({"keep.txt"});
    std::string log = logged();
    EXPECT_NE(std::string::npos, log.find("INFO: About to Update File " + p));
    EXPECT_NE(
        std::string::npos,
        log.find("INFO:  Successfully replaced all occurrences of 'absent' with 'x' for file " + p +
                 "."));
    EXPECT_EQ(std::string::npos, log.find("get_set_ftime"));
}

TEST_F(Rewrite, CrLfSplitAcrossReadBlocksStaysOnePair) {
    // The CR is the last byte of the first block, its LF the first byte of the next.
    std::string before = std::string(block - 1, 'x') + "\r\n" + "needle\n";
    std::string p = make("split.txt", before);
    ASSERT_EQ(1, update_file(p.c_str(), "needle", "pin"));
    EXPECT_EQ(std::string(block - 1, 'x') + "\r\npin\r\n", read_file(p));
}

TEST_F(Rewrite, LoneCrAtTheEndOfABlockAndOfTheFileIsKept) {
    std::string before = "needle" + std::string(block - 7, 'y') + "\r" + "z\r";
    std::string p = make("cr.txt", before);
    ASSERT_EQ(1, update_file(p.c_str(), "needle", "N"));
    EXPECT_EQ("N" + std::string(block - 7, 'y') + "\rz\r", read_file(p));
}

TEST_F(Rewrite, LinesLongerThanAnyBufferAreHandledWhole) {
    // A 3 MiB line with occurrences straddling the old 19,999-byte pieces and the read blocks.
    std::string line(3 * block, '.');
    for (size_t at : {size_t(19997), size_t(39996), size_t(block - 3), size_t(2 * block - 1),
                      size_t(3 * block - 6)})
        line.replace(at, 6, "needle");
    std::string expect = line;
    for (size_t k; (k = expect.find("needle")) != std::string::npos;)
        expect.replace(k, 6, "thread");
    std::string p = make("long.txt", line + "\n");
    ASSERT_EQ(1, update_file(p.c_str(), "needle", "thread"));
    EXPECT_EQ(expect + "\r\n", read_file(p));
}

TEST_F(Rewrite, LargeFileWithManyLinesStreams) {
    std::string body;
    for (int i = 0; i < 200000; ++i)
        body += (i % 1000 == 0 ? "line with target " : "plain line ") + std::to_string(i) + "\r\n";
    std::string expect = body;
    for (size_t k = 0; (k = expect.find("target", k)) != std::string::npos; k += 3)
        expect.replace(k, 6, "hit");
    std::string p = make("big.txt", body);
    ASSERT_EQ(1, update_file(p.c_str(), "target", "hit"));
    EXPECT_EQ(expect, read_file(p));
}

TEST_F(Rewrite, TakenTemporaryNamesAreNeverOverwritten) {
    // Take the names of the next few seconds, each holding data that must survive.
    int64_t now = os_time_now();
    std::set<std::string> names = {"data.txt"};
    for (int i = 0; i < 6; ++i) {
        std::string name = std::to_string(int32_t(now + i)) + ".tmp";
        write_file(dir.file(name), "precious " + name);
        names.insert(name);
    }
    std::string p = make("data.txt", "swap me\n");
    ASSERT_EQ(1, update_file(p.c_str(), "swap", "trade"));
    EXPECT_EQ("trade me\r\n", read_file(p));
    expect_only(names);
    for (const std::string &n : names) {
        if (n == "data.txt") continue;
        EXPECT_EQ("precious " + n, read_file(dir.file(n)));
    }
    // The log names the temporary file actually used, which none of the taken ones is.
    std::string log = logged();
    size_t at = log.find("Temp File: ");
    ASSERT_NE(std::string::npos, at);
    std::string used = log.substr(at + 11, log.find("\r\n", at) - at - 11);
    for (const std::string &n : names) EXPECT_EQ(std::string::npos, used.find(n)) << used;
}

TEST_F(Rewrite, TwoRewritesInTheSameSecondBothSucceed) {
    std::string a = make("a.txt", "x\n");
    std::string b = make("b.txt", "x\n");
    ASSERT_EQ(1, update_file(a.c_str(), "x", "y"));
    ASSERT_EQ(1, update_file(b.c_str(), "x", "y"));
    EXPECT_EQ("y\r\n", read_file(a));
    EXPECT_EQ("y\r\n", read_file(b));
    expect_only({"a.txt", "b.txt"});
}

// --- failures: the original stays, no temporary file, an ERROR line, the mark ---------------

void expect_failure_kept(Rewrite *t, const std::string &path, const std::string &bytes) {
    EXPECT_EQ(1, errors_seen);
    EXPECT_EQ(bytes, read_file(path));
    (void)t;
}

TEST_F(Rewrite, MissingFileIsAnError) {
    std::string p = dir.file("absent.txt");
    EXPECT_EQ(0, update_file(p.c_str(), "a", "b"));
    EXPECT_EQ(1, errors_seen);
    std::string log = logged();
    EXPECT_NE(std::string::npos, log.find("INFO: About to Update File " + p));
    EXPECT_NE(std::string::npos, log.find("ERROR: Unable to open src file: " + p + "\r\n"));
    expect_only({});
}

TEST_F(Rewrite, NullPathIsAnError) {
    EXPECT_EQ(0, update_file(nullptr, "a", "b"));
    EXPECT_EQ(1, errors_seen);
    EXPECT_EQ("ERROR: update_file() was given NULL for filename!  FAIL!\r\n", logged());
}

TEST_F(Rewrite, EmptySearchTextIsRefused) {
    std::string p = make("e.txt", "abc\n");
    EXPECT_EQ(0, update_file(p.c_str(), "", "x"));
    expect_failure_kept(this, p, "abc\n");
    EXPECT_NE(std::string::npos, logged().find("ERROR:"));
    expect_only({"e.txt"});
}

TEST_F(Rewrite, OnlyAPathBeyondTheSystemsLimitIsRefusedForItsLength) {
    std::string p = dir.str() + "/";
    p += std::string(os_path_longest - p.size(), 'n');
    EXPECT_EQ(0, update_file(p.c_str(), "a", "b"));  // no such file, but its length is allowed
    EXPECT_EQ(std::string::npos, logged().find("Path too long")) << logged();
    p += 'n';
    EXPECT_EQ(0, update_file(p.c_str(), "a", "b"));
    EXPECT_EQ(1, errors_seen);
    EXPECT_NE(std::string::npos, logged().find("ERROR: Path too long"));
    EXPECT_NE(std::string::npos, logged().find(p));
}

TEST_F(Rewrite, EndlessReplacementLeavesTheFile) {
    std::string p = make("loop.txt", "an apple a day\n");
    EXPECT_EQ(0, update_file(p.c_str(), "apple", "pineapple"));
    expect_failure_kept(this, p, "an apple a day\n");
    EXPECT_EQ(old_time, mtime_of(p));
    EXPECT_NE(std::string::npos, logged().find("ERROR: Replacement would never end"));
    expect_only({"loop.txt"});
}

TEST_F(Rewrite, ReadOnlyFileIsNotRewritten) {
    std::string p = make("ro.txt", "locked text\n");
    std::filesystem::permissions(
        p, std::filesystem::perms::owner_read | std::filesystem::perms::group_read);
    EXPECT_EQ(0, update_file(p.c_str(), "locked", "open"));
    expect_failure_kept(this, p, "locked text\n");
    EXPECT_EQ(old_time, mtime_of(p));
    EXPECT_NE(std::string::npos, logged().find("ERROR: File is read-only; not changed: " + p));
    expect_only({"ro.txt"});
    std::filesystem::permissions(p, std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
}

TEST_F(Rewrite, ChangeDuringTheCopyIsNeverLost) {
    std::string p = make("busy.txt", "old old\n");
    rewrite_before_swap_hook = [](const char *path) {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        out << "appended by someone else\n";
    };
    EXPECT_EQ(0, update_file(p.c_str(), "old", "new"));
    EXPECT_EQ(1, errors_seen);
    EXPECT_EQ("old old\nappended by someone else\n", read_file(p));
    EXPECT_NE(
        std::string::npos,
        logged().find("ERROR: File changed while it was being rewritten; left as it is: " + p));
    expect_only({"busy.txt"});
}

TEST_F(Rewrite, TimeChangedDuringTheCopyIsNoticedToo) {
    std::string p = make("touched.txt", "old\n");
    rewrite_before_swap_hook = [](const char *path) { set_mtime(path, old_time + 10000000); };
    EXPECT_EQ(0, update_file(p.c_str(), "old", "new"));
    EXPECT_EQ(1, errors_seen);
    EXPECT_EQ("old\n", read_file(p));
    expect_only({"touched.txt"});
}

// Files flushed together: one flush of their volume, or each on its own where that fails; a
// file whose own flush fails is left as it was, the others are swapped in.
TEST_F(Rewrite, FilesFlushedTogetherFallBackToEachOnItsOwn) {
    struct flush_case {
        const char *what;
        os_injection fails;
        uint64_t flushes;  // os_sync and os_sync_volume calls
        bool swapped;
    } cases[] = {
        {"none fails", {os_call_sync, UINT64_MAX}, 1, true},
        {"the volume's fails", {os_call_sync, 1}, 4, true},
        {"every one fails", {os_call_sync, 1, true}, 4, false},
    };
    prepare_options later;
    later.flush_later = true;
    for (const flush_case &c : cases) {
        rewrite_job jobs[3];
        rewrite_job *all[3];
        std::string paths[3];
        for (int i = 0; i < 3; ++i) {
            paths[i] = make(std::to_string(i) + ".txt", "a needle\r\n");
            rewrite_prepare(&jobs[i], paths[i].c_str(), "needle", "pin", later);
            ASSERT_TRUE(jobs[i].state == job_unflushed) << c.what;
            all[i] = &jobs[i];
        }
        if (!os_sync_volume(jobs[0].temp.file)) {
            for (rewrite_job &job : jobs) rewrite_discard(&job);
            GTEST_SKIP() << "this volume is not flushed as a whole here";
        }
        os_inject(c.fails);
        rewrite_flush_together(all, 3);
        EXPECT_EQ(c.flushes, os_injected_so_far().calls[os_call_sync]) << c.what;
        os_inject_clear();
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(c.swapped ? 1 : 0, rewrite_commit(&jobs[i], "needle", "pin"));
            EXPECT_EQ(c.swapped ? "a pin\r\n" : "a needle\r\n", read_file(paths[i])) << c.what;
        }
        expect_only({"0.txt", "1.txt", "2.txt"});
    }
    EXPECT_NE(std::string::npos, logged().find("ERROR: Unable to write temp file to the disk"));
}

TEST(GetSetFtime, ReadsAndWritesTheLastWriteTime) {
    scratch_dir d;
    std::string p = d.file("t.txt");
    write_file(p, "x");
    int64_t t = old_time;
    errors_seen = 0;
    ASSERT_EQ(1, get_set_ftime(p.c_str(), &t, 1));
    int64_t back = 0;
    ASSERT_EQ(1, get_set_ftime(p.c_str(), &back, 0));
    EXPECT_EQ(old_time, back);
    EXPECT_EQ(0, errors_seen);
    std::string log = log_text();
    EXPECT_NE(std::string::npos,
              log.find("get_set_ftime() success setting timestamp file: " + p + ".\r\n"));
    EXPECT_NE(std::string::npos,
              log.find("get_set_ftime() success getting timestamp file: " + p + ".\r\n"));
}

TEST(GetSetFtime, MissingFileLogsTheSystemErrorWithoutTheMark) {
    scratch_dir d;
    std::string p = d.file("none.txt");
    for (int set : {0, 1}) {
        int64_t t = old_time;
        errors_seen = 0;
        log_message("INFO: marker");
        size_t start = log_text().size();
        EXPECT_EQ(0, get_set_ftime(p.c_str(), &t, set));
        EXPECT_EQ(0, errors_seen);
        // ENOENT and ERROR_FILE_NOT_FOUND are both 2.
        EXPECT_EQ("ERROR:  " + p + ": unknown error 0x2\r\n", log_text().substr(start)) << set;
        EXPECT_FALSE(std::filesystem::exists(p));  // setting a time never makes the file
    }
}

#if !defined(_WIN32)

TEST_F(Rewrite, PermissionBitsAreKept) {
    std::string p = make("mode.sh", "echo old\n");
    chmod(p.c_str(), 0750);
    ASSERT_EQ(1, update_file(p.c_str(), "old", "new"));
    struct stat s;
    ASSERT_EQ(0, stat(p.c_str(), &s));
    EXPECT_EQ(0750u, s.st_mode & 07777);
    EXPECT_EQ("echo new\r\n", read_file(p));
}

TEST_F(Rewrite, LinkToAFileIsRewrittenThroughItsTargetAndStaysALink) {
    scratch_dir other("target");
    std::string target = other.file("real.txt");
    write_file(target, "via link\n");
    set_mtime(target, old_time);
    std::string link = dir.file("link.txt");
    ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
    ASSERT_EQ(1, update_file(link.c_str(), "via", "through"));
    struct stat s;
    ASSERT_EQ(0, lstat(link.c_str(), &s));
    EXPECT_TRUE(S_ISLNK(s.st_mode));
    EXPECT_EQ("through link\r\n", read_file(target));
    EXPECT_EQ(old_time, mtime_of(target));
    expect_only({"link.txt"});
    EXPECT_EQ(std::set<std::string>{"real.txt"}, names_in(other.str()));
}

// A preparation told that the listing showed a plain file takes the name for the file. Should
// that file be moved away and a link to it put in its place before the swap, the link is not
// replaced by a plain file: the last look sees the link itself.
TEST_F(Rewrite, LinkPutInPlaceOfAListedFileIsNotReplaced) {
    scratch_dir other("moved");
    std::string p = make("plain.txt", "old\n");
    static std::string moved;
    moved = other.file("plain.txt");
    file_facts facts;
    facts.listed_plain = true;
    rewrite_job job;
    rewrite_prepare(&job, p.c_str(), "old", "new", prepare_options(), facts);
    rewrite_before_swap_hook = [](const char *path) {
        ASSERT_EQ(0, rename(path, moved.c_str()));
        ASSERT_EQ(0, symlink(moved.c_str(), path));
    };
    EXPECT_EQ(0, rewrite_commit(&job, "old", "new"));
    struct stat s;
    ASSERT_EQ(0, lstat(p.c_str(), &s));
    EXPECT_TRUE(S_ISLNK(s.st_mode));
    EXPECT_EQ("old\n", read_file(moved));
    EXPECT_NE(std::string::npos, logged().find("ERROR: File changed while it was being rewritten"));
    expect_only({"plain.txt"});
}

TEST_F(Rewrite, FifoIsLeftAlone) {
    std::string p = dir.file("pipe");
    ASSERT_EQ(0, mkfifo(p.c_str(), 0600));
    EXPECT_EQ(0, update_file(p.c_str(), "a", "b"));  // must not hang
    EXPECT_EQ(1, errors_seen);
    expect_only({"pipe"});
}

// Runs f in a child process and returns its exit status (or 128 + signal).
template <class F>
int in_child(F f) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(f());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(Rewrite, FileSizeLimitLeavesTheOriginal) {
    // Many occurrences that grow: the copy passes the size limit of the process.
    // The limit holds for every file the process writes, the log included: set it above the
    // log's size and below what the rewrite needs.
    std::string before;
    for (int i = 0; i < 20000; ++i) before += "grow grow grow\n";
    std::string p = make("limit.txt", before);
    rlim_t limit = rlim_t(log_text().size() + 400 * 1024);
    int status = in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &lim);
        errors_seen = 0;
        int r = update_file(p.c_str(), "grow", "became much bigger");
        return r * 10 + errors_seen;
    });
    EXPECT_EQ(1, status);  // failed, with the mark
    EXPECT_EQ(before, read_file(p));
    EXPECT_EQ(old_time, mtime_of(p));
    expect_only({"limit.txt"});
    EXPECT_NE(std::string::npos, logged().find("ERROR: Unable to write temp file"));
}

TEST_F(Rewrite, DiskFullLeavesTheOriginal) {
    std::string mnt = dir.file("small");
    std::filesystem::create_directory(mnt);
    if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << strerror(errno);
    std::string before;
    for (int i = 0; i < 9000; ++i) before += "fill fill\n";  // 90 KB, grows to ~250 KB
    std::string p = mnt + "/full.txt";
    write_file(p, before);
    write_file(mnt + "/ballast", std::string(100 * 1024, 'b'));
    set_mtime(p, old_time);
    EXPECT_EQ(0, update_file(p.c_str(), "fill", "pack it up"));
    EXPECT_EQ(1, errors_seen);
    EXPECT_EQ(before, read_file(p));
    EXPECT_EQ(old_time, mtime_of(p));
    EXPECT_EQ((std::set<std::string>{"ballast", "full.txt"}), names_in(mnt));
    EXPECT_NE(std::string::npos, logged().find("ERROR: Unable to write temp file"));
    umount2(mnt.c_str(), MNT_DETACH);
}

TEST_F(Rewrite, UnwritableFolderLeavesTheFile) {
    // Root is not held back by folder permissions: run this part as an ordinary user.
    std::string sub = dir.file("ro");
    std::filesystem::create_directory(sub);
    std::string p = sub + "/f.txt";
    write_file(p, "text\n");
    chmod(p.c_str(), 0666);
    chmod(sub.c_str(), 0555);
    chmod(dir.str().c_str(), 0755);
    int status = in_child([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 99;
        errors_seen = 0;
        return update_file(p.c_str(), "text", "other") * 10 + errors_seen;
    });
    chmod(sub.c_str(), 0755);
    if (status == 99) GTEST_SKIP() << "cannot become an ordinary user";
    EXPECT_EQ(1, status);
    EXPECT_EQ("text\n", read_file(p));
    EXPECT_EQ(std::set<std::string>{"f.txt"}, names_in(sub));
    EXPECT_NE(std::string::npos, logged().find("ERROR: Unable to open temp file"));
}

#else

TEST_F(Rewrite, HiddenAttributeIsKept) {
    std::string p = make("hidden.txt", "secret\n");
    ASSERT_TRUE(SetFileAttributesA(p.c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_EQ(1, update_file(p.c_str(), "secret", "open"));
    EXPECT_EQ("open\r\n", read_file(p));
    EXPECT_NE(0u, GetFileAttributesA(p.c_str()) & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(Rewrite, FileHeldOpenWithoutSharingIsLeftAlone) {
    std::string p = make("held.txt", "held text\n");
    HANDLE h = CreateFileA(p.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0, update_file(p.c_str(), "held", "free"));
    CloseHandle(h);
    EXPECT_EQ(1, errors_seen);
    EXPECT_EQ("held text\n", read_file(p));
    EXPECT_NE(std::string::npos, logged().find("ERROR: Unable to open src file: " + p + "\r\n"));
    expect_only({"held.txt"});
}

#endif

}  // namespace
