// sarvelt-cli from the outside: the built program is started over temporary trees (natively,
// or inside Wine for the Windows build) and its files, output and exit status are checked.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "platform/os.h"
#include "tests/common/files.h"
#include "tests/common/process.h"

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testutil;

// Each test: a tree to walk, a working folder to run in (where logging.log goes) and a
// folder for the program's output.
class Cli : public ::testing::Test, protected run_folders {
  protected:
    Cli() : run_folders("sarvelt-cli") {}

    result run(std::vector<std::string> args, const fs::path &cwd = fs::path()) {
        return cli_process(args, cwd.empty() ? work : cwd, outputs).wait();
    }
    fs::path file(const std::string &rel, const std::string &bytes) {
        write_file(tree / rel, bytes);
        return tree / rel;
    }
    std::string read(const std::string &rel) { return read_file(tree / rel); }
    bool has_temporaries() { return !temporaries(tree).empty(); }
};

TEST_F(Cli, RewritesTheSelectedFilesAndPrintsEveryStatus) {
    file("a.txt", "one needle\n");
    file("sub/b.txt", "needle needle\n");
    file("c.md", "needle\n");
    file(".git/d.txt", "needle\n");
    file("e.txt", "nothing here\n");
    result r =
        run({"--path", tree.string(), "--type", "*.txt", "--search", "needle", "--replace", "pin"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("one pin\r\n", read("a.txt"));
    EXPECT_EQ("pin pin\r\n", read("sub/b.txt"));
    EXPECT_EQ("needle\n", read("c.md"));
    EXPECT_EQ("needle\n", read(".git/d.txt"));
    EXPECT_EQ("nothing here\n", read("e.txt"));
    EXPECT_EQ(
        "In Progress....\n"
        "Scanning Directories...\n"
        "Scanning Directories...please wait...\n"
        "Matching files found :  3\n"
        "Progress: 1 of 3 files. (33%)\n"
        "Progress: 2 of 3 files. (67%)\n"
        "Progress: 3 of 3 files. (100%)\n"
        "Files rewritten: 2, without occurrence: 1, left alone: 0, errors: 0\n",
        r.out);
    EXPECT_EQ("", r.err);
    std::string log = read_file(work / "logging.log");
    EXPECT_NE(std::string::npos, log.find("INFO: About to Update File"));
    EXPECT_FALSE(has_temporaries());
}

TEST_F(Cli, APreviewPrintsWhatWouldChangeAndChangesNothing) {
    file("a.txt", "one needle\nkept\n");
    file("b.txt", "nothing\n");
    const int64_t was = mtime_of(tree / "a.txt");
    result r = run({"--path", tree.string(), "--search", "needle", "--replace", "pin", "--preview"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("a.txt: 1 replacement\n-1: one needle\n+1: one pin\n"))
        << r.out;
    EXPECT_NE(std::string::npos,
              r.out.find("Preview: 1 file would change, 1 replacement in all; 2 files read, 0 left "
                         "alone.\n"))
        << r.out;
    EXPECT_EQ("one needle\nkept\n", read("a.txt"));
    EXPECT_EQ(was, mtime_of(tree / "a.txt"));
    EXPECT_FALSE(has_temporaries());
}

// A run keeps every original in the store; --undo gives them back one run at a time, each
// only while the file holds what its run wrote; --no-undo keeps nothing.
TEST_F(Cli, UndoGivesBackOneRunAtATime) {
    file("a.txt", "one needle\n");
    file("b.txt", "two needle\n");
    set_mtime(tree / "a.txt", old_time);
    auto pass = [&](const char *search, const char *replace) {
        return run({"--path", tree.string(), "--search", search, "--replace", replace});
    };
    ASSERT_EQ(0, pass("needle", "pin").status);
    ASSERT_EQ(0, pass("pin", "tack").status);
    EXPECT_EQ("one tack\r\n", read("a.txt"));
    file("b.txt", "edited by hand\n");
    result r = run({"--path", tree.string(), "--undo"});
    EXPECT_EQ(1, r.status) << r.out;  // b.txt was edited since: left as it is
    EXPECT_EQ("one pin\r\n", read("a.txt"));
    EXPECT_EQ("edited by hand\n", read("b.txt"));
    EXPECT_NE(std::string::npos, read_file(work / "logging.log").find("ERROR: Undo: File changed since the run"));
    r = run({"--path", tree.string(), "--undo"});
    EXPECT_EQ(1, r.status) << r.out;  // b.txt again
    EXPECT_EQ("one needle\n", read("a.txt"));
    EXPECT_EQ(old_time, mtime_of(tree / "a.txt"));
    EXPECT_EQ(2, run({"--path", tree.string(), "--undo"}).status);  // nothing left to undo
    ASSERT_EQ(0, run({"--path", tree.string(), "--search", "needle", "--replace", "pin",
                      "--no-undo"})
                     .status);
    EXPECT_EQ(2, run({"--path", tree.string(), "--undo"}).status);
    EXPECT_FALSE(has_temporaries());
}

// With the store full, the oldest run goes when a run starts; its files are removed by a
// process of the program's own that outlives the run, and by nothing else.
TEST_F(Cli, TheOldestRunGoesAfterTheRunThatPushedItOut) {
#if defined(_WIN32)
    const fs::path store = state / "Sarvelt" / "undo";
#else
    const fs::path store = state / "sarvelt" / "undo";
#endif
    std::set<std::string> expected;
    for (int n = 1; n <= 20; ++n) {
        write_file(store / std::to_string(n) / "journal", "an ended run elsewhere\n");
        if (n > 1) expected.insert(std::to_string(n));
    }
    for (int i = 0; i < 300; ++i) write_file(store / "1" / std::to_string(i), "an original\n");
    write_file(store / "7" / "3", "kept by run 7\n");
    file("a.txt", "needle\n");
    ASSERT_EQ(0, run({"--path", tree.string(), "--search", "needle", "--replace", "pin"}).status);
    expected.insert("21");
    for (int i = 0; i < 2000 && names_in(store) != expected; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(expected, names_in(store));
    // Typed by hand, the remover's option removes what is left of runs that went, nothing else.
    write_file(store / "2.gone" / "1", "cut short\n");
    EXPECT_EQ(0, run({"--remove-gone"}).status);
    EXPECT_EQ(expected, names_in(store));
    EXPECT_EQ("kept by run 7\n", read_file(store / "7" / "3"));
    EXPECT_EQ("pin\r\n", read("a.txt"));
}

TEST_F(Cli, ARunSelectingNoFileCreatesNoLog) {
    file("a.txt", "needle\n");
    result r = run({"--path", tree.string(), "--type", "*.zzz", "--search", "needle"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Matching files found :  0\n"));
    EXPECT_EQ(std::string::npos, r.out.find("Progress:"));
    EXPECT_FALSE(fs::exists(work / "logging.log"));
    EXPECT_EQ("needle\n", read("a.txt"));
}

TEST_F(Cli, OptionsGoThroughTheFieldParsers) {
    file("k1023.bin", std::string(1017, 'x') + "needle");  // 1,023 bytes
    file("k1024.bin", std::string(1018, 'x') + "needle");  // 1,024 bytes
    result r = run({"--path=" + tree.string(), "--search=needle", "--replace=pin", "--size", "1 kb",
                    "--type=*.BIN"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Matching files found :  1\n"));
    EXPECT_EQ(std::string(1017, 'x') + "needle", read("k1023.bin"));
    EXPECT_EQ(std::string(1018, 'x') + "pin", read("k1024.bin"));

    file("longer_name.txt", "needle\n");
    file("short.txt", "needle\n");
    fs::last_write_time(tree / "short.txt",
                        fs::file_time_type::clock::now() - std::chrono::hours(24 * 30));
    r = run({"--path", tree.string(), "--search", "needle", "--replace", "pin", "--type", "*.txt",
             "--name-len", "10"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("pin\r\n", read("longer_name.txt"));
    EXPECT_EQ("needle\n", read("short.txt"));

    file("longer_name.txt", "needle\n");
    r = run({"--path", tree.string(), "--search", "needle", "--replace", "pin", "--type", "*.txt",
             "--age-days", "29"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Matching files found :  1\n"));
    EXPECT_EQ("needle\n", read("short.txt"));
    EXPECT_EQ("pin\r\n", read("longer_name.txt"));
}

TEST_F(Cli, ErrorsGiveExitStatusOne) {
    fs::path locked = file("a.txt", "needle\n");
    file("b.txt", "needle\n");
    fs::permissions(locked,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    result r = run({"--path", tree.string(), "--search", "needle", "--replace", "pin"});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("ERRORS detected.  Please check logging file 'logging.log'\n"));
    EXPECT_EQ("needle\n", read("a.txt"));
    EXPECT_EQ("pin\r\n", read("b.txt"));
    EXPECT_NE(std::string::npos, read_file(work / "logging.log").find("ERROR:"));
    EXPECT_FALSE(has_temporaries());
}

TEST_F(Cli, RefusedInputGivesExitStatusTwoAndTouchesNothing) {
    file("a.txt", "needle\n");
    const std::string p = tree.string();
    const std::string missing = (base / "no such folder").string();
    const std::string in_file = (tree / "a.txt").string();
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--path", "", "--search", "needle"}, "Please enter a folder in Path."},
        {{"--path", p, "--search", ""}, "Please enter a Search String."},
        {{"--path", p, "--search", "needle", "--replace", "a needle"},
         "The Replace String must not contain the Search String: every replacement would bring it back."},
        {{"--path", p, "--search", "needle", "--name-len", "abc"},
         "Name Len must be a whole number of characters (0 or more), or empty."},
        {{"--path", p, "--search", "needle", "--age-days", "-1"},
         "Age days must be a whole number of days (0 or more), or empty."},
        {{"--path", p, "--search", "needle", "--type", "*.txt;!build/x/"},
         "The Type item '!build/x/' must name one folder, without a separator before its end."},
        {{"--path", missing, "--search", "needle"},
         "The Path '" + missing + "' is not an existing folder."},
        {{"--path", in_file, "--search", "needle"},
         "The Path '" + in_file + "' is not an existing folder."},
    };
    for (auto &c : cases) {
        result r = run(c.args);
        EXPECT_EQ(2, r.status) << c.reason;
        EXPECT_EQ("sarvelt-cli: " + c.reason + "\n", r.err);
        EXPECT_EQ("", r.out);
        EXPECT_EQ("needle\n", read("a.txt"));
        EXPECT_FALSE(fs::exists(work / "logging.log"));
    }
}

TEST_F(Cli, ALogThatCannotBeOpenedStopsTheRunBeforeAnyFileWithExitStatusOne) {
    file("a.txt", "needle\n");
    fs::create_directories(work / "logging.log");  // a folder where the log would be
    result r = run({"--path", tree.string(), "--search", "needle", "--replace", "pin"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("sarvelt-cli: ERROR:  The debug logging file 'logging.log' could not not be opened\n",
              r.err);
    EXPECT_EQ("needle\n", read("a.txt"));
    EXPECT_FALSE(has_temporaries());
}

TEST_F(Cli, ArgumentsAndOutputAreUtf8) {
    const std::string folder = "\xce\x95\xce\xbb\xce\xbb\xce\xac\xce\xb4\xce\xb1";  // Ελλάδα
    write_file(tree / fs::u8path(folder + "/\xce\xba\xce\xb5\xce\xaf\xce\xbc.txt"),
               "\xcf\x89\xce\xbc\xce\xad\xce\xb3\xce\xb1 one\n");  // "ωμέγα one"
    const std::string path = tree.string() + "/" + folder;
    result r = run({"--path", path, "--search", "\xcf\x89\xce\xbc\xce\xad\xce\xb3\xce\xb1",
                    "--replace", "omega"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("omega one\r\n",
              read_file(tree / fs::u8path(folder + "/\xce\xba\xce\xb5\xce\xaf\xce\xbc.txt")));
    r = run({"--path", path + "-", "--search", "x"});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ("sarvelt-cli: The Path '" + path + "-' is not an existing folder.\n", r.err);
}

// The Path may be a folder of any length the system holds, and a length is counted as the
// system counts it: Japanese folders of fewer than 260 UTF-16 units but more than 259 bytes,
// then a folder of 1,000 characters (made through the program's own calls, as the standard
// library does not reach that far on Windows).
TEST_F(Cli, LongAndNonLatinPathsAreWalkedAndRewritten) {
    const std::string sep(1, path_separator);
    std::string rel;
    for (int i = 0; i < 16; ++i)  // "日本語の資料" and a number: 7 UTF-16 units, 19 bytes
        rel += (i ? "/" : "") + std::string("\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae"
                                            "\xe8\xb3\x87\xe6\x96\x99") +
               std::to_string(i % 10);
    const fs::path jp = tree / fs::u8path(rel) / "a.txt";
    ASSERT_TRUE(write_file(jp, "needle\n"));
    ASSERT_TRUE(set_mtime(jp, old_time));
    const std::string jp_folder = tree.string() + sep + rel;
    ASSERT_GT(jp_folder.size(), 259u);
#if defined(_WIN32)
    ASSERT_LT(jp.wstring().size(), 260u);
#endif
    result r = run({"--path", jp_folder, "--search", "needle", "--replace", "pin"});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("pin\r\n", read_file(jp));
    EXPECT_EQ(old_time, mtime_of(jp));
    EXPECT_FALSE(has_temporaries());

    const std::string deep = long_paths::make_chain(tree.string(), 990, std::string(100, 'd'));
    const std::string b = deep + sep + "b.txt";
    ASSERT_TRUE(long_paths::write(b, "needle\n"));
    int64_t t = old_time;
    ASSERT_EQ(1, os_path_mtime(b.c_str(), &t, 1));
    r = run({"--path", deep, "--search", "needle", "--replace", "pin"});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("pin\r\n", long_paths::read(b));
    EXPECT_EQ(1, os_path_mtime(b.c_str(), &t, 0));
    EXPECT_EQ(old_time, t);
    EXPECT_TRUE(long_paths::temporaries(tree.string()).empty());
    long_paths::remove(tree.string());
}

#if defined(_WIN32)
// A Path of a drive alone is the drive's root, as the paths of its entries are composed: the
// tree gets a drive letter of its own (a link in the Wine prefix's dosdevices), and the run
// starts in a subfolder of it, which is then that drive's current folder.
TEST_F(Cli, ADriveAloneMeansItsRoot) {
    const char *prefix = getenv("WINEPREFIX");
    std::string unix_tree = unix_path_of(tree);
    if (!prefix || unix_tree.empty()) GTEST_SKIP() << "not under Wine";
    std::string dosdevices = std::string(prefix) + "/dosdevices";
    DWORD used = GetLogicalDrives();
    char letter = 'Q';
    while (letter > 'D' && (used & (1u << (letter - 'A')))) --letter;
    const std::string drive = std::string(1, letter) + ":";
    std::string link = dosdevices + "/" + char(tolower(letter)) + ":";
    // Seen through drive Z: (this process may keep its view of the drives it started with).
    ASSERT_TRUE(run_unix("/bin/ln", {"-s", unix_tree, link}, build_path(link))) << link;
    file("top.txt", "needle\n");
    file("sub/below.txt", "needle\n");
    result r = run({"--path", drive, "--search", "needle", "--replace", "pin"}, drive + "\\sub");
    run_unix("/bin/rm", {link}, build_path(link), true);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("pin\r\n", read("top.txt"));
    EXPECT_EQ("pin\r\n", read("sub/below.txt"));
}
#endif

TEST_F(Cli, UsageErrorsGiveExitStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"--search", "x"},
        {"--path", tree.string()},
        {"--path", tree.string(), "--search", "x", "--colour", "red"},
        {"--path", tree.string(), "--search"},
        {"--path", tree.string(), "--search", "x", "stray"},
        {"--path", tree.string(), "--search", std::string(5000, 's')},
    };
    for (auto &args : cases) {
        result r = run(args);
        EXPECT_EQ(2, r.status);
        EXPECT_NE(std::string::npos, r.err.find("sarvelt-cli: "));
        EXPECT_EQ("", r.out);
    }
    result r = run({"--path", tree.string()});
    EXPECT_NE(std::string::npos, r.err.find("Usage: sarvelt-cli"));
    EXPECT_NE(std::string::npos, r.err.find("missing --search"));

    r = run({"--path", tree.string(), "--search", std::string(4999, 's')});  // fits the field
    EXPECT_EQ(0, r.status) << r.err;

    r = run({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Usage: sarvelt-cli"));
    EXPECT_NE(std::string::npos, r.out.find("--age-days"));
}

TEST_F(Cli, TheLogInTheWalkedTreeIsNeverRewritten) {
    file("a.txt", "needle\n");
    write_file(tree / "logging.log", "an old log with a needle\n");
    result r = run({"--path", tree.string(), "--search", "needle", "--replace", "pin"}, tree);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Matching files found :  1\n"));
    EXPECT_EQ("pin\r\n", read("a.txt"));
    std::string log = read("logging.log");
    EXPECT_NE(std::string::npos, log.find("Search for:  needle"));
    EXPECT_EQ(std::string::npos, log.find("old log"));  // a new session log
}

TEST_F(Cli, CtrlCCancelsBetweenTwoFiles) {
    for (int i = 1; i <= 5; ++i) file(std::to_string(i) + ".txt", "needle\n");
    cli_process p(
        {"--path", tree.string(), "--search", "needle", "--replace", "pin", "--delay", "400"}, work,
        outputs);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (p.output_so_far().find("Progress: 1 of 5") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // inside the first delay
    if (!p.interrupt()) {
        p.wait();
        GTEST_SKIP() << "no console break can be sent here";
    }
    result r = p.wait();
    EXPECT_EQ(130, r.status);
    EXPECT_EQ("pin\r\n", read("1.txt"));
    for (int i = 2; i <= 5; ++i) EXPECT_EQ("needle\n", read(std::to_string(i) + ".txt")) << i;
    EXPECT_FALSE(has_temporaries());
    EXPECT_NE(std::string::npos, r.out.find("Progress: 1 of 5 files. (20%)\nIdling....\n"));
    EXPECT_EQ(std::string::npos, r.out.find("Progress: 2 of 5"));
}

}  // namespace

// Each file in its own encoding, the legacy code page named by --code-page, binary files left
// alone or (--include-binary) rewritten byte for byte, and a code page the system does not know
// refused before anything is touched.
TEST_F(Cli, FilesAreRewrittenInTheirOwnEncodings) {
    const std::string p = tree.string();
    file("a.txt", "M\xFC" "ller\n");
    file("b.bin", std::string("M\xC3\xBCller\0\0\0", 10));
    result r = run({"--path", p, "--search", "M\xC3\xBCller", "--replace", "Mu"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("Mu\r\n", read("a.txt"));
    EXPECT_EQ(std::string("M\xC3\xBCller\0\0\0", 10), read("b.bin"));
    const std::string log = read_file(work / "logging.log");
    EXPECT_NE(std::string::npos, log.find("INFO: File in windows-1252: "));
    EXPECT_NE(std::string::npos, log.find("INFO: Binary file left alone (holds NUL bytes): "));
    EXPECT_NE(std::string::npos,
              r.out.find("Files rewritten: 1, without occurrence: 0, left alone: 1, errors: 0\n"))
        << r.out;

    r = run({"--path", p, "--search", "M\xC3\xBCller", "--replace", "Mu", "--include-binary"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::string("Mu\0\0\0", 5), read("b.bin"));

    // 83 5C is one character in code page 932: its second byte is no backslash.
    file("c.txt", "\x83\x5C\\\n");
    r = run({"--path", p, "--search", "\\", "--replace", "/", "--code-page", "932"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("\x83\x5C/\r\n", read("c.txt"));

    // The replacement cannot be written in windows-1252: the file stays, exit status 1.
    file("d.txt", "M\xFC" "ller\n");
    r = run({"--path", p, "--search", "ller", "--replace", "\xCE\xA9", "--code-page", "1252"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("M\xFC" "ller\n", read("d.txt"));

    fs::remove(work / "logging.log");
    r = run({"--path", p, "--search", "M", "--code-page", "59999"});
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("--code-page 59999"));
    EXPECT_FALSE(fs::exists(work / "logging.log"));
    EXPECT_EQ("M\xFC" "ller\n", read("d.txt"));
    EXPECT_FALSE(has_temporaries());
}
