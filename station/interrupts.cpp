#include "interrupts.h"

#include <atomic>
#include <csignal>

#ifdef _WIN32
#include <windows.h>
#else
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
        kill(pid_t(id), kill_them ? SIGKILL : SIGINT);
#endif
    }
}

#ifdef _WIN32

BOOL WINAPI on_station_control(DWORD)
{
    if (interrupts.fetch_add(1) == 0)
        return TRUE; // the boards' processes got the same Ctrl-C
    signal_children(true);
    ExitProcess(130);
}

BOOL WINAPI on_board_control(DWORD)
{
    soak_stop = true;
    return TRUE;
}

#else

extern "C" void on_station_signal(int)
{
    if (interrupts.fetch_add(1) == 0) {
        // A SIGTERM sent to the station alone reaches its boards this way;
        // a Ctrl-C reached them already, and twice is the same.
        signal_children(false);
        return;
    }
    signal_children(true);
    _exit(130);
}

extern "C" void on_board_signal(int) { soak_stop = true; }

#endif

} // namespace

void handle_interrupts_in_station()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(on_station_control, TRUE);
#else
    struct sigaction action = {};
    action.sa_handler = on_station_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

void handle_interrupts_in_board(bool soak)
{
#ifdef _WIN32
    SetConsoleCtrlHandler(soak ? on_board_control : nullptr, TRUE);
#else
    struct sigaction action = {};
    action.sa_handler = soak ? on_board_signal : SIG_IGN;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    // A SIGTERM of its own ends a normal test, as it would the program
    // started anew; a board forked from the station has the station's
    // handlers until here, and both signals blocked (run_forked).
    action.sa_handler = soak ? on_board_signal : SIG_DFL;
    sigaction(SIGTERM, &action, nullptr);
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &interrupts, nullptr);
#endif
}

bool interrupted() { return interrupts.load() > 0; }

bool soak_should_stop() { return soak_stop.load(); }

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
