// Runs the tool's entry function in this process as a user would meet it:
// arguments, standard input from a string or closed, and standard output and
// standard error captured apart and in the order they were written.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace console {

enum class Stream { out, err };

struct Run {
    int exit_status = 0;  // as a shell sees it: 255 for -1, 254 for -2
    int returned = 0;     // what the entry function returned
    std::string out, err;
    // Consecutive writes to one stream are joined, so a change of stream
    // starts a new element.
    std::vector<std::pair<Stream, std::string>> sequence;
};

// Whether a run keeps what it writes or drops it (a fuzzer's millions of runs
// need no text, and a run may list 65536 lines at a time).
enum class Keep { text, nothing };

// Standard input holds input, or is at end of file when input is nullopt.
Run run(const std::vector<std::string> &args, const std::optional<std::string> &input = std::nullopt,
        Keep keep = Keep::text);

// Capture what fn writes, for the tests of single functions.
Run capture(const std::function<void()> &fn);

} // namespace console
