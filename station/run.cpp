#include "run.h"

#include "child_process.h"
#include "interrupts.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace station {
namespace {

int64_t now_millis()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// Standard output and error, shared by the boards' threads: a line per board
// as it finishes, and on a terminal one live line per board under test.
class Screen {
public:
    Screen() : live_(isatty(fileno(stderr)) != 0) {}

    int add_board(const std::string &label)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boards_.push_back({label, "starting", true});
        draw();
        return int(boards_.size()) - 1;
    }

    void progress(int board, const std::string &text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boards_[size_t(board)].progress = text;
        draw();
    }

    // The board's line on standard output, the live lines drawn again below it.
    void finished(int board, const std::string &line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (board >= 0)
            boards_[size_t(board)].active = false;
        erase();
        fprintf(stdout, "%s\n", line.c_str());
        fflush(stdout);
        draw();
    }

    void message(const std::string &line)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        erase();
        fprintf(stderr, "wiretest-station: %s\n", line.c_str());
        draw();
    }

private:
    struct Board {
        std::string label;
        std::string progress;
        bool active;
    };

    void erase()
    {
        if (live_ && drawn_ > 0)
            fprintf(stderr, "\x1b[%dA\r\x1b[J", drawn_);
        drawn_ = 0;
    }

    void draw()
    {
        if (!live_)
            return;
        erase();
        for (const Board &b : boards_) {
            if (!b.active)
                continue;
            fprintf(stderr, "testing %s: %s\n", b.label.c_str(), b.progress.c_str());
            drawn_++;
        }
        fflush(stderr);
    }

    std::mutex mutex_;
    std::vector<Board> boards_;
    bool live_;
    int drawn_ = 0;
};

std::vector<std::string> board_arguments(const Channel &board, const RunOptions &options)
{
    std::vector<std::string> args = {"--board", board.location, "--channel", std::string(1, board.channel)};
    if (options.context.short_test)
        args.emplace_back("--short");
    if (options.context.short_waits)
        args.emplace_back("--delay");
    if (options.context.fast) {
        args.emplace_back("--fast");
        args.insert(args.end(), {"--settle-us", std::to_string(options.fast.settle_us)});
        if (options.fast.duration_s > 0)
            args.insert(args.end(), {"--duration", std::to_string(options.fast.duration_s)});
        else if (options.fast.repeat != 1)
            args.insert(args.end(), {"--repeat", std::to_string(options.fast.repeat)});
    }
    return args;
}

bool is_soak(const RunOptions &options) { return options.context.fast && options.fast.repeat != 1; }

} // namespace

int list_station(bool json)
{
    std::vector<Channel> channels;
    std::string error;
    if (!list_channels(channels, error)) {
        fprintf(stderr, "wiretest-station: %s\n", error.c_str());
        return 2;
    }
    if (json) {
        printf("%s\n", listing_json(channels).c_str());
    } else {
        for (const Channel &c : channels)
            printf("%s\n", listing_line(c).c_str());
        if (channels.empty())
            fprintf(stderr, "wiretest-station: no chip with an MPSSE is plugged in\n");
    }
    return 0;
}

int run_station(const RunOptions &options)
{
    std::vector<Channel> channels;
    std::string error;
    if (!list_channels(channels, error)) {
        fprintf(stderr, "wiretest-station: %s\n", error.c_str());
        return 2;
    }
    if (!options.records_dir.empty() && !make_directories(options.records_dir, error)) {
        fprintf(stderr, "wiretest-station: %s\n", error.c_str());
        return 2;
    }
    const std::vector<Target> targets = select_targets(channels, options.selection);
    handle_interrupts_in_station();
    const std::string program = own_executable();

    Screen screen;
    std::mutex results_mutex;
    std::vector<BoardResult> results;
    std::atomic<bool> records_lost{false};

    auto finish_board = [&](int board, BoardResult result) {
        std::string record = record_json(result, options.context);
        std::lock_guard<std::mutex> lock(results_mutex);
        if (!options.records_dir.empty()) {
            std::string path = options.records_dir + "/" + record_file_name(result);
            std::string why;
            if (!write_atomically(path, record + "\n", why)) {
                screen.message(why);
                records_lost = true;
            }
        }
        screen.finished(board, options.json ? record : result_line(result));
        results.push_back(std::move(result));
    };

    std::vector<const Target *> boards;
    for (const Target &target : targets) {
        if (target.error.empty()) {
            boards.push_back(&target);
            continue;
        }
        BoardResult result;
        result.board = target.board;
        result.reason = target.error;
        result.start_millis = result.end_millis = now_millis();
        finish_board(-1, std::move(result));
    }

    std::atomic<size_t> next{0};
    auto worker = [&]() {
        // Once interrupted, the boards under test finish and no more start.
        for (size_t i; !interrupted() && (i = next++) < boards.size();) {
            const Channel &board = boards[i]->board;
            BoardResult result;
            result.board = board;
            int live = screen.add_board(board.location + " " + board.channel + " " +
                                        (board.serial.empty() ? "-" : printable(board.serial)));
            BoardReport report;
            result.start_millis = now_millis();
            bool soak = is_soak(options);
            auto on_line = [&](const std::string &line) {
                int rows = report.rows(), runs = report.runs();
                report.add_line(line);
                if (soak && report.runs() != runs)
                    screen.progress(live, std::to_string(report.runs()) + " runs, " +
                                              std::to_string(report.failed_runs()) + " failed");
                else if (!soak && report.rows() != rows)
                    screen.progress(live, std::to_string(report.rows()) + " rows");
            };
            int status = program.empty() ? -1 : run_child(program, board_arguments(board, options), on_line);
            result.end_millis = now_millis();
            report.conclude(result, status, soak);
            finish_board(live, std::move(result));
        }
    };
    size_t jobs = options.jobs > 0 ? size_t(options.jobs) : boards.size();
    jobs = std::min(jobs, boards.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < jobs; i++)
        threads.emplace_back(worker);
    for (std::thread &t : threads)
        t.join();

    int status = exit_status(results);
    if (!options.junit_file.empty() &&
        !write_atomically(options.junit_file, junit_xml(results, options.context), error)) {
        fprintf(stderr, "wiretest-station: %s\n", error.c_str());
        status = 2;
    }
    if (records_lost)
        status = 2;
    if (!options.json)
        printf("%s\n", summary_line(results).c_str());
    return status;
}

} // namespace station
