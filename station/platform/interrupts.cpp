#include "interrupts.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace station {
namespace {

// Plain atomics of fixed size: a signal handler may read and write them.
const int max_children = 1024;
std::atomic<long long> children[max_children];
std::atomic<int> interrupts{0};
std::atomic<bool> soak_stop{false};
std::atomic<bool> announced{false};
// Records being written, and whether the second interrupt waits for them to
// exit: a board that had its result keeps its line and its row.
std::atomic<int> records_writing{0};
std::atomic<bool> exit_when_written{false};
std::function<void(int)> announcer; // set before any board's process starts

void signal_children(bool kill_them)
{
    for (auto &child : children) {
        long long id = child.load();
        if (id == 0)
            continue;
#ifdef _WIN32
        if (kill_them) {
            // NOLINTNEXTLINE(performance-no-int-to-ptr): a handle kept where a handler may read it
            TerminateProcess(reinterpret_cast<HANDLE>(id), 130);
        }
#else
        // The board's whole group: the board and anything it started.
        kill(-pid_t(id), kill_them ? SIGKILL : SIGINT);
#endif
    }
}

[[noreturn]] void exit_interrupted()
{
#ifdef _WIN32
    ExitProcess(130);
#else
    _exit(130);
#endif
}

// The second interrupt: the boards' processes killed, and the exit now, or
// as soon as the records being written are whole.
void stop_at_once()
{
    signal_children(true);
    exit_when_written = true;
    if (records_writing.load() == 0)
        exit_interrupted();
}

int children_running()
{
    int n = 0;
    for (auto &child : children)
        n += child.load() != 0;
    return n;
}

#ifdef _WIN32

BOOL WINAPI on_station_control(DWORD)
{
    // Windows runs this on a thread of its own: it may say so itself. The
    // boards' processes got the same Ctrl-C.
    if (interrupts.fetch_add(1) == 0) {
        announce_interrupt();
        return TRUE;
    }
    stop_at_once();
    return TRUE;
}

BOOL WINAPI on_board_control(DWORD)
{
    soak_stop = true;
    return TRUE;
}

#else

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

#endif

} // namespace

void handle_interrupts_in_station()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_station_control, TRUE);
#else
    if (notice[0] < 0 && pipe2(notice, O_CLOEXEC | O_NONBLOCK) != 0)
        notice[0] = notice[1] = -1;
    struct sigaction action = {};
    action.sa_handler = on_station_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : station_signals)
        sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
#endif
}

void handle_interrupts_in_board(bool soak)
{
#ifdef _WIN32
    SetConsoleCtrlHandler(soak ? on_board_control : nullptr, TRUE);
#else
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
    sigset_t interrupts = interrupt_signals();
    sigprocmask(SIG_UNBLOCK, &interrupts, nullptr);
#endif
}

bool interrupted() { return interrupts.load() > 0; }

bool interrupted_twice() { return interrupts.load() > 1; }

bool soak_should_stop() { return soak_stop.load(); }

bool begin_record_write()
{
    records_writing.fetch_add(1);
    if (interrupts.load() <= 1)
        return true;
    end_record_write();
    return false;
}

void end_record_write()
{
    if (records_writing.fetch_sub(1) == 1 && exit_when_written.load())
        exit_interrupted();
}

void set_interrupt_announcer(std::function<void(int boards)> announce) { announcer = std::move(announce); }

void announce_interrupt()
{
    int boards = children_running();
    if (boards > 0 && announcer && !announced.exchange(true))
        announcer(boards);
}

#ifndef _WIN32
int interrupt_notice_fd() { return notice[0]; }

sigset_t interrupt_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : station_signals)
        sigaddset(&set, s);
    return set;
}
#endif

void register_child(long long id)
{
    for (auto &child : children) {
        long long expected = 0;
        if (child.compare_exchange_strong(expected, id))
            return;
    }
}

void unregister_child(long long id)
{
    for (auto &child : children) {
        long long expected = id;
        if (child.compare_exchange_strong(expected, 0))
            return;
    }
}

} // namespace station
