// interrupts.cpp's half for POSIX: signal handlers, the self-pipe and
// process groups.
#include "interrupts.h"

#include "interrupts_detail.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace station {

using namespace interrupts_detail;

namespace {

// The self-pipe a reader in poll() wakes on; written once, never read.
int notice[2] = {-1, -1};

const int station_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_station_signal(int)
{
    if (interrupts.fetch_add(1) == 0) {
        // The boards run in groups of their own: only the station was
        // signalled, and it passes the request on.
        signal_children(false);
        if (notice[1] >= 0) {
            ssize_t ignored = write(notice[1], "!", 1);
            (void)ignored;
        }
        return;
    }
    stop_at_once();
}

extern "C" void on_board_signal(int) { soak_stop = true; }

} // namespace

void interrupts_detail::signal_child(long long id, bool kill_them)
{
    // The board's whole group: the board and anything it started.
    kill(-pid_t(id), kill_them ? SIGKILL : SIGINT);
}

void interrupts_detail::exit_interrupted() { _exit(130); }

void handle_interrupts_in_station()
{
    if (notice[0] < 0 && pipe2(notice, O_CLOEXEC | O_NONBLOCK) != 0)
        notice[0] = notice[1] = -1;
    struct sigaction action = {};
    action.sa_handler = on_station_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : station_signals)
        sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void handle_interrupts_in_board(bool soak)
{
    // Restarted calls: a row's write interrupted by the request to stop must
    // still write its row.
    struct sigaction action = {};
    action.sa_handler = soak ? on_board_signal : SIG_IGN;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : station_signals)
        sigaction(s, &action, nullptr);
    // A board whose station went away ends at its next line, as a program does.
    signal(SIGPIPE, SIG_DFL);
    sigset_t blocked = interrupt_signals();
    sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
}

int interrupt_notice_fd() { return notice[0]; }

sigset_t interrupt_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : station_signals)
        sigaddset(&set, s);
    return set;
}

} // namespace station
