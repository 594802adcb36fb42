// Starting programs from a test: the built sarvelt-cli (natively, or inside Wine for the
// Windows build) with its standard output and error going to files, the folders of such a run,
// and, under Wine, the Linux programs that make what the Windows calls cannot. A target that
// starts sarvelt-cli defines SARVELT_CLI, the program's path; one that reads the project's own
// files defines SARVELT_SOURCE_DIR.
#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tests/common/files.h"

namespace testutil {

// Console output of a Windows program ends its lines with CR LF.
inline std::string without_cr(std::string s) {
    s.erase(std::remove(s.begin(), s.end(), '\r'), s.end());
    return s;
}

// A path of the build as this program reaches it: under Wine the build's paths are Unix paths,
// reachable through drive Z:.
inline std::string build_path(std::string p) {
#if defined(_WIN32)
    if (!p.empty() && p[0] == '/') {
        p = "Z:" + p;
        for (char &c : p)
            if (c == '/') c = '\\';
    }
#endif
    return p;
}

#if defined(SARVELT_CLI)
inline std::string cli_path() { return build_path(SARVELT_CLI); }
#endif

#if defined(SARVELT_SOURCE_DIR)
// A file of the project's sources, by its path relative to the source root.
inline std::string source_path(const std::string &rel) {
    return build_path(std::string(SARVELT_SOURCE_DIR) + "/" + rel);
}
#endif

struct result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // without CRs
    std::string err;
};

#if defined(_WIN32)
// One argument quoted as the C runtime's command-line parser reads it back.
inline std::string quote(const std::string &arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    std::string q = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            q.append(backslashes * 2 + 1, '\\');
        else
            q.append(backslashes, '\\');
        backslashes = 0;
        q += c;
    }
    q.append(backslashes * 2, '\\');
    return q + "\"";
}
#endif

// One started sarvelt-cli (or the program given, such as a copy of it), its output in
// outputs/stdout.txt and outputs/stderr.txt. before_exec (POSIX only) runs in the child just
// before the program starts: limits, user and signal dispositions set there are the program's.
#if defined(_WIN32)
inline std::wstring wide(const std::string &utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 1), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &w[0], n);
    w.resize(w.size() - 1);
    return w;
}
#endif

class cli_process {
  public:
    cli_process(const std::vector<std::string> &args, const fs::path &cwd, const fs::path &outputs,
                const std::function<void()> &before_exec = nullptr, const std::string &program = "")
        : out_(outputs / "stdout.txt"), err_(outputs / "stderr.txt") {
        std::string exe = program;
#if defined(SARVELT_CLI)
        if (exe.empty()) exe = cli_path();
#endif
#if defined(_WIN32)
        (void)before_exec;
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        HANDLE out =
            CreateFileA(out_.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &sa, CREATE_ALWAYS, 0, nullptr);
        HANDLE err =
            CreateFileA(err_.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        &sa, CREATE_ALWAYS, 0, nullptr);
        // The arguments are UTF-8, as the program reads them (its code page is UTF-8): the
        // command line goes over as UTF-16.
        std::string line = quote(exe);
        for (auto &a : args) line += " " + quote(a);
        std::wstring cmd = wide(line), wexe = wide(exe), dir = cwd.wstring();
        STARTUPINFOW si{};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out;
        si.hStdError = err;
        PROCESS_INFORMATION pi{};
        // A process group of its own, so that a console break can be sent to it alone. Wine
        // now and then refuses a start while earlier processes wind down: tried again.
        for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
            if (attempt > 0) Sleep(200);
            if (CreateProcessW(wexe.c_str(), &cmd[0], nullptr, nullptr, TRUE,
                               CREATE_NEW_PROCESS_GROUP, nullptr, dir.c_str(), &si, &pi)) {
                process_ = pi.hProcess;
                process_id_ = pi.dwProcessId;
                CloseHandle(pi.hThread);
            }
        }
        CloseHandle(out);
        CloseHandle(err);
#else
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(127);
            int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            int err = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            dup2(out, 1);
            dup2(err, 2);
            if (before_exec) before_exec();
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(exe.c_str()));
            for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(127);
        }
#endif
    }

    bool started() const {
#if defined(_WIN32)
        return process_ != nullptr;
#else
        return pid_ > 0;
#endif
    }

    std::string output_so_far() const { return read_file(out_); }

    // Ctrl-C (POSIX: SIGINT; Windows: a console break to the program's group). false if it
    // cannot be sent here.
    bool interrupt() {
#if defined(_WIN32)
        return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_id_) != 0;
#else
        return kill(pid_, SIGINT) == 0;
#endif
    }

    // Ends the program at once, as SIGKILL does: no handler, no clean-up.
    void kill_now() {
#if defined(_WIN32)
        if (process_) TerminateProcess(process_, 137);
#else
        if (pid_ > 0) ::kill(pid_, SIGKILL);
#endif
    }

    result wait() {
        result r;
#if defined(_WIN32)
        if (process_) {
            WaitForSingleObject(process_, 120000);
            DWORD code = 0;
            GetExitCodeProcess(process_, &code);
            CloseHandle(process_);
            process_ = nullptr;
            r.status = int(code);
        }
#else
        int st = 0;
        if (pid_ > 0 && waitpid(pid_, &st, 0) == pid_)
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid_ = -1;
#endif
        r.out = without_cr(read_file(out_));
        r.err = without_cr(read_file(err_));
        return r;
    }

  private:
    fs::path out_, err_;
#if defined(_WIN32)
    HANDLE process_ = nullptr;
    DWORD process_id_ = 0;
#else
    pid_t pid_ = -1;
#endif
};

// The folders of a program's runs in one test: a tree to walk, a working folder to run in
// (where logging.log goes) and a folder for the program's output, all below one fresh folder
// in the system's temporary folder that is removed again when the object goes.
// The programs started keep their undo store in state (their user's state folder points
// there while the object lives), never in the user's own.
struct run_folders {
    explicit run_folders(const std::string &tag)
        : base(fresh_folder(tag, fs::temp_directory_path())),
          tree(base / "tree"),
          work(base / "work"),
          outputs(base / "outputs"),
          state(base / "state") {
        fs::create_directories(tree);
        fs::create_directories(work);
        fs::create_directories(outputs);
        fs::create_directories(state);
        const char *was = getenv(scratch_store::variable);
        state_was = was ? was : "";
        set_env(scratch_store::variable, state.string());
    }
    ~run_folders() {
        set_env(scratch_store::variable, state_was);
        remove_tree(base);
    }
    run_folders(const run_folders &) = delete;
    run_folders &operator=(const run_folders &) = delete;

    fs::path base, tree, work, outputs, state;
    std::string state_was;
};

#if defined(_WIN32)
// Under Wine: the Unix path of a Windows path, or "" where there is none (not Wine).
inline std::string unix_path_of(const fs::path &p) {
    using to_unix = char *(CDECL *)(const WCHAR *);
    auto f = reinterpret_cast<to_unix>(reinterpret_cast<void *>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!f) return "";
    char *u = f(p.wstring().c_str());
    if (!u) return "";
    std::string s = u;
    HeapFree(GetProcessHeap(), 0, u);
    return s;
}

// Whether a directory listing shows p (a FIFO or a link the Windows calls cannot open still
// shows there).
inline bool listed(const fs::path &p) {
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(p.wstring().c_str(), &d);
    if (h == INVALID_HANDLE_VALUE) return false;
    FindClose(h);
    return true;
}

// Under Wine: runs a Linux program (Wine starts such a program natively) with arguments free
// of spaces and quotes, and waits until made exists. The Windows calls cannot make what the
// Linux side has: symbolic links that Wine shows as plain files, FIFOs. With gone, waits until
// made no longer exists instead.
inline bool run_unix(const std::string &program, const std::vector<std::string> &args,
                     const fs::path &made, bool gone = false) {
    std::string line = program;
    for (auto &a : args) line += " " + a;
    std::vector<char> cmd(line.begin(), line.end());
    cmd.push_back('\0');
    std::string exe = build_path(program);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 500; ++i) {
        if (listed(made) != gone) return true;
        Sleep(10);
    }
    return false;
}
#endif

}  // namespace testutil
