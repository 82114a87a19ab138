// interrupts.cpp's half for Windows: console control handlers and process
// handles.
#include "interrupts.h"

#include "interrupts_detail.h"

#include <windows.h>

namespace station {

using namespace interrupts_detail;

namespace {

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

} // namespace

void interrupts_detail::signal_child(long long id, bool kill_them)
{
    // A board's process got the console's Ctrl-C itself: only the second
    // interrupt has anything to do.
    if (kill_them) {
        // NOLINTNEXTLINE(performance-no-int-to-ptr): a handle kept where a handler may read it
        TerminateProcess(reinterpret_cast<HANDLE>(id), 130);
    }
}

void interrupts_detail::exit_interrupted() { ExitProcess(130); }

void handle_interrupts_in_station() { SetConsoleCtrlHandler(on_station_control, TRUE); }

void handle_interrupts_in_board(bool soak) { SetConsoleCtrlHandler(soak ? on_board_control : nullptr, TRUE); }

} // namespace station
