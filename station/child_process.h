// A board's test runs in a process of its own: the engine keeps its state in
// process-wide variables and prints its report on its standard streams, so
// one process per board gives each board its own state and its own report.
// This starts such a process with both of its streams on one pipe and reads
// that pipe line by line, on POSIX and on Windows.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace station {

// The path of the running executable, to start it again as a board's test.
std::string own_executable();

// Runs program with args, its standard output and standard error on one
// pipe, standard input closed. Calls on_line for each line as it arrives
// (without its line end, a CR before the LF kept) and returns the exit
// status as a shell sees it (0 to 255, or 128 + the signal), or -1 when the
// process could not be started.
int run_child(const std::string &program, const std::vector<std::string> &args,
              const std::function<void(const std::string &line)> &on_line);

#ifndef _WIN32
// As run_child, but the process is a copy of this one made with fork(),
// which runs board_test and exits with what it returns: no program to load
// and start, which is most of the time a fast test takes. Only for a process
// with one thread and no USB session (ft_release_listings): the copy gets
// every lock and every library's state as they stand. board_test installs
// the board's interrupt handlers; SIGINT and SIGTERM are blocked until then.
int run_forked(const std::function<int()> &board_test, const std::function<void(const std::string &line)> &on_line);
#endif

} // namespace station
