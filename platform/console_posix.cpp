// The console on POSIX systems: a terminal on standard output, SIGINT as the interrupt.
#include "platform/console.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t interrupt_pending = 0;

void on_interrupt(int) { interrupt_pending = 1; }

}  // namespace

void console_prepare() { signal(SIGXFSZ, SIG_IGN); }

void console_restore() {}

int console_is_terminal() { return isatty(STDOUT_FILENO) != 0 ? 1 : 0; }

int console_columns() {
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

void console_catch_interrupts() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
}

int console_take_interrupt() {
    if (!interrupt_pending) return 0;
    interrupt_pending = 0;
    return 1;
}

int console_start_detached(const char *option) {
    // Everything the new process needs is made ready before the fork: between fork and exec a
    // process of several threads may only make calls that take no lock.
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) return 0;
    exe[length] = '\0';
    if (access(exe, X_OK) != 0) return 0;  // replaced or removed since it started
    char *const args[] = {exe, const_cast<char *>(option), nullptr};
    const long most_files = sysconf(_SC_OPEN_MAX) > 0 ? sysconf(_SC_OPEN_MAX) : 1024;
    // Forked twice, so that the process started is nobody's child to wait for.
    const pid_t between = fork();
    if (between < 0) return 0;
    if (between == 0) {
        if (fork() != 0) _exit(0);
        setsid();
        const int nothing = open("/dev/null", O_RDWR);
        if (nothing < 0) _exit(127);
        for (int fd = 0; fd < 3; ++fd) dup2(nothing, fd);
        for (long fd = 3; fd < most_files && fd < 65536; ++fd) close(int(fd));
        execv(exe, args);
        _exit(127);
    }
    int status = 0;
    while (waitpid(between, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}
