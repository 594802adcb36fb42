// The console on POSIX systems: a terminal on standard output, SIGINT as the interrupt.
#include "platform/console.h"

#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
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
