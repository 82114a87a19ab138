#include "sim_station.h"

#include <algorithm>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

SimStation::SimStation(const std::string &program, const std::vector<std::string> &args, const std::string &control,
                       const std::optional<std::string> &input)
{
    std::ofstream(path("control")) << control;
    err_ = open(path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::vector<std::string> all = {"--sim-control", path("control")};
    all.insert(all.end(), args.begin(), args.end());
    live_ = process::start_with_errors_to(program, all, {}, err_);
    if (input) {
        ssize_t written = write(live_.input, input->data(), input->size());
        (void)written; // a pipe's buffer holds a test's few labels
    }
}

SimStation::~SimStation()
{
    if (!finished_)
        finish();
}

void SimStation::command(const std::string &lines)
{
    std::ofstream(path("control"), std::ios::app) << lines << std::flush;
}

void SimStation::type(const std::string &text)
{
    ssize_t written = write(live_.input, text.data(), text.size());
    (void)written; // a pipe's buffer holds a test's few lines
}

bool SimStation::printed(const std::string &text)
{
    return process::read_until(live_, text, limit).find(text) != std::string::npos;
}

bool SimStation::printed_lines(size_t n)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    auto lines = [&] { return size_t(std::count(live_.out.begin(), live_.out.end(), '\n')); };
    while (lines() < n && std::chrono::steady_clock::now() < deadline)
        process::read_until(live_, "\x01", 100); // what came in 100 ms: no output holds it
    return lines() >= n;
}

bool SimStation::said(const std::string &text) { return wait_for_file_to_hold(path("err"), text); }

bool SimStation::noted(const std::string &line) { return wait_for_file_to_hold(path("control.log"), line + "\n"); }

process::Result SimStation::finish(int limit_ms)
{
    finished_ = true;
    process::Result r = process::finish(live_, limit_ms);
    close(err_);
    r.err = read_file(path("err"));
    return r;
}

bool wait_for_file_to_hold(const std::string &path, const std::string &text)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SimStation::limit);
    do {
        if (read_file(path).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a look at the file, not a guess
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

std::vector<pid_t> children_of(pid_t station)
{
    namespace fs = std::filesystem;
    std::vector<pid_t> pids;
    std::error_code ec;
    for (const fs::directory_entry &task : fs::directory_iterator("/proc/" + std::to_string(station) + "/task", ec)) {
        std::ifstream children(task.path() / "children");
        for (pid_t child = 0; children >> child;)
            pids.push_back(child);
    }
    return pids;
}

bool testing_a_board(pid_t station) { return !children_of(station).empty(); }

pid_t wait_for_board(pid_t station)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SimStation::limit);
    for (std::vector<pid_t> pids; std::chrono::steady_clock::now() < deadline;) {
        if (!(pids = children_of(station)).empty())
            return pids.front();
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a look at the processes, not a guess
    }
    return 0;
}

bool wait_for_written(pid_t pid, long long bytes)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(SimStation::limit);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream io("/proc/" + std::to_string(pid) + "/io");
        long long written = -1;
        for (std::string key; io >> key;)
            if (key == "wchar:" && io >> written)
                break;
        if (written < 0)
            return false; // it has ended
        if (written >= bytes)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a look at its count, not a guess
    }
    return false;
}
