// Runs a built executable as a shell would: arguments, standard input from a
// string or /dev/null, standard output and standard error captured apart, and
// the exit status. A run that outlives its time limit is killed and fails.
#pragma once

#include <optional>
#include <sys/types.h>
#include <string>
#include <vector>

namespace process {

struct Result {
    int exit_status = -1; // 0 to 255, or -1 when killed by a signal or the limit
    std::string out, err;
    bool timed_out = false;
    int signal = 0;       // the signal that ended the process, if one did
};

// extra_env holds NAME=value settings added to this process's environment.
Result run(const std::string &path, const std::vector<std::string> &args,
           const std::optional<std::string> &input = std::nullopt,
           const std::vector<std::string> &extra_env = {}, int limit_ms = 20000);

// A run that goes on while the test talks to it: its standard input is a pipe
// the test writes to, and its standard output a pipe the test reads as the
// lines arrive; its standard error is the test's own unless said otherwise.
struct Live {
    pid_t pid = -1;
    int input = -1;  // write end of the run's standard input
    int output = -1; // read end of its standard output
    std::string out; // what has been read so far
};

// with_errors: its standard error goes into the pipe of its standard
// output, so that the test reads both in the order written.
Live start(const std::string &path, const std::vector<std::string> &args,
           const std::vector<std::string> &extra_env = {}, bool with_errors = false);

// Its standard error goes to the descriptor given (a file the test reads at
// the end).
Live start_with_errors_to(const std::string &path, const std::vector<std::string> &args,
                          const std::vector<std::string> &extra_env, int standard_error);

// Read the run's output until it holds text or limit_ms pass; all read so far.
std::string read_until(Live &live, const std::string &text, int limit_ms);

// Close the run's input, read its output to the end and wait for it; a run
// still going after limit_ms is killed and counts as timed out.
Result finish(Live &live, int limit_ms = 20000);

// Start path with args, the extra settings added to this process's
// environment (replacing any of the same name), and the three standard
// descriptors given; every other descriptor named in close_in_child is closed
// in the child.
pid_t spawn(const std::string &path, const std::vector<std::string> &args,
            const std::vector<std::string> &extra_env, const int (&standard)[3],
            const std::vector<int> &close_in_child);

// Reads both fds (-1: none) into their sinks until each reaches its end,
// then closes them; past limit_ms kills pid and returns true.
bool read_both(pid_t pid, const int fds[2], std::string *const sinks[2], int limit_ms);

// Wait for the process: its exit status (0 to 255), or -1 with the signal
// that ended it.
int exit_status_of(pid_t pid, int &signal);

// The lines of a run's output, without their line ends.
std::vector<std::string> lines_of(const std::string &text);

// Lines in order, for output whose order does not matter (boards tested at once).
std::vector<std::string> sorted(std::vector<std::string> lines);

// The processor time a running process has used so far (/proc/PID/stat).
double cpu_seconds_of(pid_t pid);

} // namespace process
