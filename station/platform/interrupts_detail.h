// What the halves of interrupts.cpp share: interrupts_posix.cpp and
// interrupts_windows.cpp catch the requests with the calls of their OS,
// interrupts.cpp counts them and keeps the boards' processes.
#pragma once

#include <atomic>

namespace station::interrupts_detail {

// Plain atomics: a signal handler may read and write them.
extern std::atomic<int> interrupts;
extern std::atomic<bool> soak_stop;

// Every board's process asked to stop (SIGINT to its group), or killed.
void signal_children(bool kill_them);

// The second interrupt: the boards' processes killed, and the exit now, or
// as soon as the records being written are whole.
void stop_at_once();

// Per OS: one board's process asked to stop or killed; the station's exit
// with the status of an interrupted program.
void signal_child(long long id, bool kill_them);
[[noreturn]] void exit_interrupted();

} // namespace station::interrupts_detail
