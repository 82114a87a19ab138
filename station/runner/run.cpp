#include "run.h"

#include "board_report.h"
#include "board_test.h"
#include "child_process.h"
#include "fast_test.h"
#include "interrupts.h"
#include "metrics.h"
#include "printable.h"
#include "record.h"
#include "stamps.h"
#include "station_programming.h"

#include "device_link/ft_locations.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <thread>

namespace station {
namespace {

std::vector<std::string> board_arguments(const Channel &board, const RunOptions &options)
{
    std::vector<std::string> args = options.driver_options;
    args.insert(args.end(), {"--board", board.location, "--channel", std::string(1, board.channel)});
    if (options.context.short_test)
        args.emplace_back("--short");
    if (options.context.short_waits)
        args.emplace_back("--delay");
    if (options.context.patterns != diagnose::PatternSet::standard)
        args.insert(args.end(), {"--patterns", diagnose::pattern_set_name(options.context.patterns)});
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

// "11", "0.5": seconds as a person writes them.
std::string seconds_text(double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%g", seconds);
    return text;
}

} // namespace

std::chrono::milliseconds board_deadline(const RunOptions &options)
{
    using seconds = std::chrono::duration<double>;
    if (options.board_timeout_s > 0)
        return std::chrono::duration_cast<std::chrono::milliseconds>(seconds(options.board_timeout_s));
    // The test's own waits: a full run waits 44 s, a short one 17 s, and
    // well under a second with --delay; a fast run waits on its answers at
    // most 0.2 s and its settle times, a soak its duration.
    double schedule;
    if (options.context.fast) {
        double run = 0.2 + 13 * options.fast.settle_us / 1e6;
        schedule = 1 + (options.fast.repeat == 0 ? options.fast.duration_s + run : double(options.fast.repeat) * run);
    } else {
        schedule = options.context.short_waits ? 1 : options.context.short_test ? 17.1 : 44.1;
    }
    // Opening, process starts and a loaded machine: a quarter more and 10 s.
    return std::chrono::duration_cast<std::chrono::milliseconds>(seconds(schedule * 1.25 + 10));
}

Session::Session(const RunOptions &run_options, bool operator_view)
    : options(run_options), screen(operator_view), program(own_executable()), labels_(options),
      outputs_(choose_outputs(options, screen, [this](const std::string &why) { station_fault(why); }))
{
}

std::string Session::slot_name(const Channel &board) const
{
    const FixtureSlot *slot = slot_at(options.fixture, board.location, board.channel, options.selection.channel);
    return slot ? slot->name : "";
}

bool Session::records_lost()
{
    std::lock_guard<std::mutex> lock(results_mutex_);
    return records_lost_;
}

bool Session::start(std::vector<Channel> &channels)
{
    std::string error;
    if (!list_channels(channels, error)) {
        fprintf(stderr, "wiretest-station: %s\n", error.c_str());
        return false;
    }
    bool counted = std::any_of(options.fixture.slots.begin(), options.fixture.slots.end(),
                               [](const FixtureSlot &slot) { return slot.rated_cycles > 0; });
    if (!options.fixture.path.empty() && !cycles_.load(options.fixture.path, counted, error)) {
        fprintf(stderr, "wiretest-station: %s\n", error.c_str());
        return false;
    }
    // Found now, not once every board is tested.
    for (const std::unique_ptr<Output> &output : outputs_)
        if (!output->start(error)) {
            fprintf(stderr, "wiretest-station: %s\n", error.c_str());
            return false;
        }
    handle_interrupts_in_station();
    set_interrupt_announcer([this](int boards) {
        screen.message("finishing " + std::to_string(boards) + (boards == 1 ? " board" : " boards") +
                       "; Ctrl-C again stops at once, without their records");
    });
    return true;
}

void Session::finish(int live, BoardResult result, bool last, bool replaces)
{
    if (result.record_id.empty())
        result.record_id = new_uuid();
    labels_.finished(result);
    std::string record = record_json(result, options.context);
    std::lock_guard<std::mutex> lock(results_mutex_);
    // The second interrupt kills the boards on its way to the exit: what
    // they left is no result.
    if (!begin_record_write())
        return;
    const FinishedBoard board{result, record, live, last, replaces};
    for (const std::unique_ptr<Output> &output : outputs_) {
        std::string why;
        if (output->finished(board, why))
            continue;
        if (output->sink())
            metrics::write_failed(output->sink());
        screen.message(why);
        if (lost_why_.empty())
            screen.message("records are not being written: no more boards are tested");
        records_lost_ = true;
        lost_why_ = why;
    }
    end_record_write();
    // An attempt retested has its record and its line; the board's outcome
    // is its last attempt's.
    if (!last)
        return;
    // A board tested again where it sits, on request: its last result is
    // this one.
    auto same_board = [&](const BoardResult &r) {
        return r.board.location == result.board.location && r.board.channel == result.board.channel &&
               r.board.serial == result.board.serial && r.board.instance == result.board.instance;
    };
    auto earlier = replaces ? std::find_if(results_.rbegin(), results_.rend(), same_board) : results_.rend();
    if (earlier != results_.rend())
        *earlier = std::move(result);
    else
        results_.push_back(std::move(result));
}

bool Session::take_reenumerated(const Channel &chip)
{
    std::lock_guard<std::mutex> lock(reenumerated_mutex_);
    auto it = reenumerated_.find(chip.location);
    if (it == reenumerated_.end() || it->second.serial != chip.serial || it->second.instance != chip.instance)
        return false;
    reenumerated_.erase(it);
    return true;
}

int Session::test(const Channel &board, const std::string &label, bool forked, int first_attempt)
{
    // A board tested again on request counts its attempts, --retest or not.
    const bool counted = options.count_attempts || first_attempt > 1;
    BoardResult result;
    result.board = board;
    result.label = label;
    result.slot = slot_name(board);
    result.reason = untestable_reason(board);
    if (!result.reason.empty()) { // no test to try again
        result.attempt = counted ? first_attempt : 0;
        result.start_millis = result.end_millis = now_millis();
        finish(-1, std::move(result), true, first_attempt > 1);
        return first_attempt;
    }
    count_insertion(result, first_attempt == 1);
    result.last_attempt = first_attempt + options.retest;
    // Its first record's id is known now: a board after it with its label
    // names it.
    const std::string first_record = new_uuid();
    std::future<std::optional<EarlierTest>> asked;
    if (!label.empty() && first_attempt == 1) {
        result.label_reused = labels_.begin(result, first_record);
        if (result.label_reused)
            screen.message(label_reused_note(result));
        // Asked while the board is tested: a slow database holds no board up.
        asked = std::async(std::launch::async, [this, result] { return labels_.ask_database(result); });
    } else if (!label.empty()) {
        result.label_reused = labels_.flag_of(board, label);
    }
    // An ERROR may be the contact or the USB link of the moment: the board
    // is tested again while it sits there. A FAIL is its wiring's verdict.
    for (int attempt = first_attempt;; attempt++) {
        result.attempt = counted ? attempt : 0;
        int live = test_once(result, forked);
        result.record_id = attempt == first_attempt ? first_record : "";
        if (asked.valid()) {
            std::optional<EarlierTest> known = asked.get();
            if (known && (!result.label_reused || known->start_millis > result.label_reused->start_millis)) {
                bool said = bool(result.label_reused);
                result.label_reused = known;
                if (!said)
                    screen.message(label_reused_note(result));
            }
        }
        bool again = result.outcome == Outcome::error && attempt < result.last_attempt && !interrupted() &&
                     !records_lost();
        // A board no longer there is not tested again: whatever is plugged
        // in its place now is another board.
        if (again && board_left(result.reason)) {
            again = false;
            screen.message(board_words(board) + ": not tested again: the board was unplugged");
        }
        finish(live, result, !again, first_attempt > 1);
        if (!again)
            return attempt;
    }
}

void Session::count_insertion(BoardResult &result, bool inserted)
{
    const Channel &board = result.board;
    const FixtureSlot *slot = slot_at(options.fixture, board.location, board.channel, options.selection.channel);
    if (!slot || slot->rated_cycles <= 0)
        return;
    std::string why;
    result.rated_cycles = slot->rated_cycles;
    result.insertions = cycles_.insertions(slot->name);
    if (inserted && !cycles_.insert(*slot, result.insertions, why)) {
        metrics::write_failed("cycles");
        station_fault(why + ": the slot's insertions are not being saved");
    }
    result.cycle_note = cycle_note(slot->name, result.insertions, slot->rated_cycles);
    // Said once, when the board arrives; its line and record carry it too.
    if (inserted && !result.cycle_note.empty())
        screen.message(result.cycle_note);
}

bool Session::outputs_run_threads() const
{
    return std::any_of(outputs_.begin(), outputs_.end(),
                       [](const std::unique_ptr<Output> &output) { return output->runs_threads(); });
}

void Session::station_fault(const std::string &why)
{
    screen.message(why);
    std::lock_guard<std::mutex> lock(events_mutex_);
    station_faulted_ = true;
    for (const std::unique_ptr<Output> &output : outputs_)
        output->station_fault(why);
}

void Session::announce(const SlotEvent &event)
{
    std::lock_guard<std::mutex> lock(events_mutex_);
    for (const std::unique_ptr<Output> &output : outputs_)
        output->slot_event(event);
}

int Session::test_once(BoardResult &result, bool forked)
{
    // Nothing of an attempt before, but which board it is.
    BoardResult fresh;
    fresh.board = result.board;
    fresh.label = result.label;
    fresh.slot = result.slot;
    fresh.attempt = result.attempt;
    fresh.cycle_note = result.cycle_note;
    fresh.insertions = result.insertions;
    fresh.rated_cycles = result.rated_cycles;
    fresh.last_attempt = result.last_attempt;
    fresh.label_reused = result.label_reused;
    result = fresh;
    const Channel &board = result.board;
    int live = screen.add_board(board_words(board));
    BoardReport report;
    result.start_millis = now_millis();
    bool soak = is_soak(options);
    SlotEvent event{SlotEvent::testing, board.location, board.channel, result.slot, board.serial, result.label,
                    result.attempt};
    event.soak = soak;
    announce(event);
    auto on_line = [&](const std::string &line) {
        int rows = report.rows(), runs = report.runs();
        report.add_line(line);
        if (soak && report.runs() != runs)
            screen.progress(live, "run " + std::to_string(report.runs()) + ", " +
                                      std::to_string(report.failed_runs()) + " failed");
        else if (!soak && report.rows() != rows)
            screen.progress(live, "row " + std::to_string(report.rows()));
        else
            return;
        event.row = report.rows();
        event.runs = report.runs();
        event.failed_runs = report.failed_runs();
        announce(event);
    };
    ChildEnd ended;
    std::chrono::milliseconds limit = board_deadline(options);
#ifndef _WIN32
    if (forked)
        ended = run_forked([&] { return board_main(board.location, board.channel, options); }, on_line, limit);
#endif
    if (!forked && !program.empty())
        ended = run_child(program, board_arguments(board, options), on_line, limit);
    result.end_millis = now_millis();
    std::string ending;
#ifndef _WIN32
    if (ended.signal != 0)
        ending = "killed by " + signal_name(ended.signal);
#endif
    report.conclude(result, ended.exit_status, soak, ending);
    if (ended.timed_out) {
        // Whatever it printed, a board that had to be ended has no verdict.
        result.outcome = Outcome::error;
        result.reason = "the test did not finish in " + seconds_text(double(limit.count()) / 1000) + " s";
    }
    identity::program_after_test(options, result);
    if (result.identity && result.identity->written && !result.identity->serial_after.empty()) {
        std::lock_guard<std::mutex> lock(reenumerated_mutex_);
        Channel &found = reenumerated_[result.board.location];
        found.serial = result.identity->serial_after;
        found.instance = result.identity->instance_after;
    }
    return live;
}

int Session::end(std::vector<std::string> notes)
{
    std::lock_guard<std::mutex> lock(results_mutex_);
    int status = records_lost_ ? exit_station : exit_status(results_);
    {
        std::lock_guard<std::mutex> events_lock(events_mutex_);
        if (station_faulted_)
            status = exit_station;
    }
    SessionEnd session{results_, lost_why_, std::move(notes)};
    for (const std::unique_ptr<Output> &output : outputs_) {
        std::string why;
        if (output->end(session, why))
            continue;
        if (output->sink())
            metrics::write_failed(output->sink());
        if (!why.empty())
            screen.message(why);
        status = exit_station;
    }
    return status;
}

int run_station(const RunOptions &options)
{
    Session session(options);
    std::vector<Channel> channels;
    if (!session.start(channels))
        return exit_station;
    std::vector<std::string> passed_over;
    const std::vector<Target> targets = select_targets(channels, options.selection, &passed_over);
    for (const std::string &note : passed_over)
        fprintf(stderr, "wiretest-station: %s\n", note.c_str());

    std::vector<const Target *> boards;
    for (const Target &target : targets) {
        session.announce({SlotEvent::watched, target.board.location, target.board.channel,
                          session.slot_name(target.board)});
        if (target.error.empty()) {
            boards.push_back(&target);
            continue;
        }
        BoardResult result;
        result.board = target.board;
        result.slot = session.slot_name(target.board);
        result.attempt = options.count_attempts ? 1 : 0;
        result.reason = target.error;
        result.start_millis = result.end_millis = now_millis();
        session.finish(-1, std::move(result));
    }

#ifndef _WIN32
    // One board: the station has no thread but this one, and once the
    // listing lets go of the USB stack a copy of it can test the board
    // without the start of a new program. Not where an output runs threads
    // of its own (the page's server, the line's database's forwarder): a
    // copy would take a snapshot of their locks, the allocator's among them.
    if (boards.size() == 1 && !session.outputs_run_threads()) {
        ft_release_listings();
        if (!interrupted())
            session.test(boards[0]->board, "", true);
        return session.end();
    }
#endif
    std::atomic<size_t> next{0};
    auto worker = [&]() {
        // Once interrupted, the boards under test finish and no more start.
        for (size_t i; !interrupted() && (i = next++) < boards.size();)
            session.test(boards[i]->board, "");
    };
    size_t jobs = options.jobs > 0 ? size_t(options.jobs) : boards.size();
    jobs = std::min(jobs, boards.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < jobs; i++)
        threads.emplace_back(worker);
    for (std::thread &t : threads)
        t.join();
    return session.end();
}

int board_main(const std::string &location, char channel, const RunOptions &options)
{
    handle_interrupts_in_board(options.context.fast && options.fast.repeat != 1);
    int status = options.context.fast
                     ? test_board_fast(location.c_str(), channel, options.fast)
                     : test_board(location.c_str(), channel, options.context.short_test, options.context.short_waits);
    if (fflush(stdout) != 0 || ferror(stdout))
        status = -1;
    return status;
}

} // namespace station
