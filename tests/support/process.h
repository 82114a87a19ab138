// Runs a built executable as a shell would: arguments, standard input from a
// string or /dev/null, standard output and standard error captured apart, and
// the exit status. A run that outlives its time limit is killed and fails.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace process {

struct Result {
    int exit_status = -1; // 0 to 255, or -1 when killed by a signal or the limit
    std::string out, err;
    bool timed_out = false;
};

// extra_env holds NAME=value settings added to this process's environment.
Result run(const std::string &path, const std::vector<std::string> &args,
           const std::optional<std::string> &input = std::nullopt,
           const std::vector<std::string> &extra_env = {}, int limit_ms = 20000);

} // namespace process
