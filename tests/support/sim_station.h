// wiretest-station-sim run as a shell runs it, on chips that the test plugs,
// unplugs and holds by command (--sim-control), its standard output read as
// it comes: each step of a test waits for what the station printed or for a
// note of the simulated driver, never for a time. The limits are for a
// station that never gets there, a failure.
#pragma once

#include "process.h"
#include "temp_dir.h"

#include <optional>
#include <string>
#include <vector>

class SimStation {
public:
    // control: lines applied before the station starts. input: its standard
    // input, written at once and left open until finish().
    SimStation(const std::string &program, const std::vector<std::string> &args, const std::string &control = "",
               const std::optional<std::string> &input = std::nullopt);
    SimStation(const SimStation &) = delete;
    SimStation &operator=(const SimStation &) = delete;
    ~SimStation();

    // Lines for the chips, applied at one moment.
    void command(const std::string &lines);
    // More of its standard input, as a scanner or an operator types it.
    void type(const std::string &text);

    // Whether the station's standard output came to hold text, or n lines.
    bool printed(const std::string &text);
    bool printed_lines(size_t n);
    // Whether its standard error came to hold text.
    bool said(const std::string &text);
    // Whether a process of the station noted this line ("held 1-1").
    bool noted(const std::string &line);

    pid_t pid() const { return live_.pid; }
    const std::string &out() const { return live_.out; }
    std::string path(const std::string &name) const { return dir_ / name; }

    // The station's end: its output, standard error included.
    process::Result finish(int limit_ms = limit);

    static constexpr int limit = 30000;

private:
    TempDir dir_{"wiretest-station-sim"};
    int err_ = -1;
    process::Live live_;
    bool finished_ = false;
};

// Waits until the file holds text; false when SimStation::limit passed first.
bool wait_for_file_to_hold(const std::string &path, const std::string &text);

// The processes the station has running, started by any of its threads: its
// boards' tests, or a copy of it made with fork() for a single board.
std::vector<pid_t> children_of(pid_t station);

// Whether it has one running.
bool testing_a_board(pid_t station);

// Waits until one of its processes runs, and returns it; 0 when none came
// within SimStation::limit.
pid_t wait_for_board(pid_t station);

// Waits until the process has written at least bytes, to its output and
// elsewhere; false when it ended first or SimStation::limit passed.
bool wait_for_written(pid_t pid, long long bytes);
