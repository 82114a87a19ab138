// Runs a built executable as an operator's terminal would: standard error on
// a pseudo-terminal, standard output on the same one, on a terminal of its
// own, or on a pipe (as with `| tee log`). Every byte each side received is
// kept, escape sequences included.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace terminal {

enum class Output {
    same_terminal,  // standard output and standard error on one terminal
    other_terminal, // standard output on a second terminal
    pipe,           // standard output into a pipe
};

struct Result {
    int exit_status = -1;  // 0 to 255, or -1 when killed by a signal or the limit
    bool timed_out = false;
    std::string terminal;  // what the terminal of standard error received
    std::string out;       // what standard output received, when not that terminal
};

// NO_COLOR is removed from the run's environment; extra_env (NAME=value)
// is added to it. Standard input is /dev/null, or a file holding input.
Result run(const std::string &path, const std::vector<std::string> &args, Output output,
           const std::vector<std::string> &extra_env = {}, int limit_ms = 20000,
           const std::optional<std::string> &input = std::nullopt);

// How many times text occurs in within.
size_t count(const std::string &within, const std::string &text);

} // namespace terminal
