// Whole runs of sarvelt-cli under faults, kills and hostile trees. Each scenario generates a
// tree, keeps its bytes, runs the program over it and compares every file afterwards: a file
// is either rewritten exactly as the text-mode rule says (its last-write time kept) or left
// byte for byte, nothing is missing, no temporary file is left (except after a kill), and the
// exit status and the log tell the truth about what failed.
//
// Each scenario's name is a row of docs/reliability.md; ReliabilityTable checks the two agree.
#include "tests/faults/fault_support.h"

#include "engine/engine.h"
#include "platform/os.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#if !defined(_WIN32)
#include <grp.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace faults {
namespace {

const char errors_line[] = "ERRORS detected.  Please check logging file 'logging.log'";

// "needle" lines with the given line end, about bytes long.
std::string needle_text(size_t bytes, const char *eol = "\n", const std::string &tag = "") {
    std::string s;
    for (int i = 0; s.size() < bytes; ++i)
        s += "line " + std::to_string(i) + " " + tag + (i % 3 == 0 ? " needle here" : " plain") +
             eol;
    return s;
}

void expect_no_temporaries(const fs::path &root) {
    std::vector<std::string> left = temporaries(root);
    EXPECT_TRUE(left.empty()) << "temporary file left: " << left.front();
}

// The log line that reports a failure for path: it must name the file and say why.
bool log_names_error(const std::string &log, const std::string &path) {
    size_t at = 0;
    while ((at = log.find("ERROR:", at)) != std::string::npos) {
        size_t end = log.find('\n', at);
        std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.find(path) != std::string::npos) return true;
        at = end;
    }
    return false;
}

// --- disk full ------------------------------------------------------------------------------

// The small file system of the disk-full scenario. On Linux the test mounts a tmpfs of 1 MB
// itself (as root); under Wine, where a Windows program cannot mount, tests/faults/small-disk.sh
// mounts one before Wine starts and names it in SARVELT_SMALL_DISK. Empty: none to be had.
struct small_disk {
    fs::path root;
    std::string why_not;
    bool mounted = false;
    ~small_disk() {
#if !defined(_WIN32)
        if (mounted) umount2(root.c_str(), MNT_DETACH);
#endif
    }
};

void get_small_disk(const fs::path &own, small_disk *d) {
#if defined(_WIN32)
    (void)own;
    const char *given = getenv("SARVELT_SMALL_DISK");
    if (!given || !*given) {
        d->why_not = "no small file system given (tests/faults/small-disk.sh gives one under Wine)";
        return;
    }
    d->root = fs::path(build_path(given)) / ("t" + std::to_string(process_id()));
    fs::create_directories(d->root);
#else
    if (mount("tmpfs", own.c_str(), "tmpfs", 0, "size=1m") != 0) {
        d->why_not =
            std::string("cannot mount a small tmpfs here (needs root): ") + strerror(errno);
        return;
    }
    d->root = own;
    d->mounted = true;
#endif
}

uint64_t free_bytes_at(const fs::path &p) {
#if defined(_WIN32)
    ULARGE_INTEGER avail;
    if (!GetDiskFreeSpaceExA(p.string().c_str(), &avail, nullptr, nullptr)) return 0;
    return avail.QuadPart;
#else
    struct statvfs v;
    if (statvfs(p.c_str(), &v) != 0) return 0;
    return uint64_t(v.f_bavail) * v.f_frsize;
#endif
}

// What the log says of a full disk.
std::string disk_full_text() {
#if defined(_WIN32)
    return os_error_text(ERROR_DISK_FULL);
#else
    return strerror(ENOSPC);
#endif
}

TEST_F(Faults, DiskFullPartWayThroughARun) {
    small_disk disk;
    get_small_disk(tree, &disk);
    if (disk.root.empty()) GTEST_SKIP() << disk.why_not;
    tree = disk.root;

    std::map<std::string, std::string> before;
    for (const char *name : {"a1.txt", "a2.txt", "a3.txt", "z1.txt", "z2.txt", "z3.txt"})
        before[name] = needle_text(1500, "\n", name);
    before["m_big.txt"] = needle_text(200 * 1024, "\r\n", "big");
    for (auto &f : before) file(f.first, f.second);
    // Leave less room than the big file's copy needs, and plenty for the small ones.
    uint64_t free_bytes = free_bytes_at(tree);
    uint64_t keep = 120 * 1024;
    ASSERT_GT(free_bytes, keep);
    ASSERT_LT(free_bytes, uint64_t(64) << 20) << "not a small file system: " << tree;
    std::string ballast(size_t(free_bytes - keep), 'b');
    write_file(tree / "ballast.bin", ballast);

    result r = run(args("*.txt"));
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    for (auto &f : before) {
        if (f.first == "m_big.txt")
            expect_untouched(tree / f.first, f.second);
        else
            expect_new(tree / f.first, f.second);  // before the fault and after it
    }
    EXPECT_EQ(ballast, read_file(tree / "ballast.bin"));
    expect_no_temporaries(tree);
    std::string lg = log();
    EXPECT_TRUE(log_names_error(lg, (tree / "m_big.txt").string())) << lg;
    EXPECT_NE(std::string::npos, lg.find(disk_full_text())) << lg;
    std::error_code ec;
    if (!disk.mounted) fs::remove_all(disk.root, ec);
}

TEST_F(Faults, RoomForOneRewriteAtATimeIsEnough) {
    // Room for one new text at a time, as a one-file-at-a-time rewrite needs: the work ahead
    // may fill the disk, but a file it crowded out is prepared again with nothing else in work.
    small_disk disk;
    get_small_disk(tree, &disk);
    if (disk.root.empty()) GTEST_SKIP() << disk.why_not;
    tree = disk.root;
    std::map<std::string, std::string> before;
    for (int i = 0; i < 8; ++i) {
        std::string name = "f" + std::to_string(i) + ".txt";
        before[name] = needle_text(40 * 1024, "\r\n", name);
        file(name, before[name]);
    }
    write_file(tree / "ballast.bin", std::string(size_t(free_bytes_at(tree) - 60 * 1024), 'b'));
    result r = run(args("*.txt"));
    EXPECT_EQ(0, r.status) << r.out << log();
    for (auto &f : before) expect_new(tree / f.first, f.second);
    expect_no_temporaries(tree);
    std::error_code ec;
    if (!disk.mounted) fs::remove_all(disk.root, ec);
}

TEST_F(Faults, LogOnAFullDisk) {
    // The run's working folder, where logging.log goes, is on a full disk: the log cannot be
    // written, the files are rewritten all the same, and the run ends as one with errors.
    small_disk disk;
    get_small_disk(work, &disk);
    if (disk.root.empty()) GTEST_SKIP() << disk.why_not;
    std::string a = needle_text(1000), b = needle_text(1200, "\r\n");
    file("a.txt", a);
    file("sub/b.txt", b);
    write_file(disk.root / "ballast.bin", std::string(size_t(free_bytes_at(disk.root)), 'b'));

    result r = cli_process(args(), disk.root, outputs).wait();
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    EXPECT_NE(
        std::string::npos,
        r.err.find("sarvelt-cli: logging.log could not be written in full: " + disk_full_text()))
        << r.err;
    expect_new(tree / "a.txt", a);
    expect_new(tree / "sub" / "b.txt", b);
    expect_no_temporaries(tree);
    std::error_code ec;
    if (!disk.mounted) fs::remove_all(disk.root, ec);
}

// --- file size limit ------------------------------------------------------------------------

#if !defined(_WIN32)
// A run whose every written file may grow to at most limit bytes; SIGXFSZ as given.
void size_limit_scenario(Faults *t, const fs::path &tree, bool ignore_sigxfsz,
                         const std::function<result(std::function<void()>)> &run_with,
                         const std::function<std::string()> &log) {
    (void)t;
    std::map<std::string, std::string> before;
    before["a.txt"] = needle_text(2000);
    before["big.txt"] = needle_text(300 * 1024);
    before["z.txt"] = needle_text(2000);
    for (auto &f : before) {
        write_file(tree / f.first, f.second);
        set_mtime(tree / f.first, old_time);
    }
    const rlim_t limit = 128 * 1024;  // above the log, below the big file's copy
    result r = run_with([=] {
        signal(SIGXFSZ, ignore_sigxfsz ? SIG_IGN : SIG_DFL);
        struct rlimit lim = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &lim);
    });
    EXPECT_EQ(1, r.status) << "exit status (128 + signal when killed)\n" << r.err;
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    expect_new(tree / "a.txt", before["a.txt"]);
    expect_untouched(tree / "big.txt", before["big.txt"]);
    expect_new(tree / "z.txt", before["z.txt"]);
    expect_no_temporaries(tree);
    std::string lg = log();
    EXPECT_TRUE(log_names_error(lg, (tree / "big.txt").string())) << lg;
    EXPECT_NE(std::string::npos, lg.find(strerror(EFBIG))) << lg;
}
#endif

TEST_F(Faults, FileSizeLimitWithSigxfszIgnored) {
#if defined(_WIN32)
    GTEST_SKIP() << "a file size limit (RLIMIT_FSIZE) is a POSIX matter";
#else
    size_limit_scenario(
        this, tree, true, [&](std::function<void()> f) { return run(args("*.txt"), f); },
        [&] { return log(); });
#endif
}

TEST_F(Faults, FileSizeLimitWithSigxfszAtItsDefault) {
#if defined(_WIN32)
    GTEST_SKIP() << "a file size limit (RLIMIT_FSIZE) is a POSIX matter";
#else
    // SIGXFSZ would end the program in the middle of a write, leaving its temporary file: the
    // program must not let it.
    size_limit_scenario(
        this, tree, false, [&](std::function<void()> f) { return run(args("*.txt"), f); },
        [&] { return log(); });
#endif
}

// --- permissions ----------------------------------------------------------------------------

TEST_F(Faults, UnwritableFolderAndUnreadableFileAsOrdinaryUser) {
#if defined(_WIN32)
    GTEST_SKIP() << "POSIX permission bits; Windows' read-only attribute is ReadOnlyFiles";
#else
    std::string ok = needle_text(800), locked = needle_text(900), secret = needle_text(700),
                closed = needle_text(600), after = needle_text(500);
    file("a_ok.txt", ok);
    file("locked/in.txt", locked);
    file("secret.txt", secret);
    file("closed/x.txt", closed);
    file("z_after.txt", after);
    const bool root = geteuid() == 0;
    std::string program;  // the build's own program, or a copy nobody can reach
    if (root) {
        // The program runs as nobody, who owns the tree and the working folder.
        for (auto &e : fs::recursive_directory_iterator(tree))
            ASSERT_EQ(0, lchown(e.path().c_str(), 65534, 65534));
        ASSERT_EQ(0, chown(tree.c_str(), 65534, 65534));
        ASSERT_EQ(0, chown(work.c_str(), 65534, 65534));
        ASSERT_EQ(0, chown(outputs.c_str(), 65534, 65534));
        ASSERT_EQ(0, chown(state.c_str(), 65534, 65534));  // its undo store
        // The build may lie in a folder only its owner may enter (a clone in a mktemp folder).
        program = (base / "sarvelt-cli").string();
        fs::copy_file(cli_path(), program, fs::copy_options::overwrite_existing);
        fs::permissions(program, fs::perms::owner_all | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read |
                                     fs::perms::others_exec);
        fs::permissions(base, fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::add);
    }
    chmod((tree / "locked").c_str(), 0555);      // files can be read, nothing can be created
    chmod((tree / "secret.txt").c_str(), 0200);  // cannot be read
    chmod((tree / "closed").c_str(), 0);         // cannot be listed
    result r = cli_process(
                   args("*.txt"), work, outputs,
                   [root] {
                       if (root &&
                           (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
                           _exit(99);
                   },
                   program)
                   .wait();
    if (r.status == 99) GTEST_SKIP() << "cannot become an ordinary user";
    chmod((tree / "closed").c_str(), 0755);
    chmod((tree / "secret.txt").c_str(), 0600);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    expect_new(tree / "a_ok.txt", ok);
    expect_untouched(tree / "locked/in.txt", locked);
    expect_untouched(tree / "secret.txt", secret);
    expect_untouched(tree / "closed/x.txt",
                     closed);  // a folder that cannot be listed is passed over
    expect_new(tree / "z_after.txt", after);
    expect_no_temporaries(tree);
    std::string lg = log();
    EXPECT_TRUE(log_names_error(lg, (tree / "locked/in.txt").string()) ||
                log_names_error(lg, (tree / "locked").string()))
        << lg;
    EXPECT_TRUE(log_names_error(lg, (tree / "secret.txt").string())) << lg;
    EXPECT_NE(std::string::npos, lg.find(strerror(EACCES))) << lg;
#endif
}

TEST_F(Faults, ReadOnlyFiles) {
    std::string a = needle_text(1000), ro1 = needle_text(1200), ro2 = needle_text(300, "\r\n"),
                z = needle_text(900);
    file("a.txt", a);
    fs::path p1 = file("m_ro.txt", ro1);
    fs::path p2 = file("sub/ro.txt", ro2);
    file("z.txt", z);
#if defined(_WIN32)
    ASSERT_TRUE(SetFileAttributesA(p1.string().c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(
        SetFileAttributesA(p2.string().c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
#else
    chmod(p1.c_str(), 0444);
    chmod(p2.c_str(), 0400);
#endif
    result r = run(args());
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    expect_new(tree / "a.txt", a);
    expect_untouched(p1, ro1);
    expect_untouched(p2, ro2);
    expect_new(tree / "z.txt", z);
    expect_no_temporaries(tree);
    std::string lg = log();
    EXPECT_TRUE(log_names_error(lg, p1.string())) << lg;
    EXPECT_TRUE(log_names_error(lg, p2.string())) << lg;
#if defined(_WIN32)
    EXPECT_NE(0u, GetFileAttributesA(p1.string().c_str()) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(p1.string().c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesA(p2.string().c_str(), FILE_ATTRIBUTE_NORMAL);
#endif
}

// --- another process at work --------------------------------------------------------------

// Appends bytes to the file at p, as another program would (opened, written, closed).
void append_to(const fs::path &p, const std::string &bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::app);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

TEST_F(Faults, FilesChangedByAnotherProcessDuringTheRun) {
    // b_big.txt is large, so that its rewrite takes a while: workers prepare it ahead of the
    // walk, and the other process appends to it during the delay after the first file, before
    // its turn. c_later.txt is changed before the run gets to it too. Neither change may be
    // lost: a file changed after it was read is read again in its turn. (A change during a
    // file's own rewrite, which leaves the file as it is with an error, is the engine tests'.)
    std::string a = needle_text(1000);
    std::string big = needle_text(24u << 20, "\r\n");
    std::string later = needle_text(1000);
    file("a.txt", a);
    fs::path bigp = file("b_big.txt", big);
    fs::path laterp = file("c_later.txt", later);
    const std::string big_extra = "appended while copying, needle\r\n";
    const std::string later_extra = "appended before the run got here, needle\n";

    std::atomic<bool> done{false};
    std::atomic<bool> appended{false};
    auto shown = [&](const char *status) {
        return read_file(outputs / "stdout.txt").find(status) != std::string::npos;
    };
    std::thread other([&] {
        while (!done && !shown("Progress: 1 of 3"))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (done || shown("Progress: 2 of 3")) return;
        append_to(bigp, big_extra);
        append_to(laterp, later_extra);
        appended = true;
    });
    std::vector<std::string> a_args = args();
    a_args.push_back("--delay");
    a_args.push_back("1500");
    cli_process p(a_args, work, outputs);
    result r = p.wait();
    done = true;
    other.join();

    ASSERT_TRUE(appended) << "the other process did not get in before b_big.txt's turn";
    EXPECT_EQ(0, r.status) << r.out << log();
    expect_new(tree / "a.txt", a);
    EXPECT_EQ(reference_rewrite(big + big_extra, "needle", "thread"), read_file(bigp));
    EXPECT_EQ(reference_rewrite(later + later_extra, "needle", "thread"), read_file(laterp));
    expect_no_temporaries(tree);
}

TEST_F(Faults, FileHeldOpenWithoutSharing) {
#if !defined(_WIN32)
    GTEST_SKIP() << "POSIX has no share modes: a file cannot be held open against others";
#else
    std::string a = needle_text(1000), held = needle_text(2000), z = needle_text(900);
    file("a.txt", a);
    fs::path hp = file("held.txt", held);
    file("z.txt", z);
    HANDLE h =
        CreateFileA(hp.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    result r = run(args());
    CloseHandle(h);
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    expect_new(tree / "a.txt", a);
    expect_untouched(hp, held);
    expect_new(tree / "z.txt", z);
    expect_no_temporaries(tree);
    EXPECT_TRUE(log_names_error(log(), hp.string())) << log();
#endif
}

// --- links, FIFOs and sockets ---------------------------------------------------------------

TEST_F(Faults, LinksFifosAndSocketsInTheTree) {
#if defined(_WIN32)
    GTEST_SKIP() << "the tree's links, FIFOs and sockets are made with POSIX calls";
#else
    fs::path outside = base / "outside";
    std::string ext = needle_text(500), in_dir = needle_text(400), hard = needle_text(600),
                plain = needle_text(700), deep = needle_text(300);
    write_file(outside / "ext.txt", ext);
    set_mtime(outside / "ext.txt", old_time);
    write_file(outside / "dir/in_dir.txt", in_dir);
    set_mtime(outside / "dir/in_dir.txt", old_time);
    file("plain.txt", plain);
    file("sub/deep.txt", deep);
    fs::path h1 = file("hard1.txt", hard);
    ASSERT_EQ(0, link(h1.c_str(), (tree / "hard2.txt").c_str()));
    ASSERT_EQ(0, symlink((outside / "ext.txt").c_str(), (tree / "link_to_file.txt").c_str()));
    ASSERT_EQ(0, symlink((outside / "dir").c_str(), (tree / "link_to_dir").c_str()));
    ASSERT_EQ(0, symlink("..", (tree / "sub/cycle").c_str()));
    ASSERT_EQ(0, symlink(tree.c_str(), (tree / "sub/cycle_abs").c_str()));
    ASSERT_EQ(0, symlink("nowhere.txt", (tree / "dangling.txt").c_str()));
    ASSERT_EQ(0, symlink("self_loop.txt", (tree / "self_loop.txt").c_str()));
    ASSERT_EQ(0, mkfifo((tree / "pipe.txt").c_str(), 0600));
    ASSERT_EQ(0, symlink("pipe.txt", (tree / "link_to_pipe.txt").c_str()));
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    std::string sp = (tree / "sock.txt").string();
    ASSERT_LT(sp.size(), sizeof addr.sun_path);
    memcpy(addr.sun_path, sp.c_str(), sp.size() + 1);
    ASSERT_EQ(0, bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(sock, 1));

    auto start = std::chrono::steady_clock::now();
    result r = run(args("*.txt"));
    close(sock);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(0, r.status) << r.out << r.err << log();
    expect_new(tree / "plain.txt", plain);
    expect_new(tree / "sub/deep.txt", deep);
    // A link to a file: rewritten through its target, still a link.
    expect_new(outside / "ext.txt", ext);
    EXPECT_TRUE(fs::is_symlink(tree / "link_to_file.txt"));
    EXPECT_EQ(outside / "ext.txt", fs::read_symlink(tree / "link_to_file.txt"));
    // A link to a folder is not entered, cycles included.
    expect_untouched(outside / "dir/in_dir.txt", in_dir);
    EXPECT_TRUE(fs::is_symlink(tree / "sub/cycle"));
    // Hard links: each name ends with the new text (the rewrite gives each name a file of
    // its own).
    expect_new(tree / "hard1.txt", hard);
    expect_new(tree / "hard2.txt", hard);
    // FIFOs, sockets, dangling and looping links are not files to rewrite.
    EXPECT_TRUE(fs::is_fifo(tree / "pipe.txt"));
    EXPECT_TRUE(fs::is_socket(tree / "sock.txt"));
    EXPECT_TRUE(fs::is_symlink(tree / "dangling.txt"));
    EXPECT_FALSE(fs::exists(tree / "nowhere.txt"));
    EXPECT_EQ(std::string::npos, log().find("pipe.txt")) << log();
    EXPECT_EQ(std::string::npos, log().find("sock.txt")) << log();
    expect_no_temporaries(tree);
    expect_no_temporaries(outside);
#endif
}

TEST_F(Faults, UnixLinksAndFifosSeenFromWine) {
#if !defined(_WIN32)
    GTEST_SKIP() << "the Windows build under Wine; natively LinksFifosAndSocketsInTheTree";
#else
    // Wine shows a Unix symbolic link to a folder as a reparse point, but one to a file as a
    // plain file, and a FIFO as a file that would block whoever opens it for reading.
    const std::string tree_u = unix_path_of(tree), base_u = unix_path_of(base);
    if (tree_u.empty()) GTEST_SKIP() << "not under Wine";
    fs::path outside = base / "outside";
    std::string ext = needle_text(500), in_dir = needle_text(400), plain = needle_text(700),
                deep = needle_text(300);
    write_file(outside / "ext.txt", ext);
    set_mtime(outside / "ext.txt", old_time);
    write_file(outside / "dir" / "in_dir.txt", in_dir);
    set_mtime(outside / "dir" / "in_dir.txt", old_time);
    file("plain.txt", plain);
    file("sub/deep.txt", deep);
    ASSERT_TRUE(run_unix("/bin/ln",
                         {"-s", base_u + "/outside/ext.txt", tree_u + "/link_to_file.txt"},
                         tree / "link_to_file.txt"));
    ASSERT_TRUE(run_unix("/bin/ln", {"-s", base_u + "/outside/dir", tree_u + "/link_to_dir"},
                         tree / "link_to_dir"));
    ASSERT_TRUE(run_unix("/bin/ln", {"-s", "..", tree_u + "/sub/cycle"}, tree / "sub" / "cycle"));
    ASSERT_TRUE(run_unix("/usr/bin/mkfifo", {tree_u + "/pipe.txt"}, tree / "pipe.txt"));

    auto start = std::chrono::steady_clock::now();
    result r = run(args("*.txt"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    // The FIFO is selected as a file (Wine shows it as one) but cannot be opened: reported, and
    // the run goes on; nothing waits on it.
    EXPECT_EQ(1, r.status) << r.out << r.err << log();
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    EXPECT_TRUE(log_names_error(log(), (tree / "pipe.txt").string())) << log();
    expect_new(tree / "plain.txt", plain);
    expect_new(tree / "sub" / "deep.txt", deep);
    // Rewritten through the link: the file it leads to has the new text (had the link been
    // replaced by a plain file, the file outside would still hold the old one).
    expect_new(outside / "ext.txt", ext);
    EXPECT_EQ(read_file(outside / "ext.txt"), read_file(tree / "link_to_file.txt"));
    // Links to folders are not entered, cycles included.
    expect_untouched(outside / "dir" / "in_dir.txt", in_dir);
    EXPECT_EQ(std::string::npos, log().find("cycle")) << log();
    expect_no_temporaries(tree);
    expect_no_temporaries(outside);
    // The links and the FIFO go before the tree is removed: Wine would lead the removal through
    // the links, and its delete opens the FIFO first.
    EXPECT_TRUE(run_unix("/bin/rm", {tree_u + "/pipe.txt"}, tree / "pipe.txt", true));
    EXPECT_TRUE(
        run_unix("/bin/rm", {tree_u + "/link_to_file.txt"}, tree / "link_to_file.txt", true));
    EXPECT_TRUE(run_unix("/bin/rm", {tree_u + "/link_to_dir"}, tree / "link_to_dir", true));
    EXPECT_TRUE(run_unix("/bin/rm", {tree_u + "/sub/cycle"}, tree / "sub" / "cycle", true));
#endif
}

// --- killed at random moments ---------------------------------------------------------------

// The tree of the kill scenario: many small files and a few large ones, some without an
// occurrence, in a few folders.
std::map<std::string, std::string> kill_tree(int small, int large) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < small; ++i) {
        std::string name = (i % 3 == 0 ? "d" + std::to_string(i % 4) + "/" : std::string()) + "f" +
                           std::to_string(100 + i) + ".txt";
        files[name] = i % 7 == 6 ? std::string(3000, 'x') + "\nno occurrence\n"
                                 : needle_text(size_t(2000 + 300 * i), i % 2 ? "\n" : "\r\n", name);
    }
    for (int i = 0; i < large; ++i)
        files["m_large" + std::to_string(i) + ".txt"] = needle_text(size_t(2) << 20, "\n");
    return files;
}

void write_tree(const fs::path &tree, const std::map<std::string, std::string> &files) {
    for (auto &f : files) {
        fs::path p = tree / f.first;
        if (read_file(p) != f.second || mtime_of(p) != old_time) {
            write_file(p, f.second);
            set_mtime(p, old_time);
        }
    }
}

// After the next run or the undo, no temporary file of a killed run is left: the journal names
// each one that can hold a new text. On Windows a kill between a temporary file's creation and
// its mark to go with the process leaves it empty and unnamed in the journal (the name is
// recorded with the new text); such an empty one may stay, one per worker at the most.
void expect_no_leftover(const fs::path &tree) {
    const std::vector<std::string> left = temporaries(tree);
#if defined(_WIN32)
    EXPECT_LE(left.size(), size_t(std::max(2u, std::thread::hardware_concurrency())));
    for (auto &t : left) EXPECT_EQ("", read_file(tree / t)) << t << " was left with a text";
#else
    EXPECT_TRUE(left.empty()) << left.size() << " temporary files left, the first " << left[0];
#endif
}

TEST_F(Faults, KilledAtRandomMoments) {
#if defined(_WIN32)
    const int kills = 100;  // every start of a program under Wine costs a tenth of a second or more
    const auto files = kill_tree(20, 1);
#else
    const int kills = 200;
    const auto files = kill_tree(30, 1);
#endif
    std::map<std::string, std::string> after;
    for (auto &f : files) after[f.first] = reference_rewrite(f.second, "needle", "thread");
#if !defined(_WIN32)
    // On a tmpfs where one can be mounted: the flush to the disk before each swap costs nothing
    // there, so the 200 runs take seconds rather than minutes. A kill is a kill on any file
    // system; the disk's own order of writes after a power loss is not what this tests.
    bool mounted = mount("tmpfs", tree.c_str(), "tmpfs", 0, "size=64m") == 0;
    struct unmount_at_end {
        fs::path p;
        bool on;
        ~unmount_at_end() {
            if (on) umount2(p.c_str(), MNT_DETACH);
        }
    } unmount{tree, mounted};
#endif
    write_tree(tree, files);

    // How long one whole run takes here: the kills fall anywhere in it (and a little past).
    auto t0 = std::chrono::steady_clock::now();
    result full = run(args("*.txt"));
    auto whole = std::chrono::steady_clock::now() - t0;
    ASSERT_EQ(0, full.status) << full.err;
    for (auto &f : after) ASSERT_EQ(f.second, read_file(tree / f.first)) << f.first;
    // Undone, so that each killed run below is the latest one to undo.
    ASSERT_EQ(0, run({"--path", tree.string(), "--undo"}).status);
    for (auto &f : files) ASSERT_EQ(f.second, read_file(tree / f.first)) << f.first;
    const int64_t span_us = std::max<int64_t>(
        1000, std::chrono::duration_cast<std::chrono::microseconds>(whole).count() * 6 / 5);

    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int64_t> moment(0, span_us);
    int partial_runs = 0, leftovers_seen = 0, next_runs = 0;
    for (int k = 0; k < kills; ++k) {
        SCOPED_TRACE("kill " + std::to_string(k));
        write_tree(tree, files);
        for (auto &t : temporaries(tree)) fs::remove(tree / t);
        cli_process p(args("*.txt"), work, outputs);
        ASSERT_TRUE(p.started());
        std::this_thread::sleep_for(std::chrono::microseconds(moment(rng)));
        p.kill_now();
        p.wait();

        // Every file wholly old or wholly new (with its old time), none missing; and each new
        // one was announced in the log before its swap, whatever was cut after it.
        const std::string logged = log();
        int changed = 0;
        for (auto &f : files) {
            fs::path fp = tree / f.first;
            ASSERT_TRUE(fs::exists(fp)) << f.first << " is missing";
            std::string now = read_file(fp);
            bool old_one = now == f.second, new_one = now == after[f.first];
            ASSERT_TRUE(old_one || new_one)
                << f.first << " is partial (" << now.size() << " bytes)";
            ASSERT_EQ(old_time, mtime_of(fp)) << f.first;
            if (new_one && !old_one) {
                ++changed;
                EXPECT_NE(std::string::npos,
                          logged.find(fs::path(f.first).filename().string() + " \r\nSearch for:"))
                    << f.first << " was swapped in before the log told of it";
            }
        }
        if (changed > 0 && changed < int(files.size())) ++partial_runs;
        // A temporary file has no name (Linux), or goes with the process (Windows), until just
        // before its swap: only a kill between those two steps leaves one behind, holding a
        // whole new file. Windows marks the file just after creating it, so there a kill in
        // between can also leave an empty one: one for each worker, at the most (one per core,
        // at least two). Never one with part of a file.
        std::vector<std::string> left = temporaries(tree);
        ASSERT_LE(left.size(), 1u + std::max(2u, std::thread::hardware_concurrency()));
        std::map<std::string, std::string> leftover;
        for (auto &t : left) {
            std::string bytes = read_file(tree / t);
            bool whole = false;
            for (auto &f : after)
                whole = whole || (fs::path(f.first).parent_path() == fs::path(t).parent_path() &&
                                  f.second == bytes);
#if defined(_WIN32)
            whole = whole || bytes.empty();
#endif
            EXPECT_TRUE(whole) << t << " holds part of a file (" << bytes.size() << " bytes)";
            leftover[t] = bytes;
            ++leftovers_seen;
        }
        // The next run with a leftover: it completes every file and removes the leftover the
        // killed run's journal names. (Checked after every fourth kill that left one, and now
        // and then without.) Then both runs are undone, one step at a time.
        int undos = 1;
        if ((!leftover.empty() && leftovers_seen % 4 == 1) || k % 25 == 0) {
            ++next_runs;
            result r = run(args("*.txt"));
            ASSERT_EQ(0, r.status) << r.err;
            for (auto &f : after) ASSERT_EQ(f.second, read_file(tree / f.first)) << f.first;
            expect_no_leftover(tree);
            undos = 2;
        }
        // The undo gives every file back as it was before the run, with its time, and leaves
        // no temporary file; a run killed before its journal began has nothing to undo (2).
        for (int u = 0; u < undos; ++u) {
            result r = run({"--path", tree.string(), "--undo"});
            ASSERT_TRUE(r.status == 0 || (r.status == 2 && u == undos - 1)) << r.out << r.err << log();
        }
        for (auto &f : files) {
            ASSERT_EQ(f.second, read_file(tree / f.first)) << f.first << " not given back";
            ASSERT_EQ(old_time, mtime_of(tree / f.first)) << f.first;
        }
        expect_no_leftover(tree);
    }
    std::cout << "[ kills ] " << kills << " kills over runs of " << span_us
              << " us: " << partial_runs << " cut a run part-way, " << leftovers_seen
              << " left a temporary file, " << next_runs << " next runs checked\n";
    EXPECT_GT(partial_runs, 0) << "no kill fell in the middle of a run: nothing was tested";
    EXPECT_LE(leftovers_seen, kills / 5) << "the steps that can leave a file are few and short";
}

TEST_F(Faults, LeftoverTemporaryFileIsAnOrdinaryFile) {
    // A leftover of a killed run holds the front of a rewritten file; a file of the user's may
    // happen to have such a name too. Neither is removed or used as a temporary file.
    std::string doc = needle_text(4000);
    file("doc.txt", doc);
    const std::string leftover = "line 0  thread here\r\nline 1 ";
    const std::string users = "a file of the user's that holds a needle\n";
    file("1700000000.tmp", leftover);
    file("-5.tmp", users);
    // The rewrite's own temporary names for the next seconds are taken too.
    int64_t now = os_time_now();
    std::map<std::string, std::string> taken;
    for (int i = 0; i < 4; ++i) {
        std::string name = std::to_string(int32_t(now + i)) + ".tmp";
        taken[name] = "taken " + name;
        file(name, taken[name]);
    }

    // A Type that does not select them: they stay byte for byte.
    result r = run(args("*.txt"));
    EXPECT_EQ(0, r.status) << r.err;
    expect_new(tree / "doc.txt", doc);
    expect_untouched(tree / "1700000000.tmp", leftover);
    expect_untouched(tree / "-5.tmp", users);
    for (auto &t : taken) expect_untouched(tree / t.first, t.second);

    // "*.*" selects them as any other file: a leftover holds no occurrence and stays as it is;
    // the user's file gets its replacement; nothing else appears.
    std::set<std::string> names = names_in(tree);
    r = run(args("*.*"));
    EXPECT_EQ(0, r.status) << r.err;
    expect_untouched(tree / "1700000000.tmp", leftover);
    expect_new(tree / "-5.tmp", users);
    for (auto &t : taken) expect_untouched(tree / t.first, t.second);
    EXPECT_EQ(names, names_in(tree));
}

// --- names and lengths ----------------------------------------------------------------------

TEST_F(Faults, AwkwardNames) {
    std::vector<std::string> names = {
        "with space.txt", " leading space.txt", "sub dir/in a space.txt", ".dotfile.txt",
        "..two dots.txt", "100%n%s%d.txt", "semi;colon&amp'quote.txt", "-starts-with-dash.txt",
        "caf\xc3\xa9 na\xc3\xafve.txt", "UPPER.TXT", "multi.dot.name.txt", "#hash!bang.txt",
        // Every script, and a letter beside its look-alike: with
        // UTF-8 as its code page, Windows gives each its own name.
        "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e.txt", "\xce\xa9.txt", "O.txt",
        "emoji \xf0\x9f\x98\x80.txt",
        "\xce\x95\xce\xbb\xce\xbb\xce\xac\xce\xb4\xce\xb1/\xce\xba\xce\xb5\xce\xaf\xce\xbc\xce\xb5\xce\xbd\xce\xbf.txt",
        "e\xcc\x81 combining.txt"};
#if !defined(_WIN32)
    names.push_back("raw \xff\xfe bytes.txt");  // not UTF-8 at all
    names.push_back("tab\there.txt");
    names.push_back("back\\slash.txt");
    names.push_back("trailing dot..txt.");  // does not end in .txt
#endif
    std::map<std::string, std::string> before;
    for (auto &n : names) before[n] = needle_text(600, "\n", "name");
    for (auto &b : before) file(b.first, b.second);
    std::string hidden = needle_text(400);
    file(".hidden/inside.txt", hidden);
    file("sub dir/.also hidden/inside.txt", hidden);

    result r = run(args("*.txt"));
    EXPECT_EQ(0, r.status) << r.err << log();
    for (auto &b : before) {
        fs::path p = tree / fs::u8path(b.first);
        // The extension is what follows the name's last point, compared without case.
        std::string ext = b.first.substr(b.first.rfind('.'));
        for (char &c : ext) c = char(tolower(static_cast<unsigned char>(c)));
        bool selected = ext == ".txt";
        if (selected)
            expect_new(p, b.second);
        else
            expect_untouched(p, b.second);
    }
    // Folders whose names begin with a point are not entered.
    expect_untouched(tree / ".hidden/inside.txt", hidden);
    expect_untouched(tree / "sub dir/.also hidden/inside.txt", hidden);
    expect_no_temporaries(tree);
}

TEST_F(Faults, PathsAtTheLengthLimits) {
    // A path is refused only past the system's own limit. Natively a file of the longest path is
    // rewritten and one a byte longer (made through its folder: no path names it) is refused;
    // under Wine, whose Unix side holds no path near the limit of Windows, 1,000 characters
    // stand for a long path.
    const std::string sep(1, path_separator);
#if defined(_WIN32)
    const size_t longest = 1000;
#else
    const size_t longest = os_path_longest;
#endif
    const std::string dir =
        long_paths::make_chain(tree.string(), longest - 100, std::string(120, 'd'));
    const std::string fits = dir + sep + std::string(longest - dir.size() - 5, 'n') + ".txt";
    const std::string little = dir + sep + "short.txt";
    const std::string fits_text = needle_text(500), little_text = needle_text(300);
    for (auto &f : {std::make_pair(fits, fits_text), std::make_pair(little, little_text)}) {
        ASSERT_TRUE(long_paths::write(f.first, f.second));
        ASSERT_TRUE(set_mtime(f.first, old_time)) << f.first.size();
    }
#if !defined(_WIN32)
    const std::string over_name = std::string(longest - dir.size() - 4, 'o') + ".txt";
    const std::string over = dir + sep + over_name, over_text = needle_text(600);
    const int folder = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    int f = openat(folder, over_name.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(f, 0);
    ASSERT_EQ(ssize_t(over_text.size()), write(f, over_text.data(), over_text.size()));
    close(f);
#endif
    result r = run(args("*.txt"));
    expect_new(fits, fits_text);
    expect_new(little, little_text);
    EXPECT_TRUE(long_paths::temporaries(tree.string()).empty());
    std::string lg = log();
    EXPECT_FALSE(log_names_error(lg, fits)) << lg;
#if defined(_WIN32)
    EXPECT_EQ(0, r.status) << r.err;
    long_paths::remove(tree.string());
#else
    EXPECT_EQ(1, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(errors_line)) << r.out;
    EXPECT_NE(std::string::npos, lg.find("ERROR: Path too long (at most " +
                                         std::to_string(longest) + " bytes), file skipped: " +
                                         over))
        << lg;
    std::string now(over_text.size() + 1, '\0');
    f = openat(folder, over_name.c_str(), O_RDONLY);
    EXPECT_EQ(ssize_t(over_text.size()), read(f, &now[0], now.size()));
    now.resize(over_text.size());
    EXPECT_EQ(over_text, now);
    close(f);
    close(folder);
    EXPECT_EQ(0, system(("rm -rf '" + tree.string() + "'").c_str()));
#endif
}

// --- the table in docs/reliability.md -------------------------------------------------------

TEST(ReliabilityTable, NamesEveryScenarioAndNoOther) {
    std::string doc = read_file(source_path("docs/reliability.md"));
    ASSERT_FALSE(doc.empty()) << "docs/reliability.md not found";
    // A row: the scenario's name, then the fault, where it runs and what the program does,
    // none of them empty.
    std::set<std::string> in_table;
    std::regex row("^\\| `([A-Za-z0-9]+)` \\|");
    std::regex whole_row("^\\| `[A-Za-z0-9]+` \\|( [^|]*[^| ][^|]* \\|){3}\\s*$");
    std::istringstream lines(doc);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, row)) continue;
        EXPECT_TRUE(std::regex_match(line, whole_row)) << "row without its three cells: " << line;
        EXPECT_TRUE(in_table.insert(m[1]).second) << "two rows for " << m[1];
    }
    std::set<std::string> tests;
    const ::testing::UnitTest &u = *::testing::UnitTest::GetInstance();
    for (int i = 0; i < u.total_test_suite_count(); ++i) {
        const ::testing::TestSuite &s = *u.GetTestSuite(i);
        if (std::string(s.name()) != "Faults") continue;
        for (int j = 0; j < s.total_test_count(); ++j) tests.insert(s.GetTestInfo(j)->name());
    }
    EXPECT_FALSE(tests.empty());
    EXPECT_EQ(tests, in_table) << "every Faults scenario has one row in docs/reliability.md";
}

}  // namespace
}  // namespace faults
