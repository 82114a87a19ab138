// A board's test runs in a process of its own: the engine keeps its state in
// process-wide variables and prints its report on its standard streams, so
// one process per board gives each board its own state and its own report.
// This starts such a process with both of its streams on one pipe and reads
// that pipe line by line, on POSIX and on Windows.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace station {

// The path of the running executable, to start it again as a board's test.
std::string own_executable();

// How the process ended.
struct ChildEnd {
    int exit_status = -1; // as a shell sees it: 0 to 255, 128 + a signal; -1: not started
    int signal = 0;       // the signal that ended it, when one did (POSIX)
    bool timed_out = false; // killed by the station at its limit
};

// Runs program with args, its standard output and standard error on one
// pipe, standard input closed, in a process group of its own (POSIX).
// Calls on_line for each line as it arrives (without its line end, a CR
// before the LF kept). Past limit (0: none) the process is killed, with
// what it started. While it runs, the station's first interrupt is
// announced (announce_interrupt) by whichever reader sees it first.
ChildEnd run_child(const std::string &program, const std::vector<std::string> &args,
                   const std::function<void(const std::string &line)> &on_line, std::chrono::milliseconds limit);

#ifndef _WIN32
// As run_child, but the process is a copy of this one made with fork(),
// which runs board_test and exits with what it returns: no program to load
// and start, which is most of the time a fast test takes. Only for a process
// with one thread and no USB session (ft_release_listings): the copy gets
// every lock and every library's state as they stand. board_test installs
// the board's interrupt handlers; the interrupts are blocked until then.
ChildEnd run_forked(const std::function<int()> &board_test,
                    const std::function<void(const std::string &line)> &on_line, std::chrono::milliseconds limit);

// "SIGSEGV" and the like.
std::string signal_name(int signal);
#endif

} // namespace station
