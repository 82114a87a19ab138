// The station's page as one more output: each board's live state and result
// into the page's state, which the server pushes to every page open.
#include "sinks.h"

#include "page_server.h"
#include "page_state.h"
#include "report.h"
#include "stamps.h"

#include "test_driver/wiring_patterns.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace station {
namespace {

// With --db, today's first-pass yield of this station, read on a thread of
// its own after each board: a slow database never holds a board up.
class TodaysYield {
public:
    TodaysYield(const RunOptions &options, page::PageState &state) : options_(options), state_(state) {}
    ~TodaysYield() { stop(); }

    void start() { thread_ = std::thread([this] { run(); }); }
    void refresh()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wanted_ = true;
        wake_.notify_one();
    }
    void stop()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            wake_.notify_one();
        }
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        std::unique_ptr<db::Database> database;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return wanted_ || stopping_; });
                if (stopping_)
                    return;
                wanted_ = false;
            }
            std::string why;
            db::Url url;
            if (!database && db::parse_url(options_.db_url, url, why))
                database = db::open(url, why, db::Access::read_only);
            Report report;
            ReportFilter today;
            today.station_id = options_.context.station_id;
            int64_t now = now_millis();
            today.since_millis = now - now % (int64_t(24) * 3600 * 1000); // midnight, UTC, as the report's days
            if (!database || !read_report(*database, today, report, why)) {
                database.reset(); // connected again at the next board
                state_.first_pass_today(std::nullopt);
                continue;
            }
            const Counts &c = report.all;
            state_.first_pass_today(c.boards ? std::optional<double>(share(c.first_pass, c.boards)) : std::nullopt);
        }
    }

    const RunOptions &options_;
    page::PageState &state_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool wanted_ = true, stopping_ = false;
    std::thread thread_;
};

class PageOutput : public Output {
public:
    PageOutput(const RunOptions &options, Screen &screen)
        : serve_(*options.serve), screen_(screen),
          state_({options.context.station_id, version, options.context.fixture_id,
                  options.context.short_test ? int(SHORT_TEST_STEPS) : int(FULL_TEST_STEPS)}),
          server_(&state_)
    {
        if (!options.db_url.empty())
            yield_ = std::make_unique<TodaysYield>(options, state_);
    }

    bool runs_threads() const override { return true; } // the page's server, and today's yield

    bool start(std::string &why) override
    {
        if (!server_.serve(serve_.address, serve_.port, why))
            return false;
        screen_.message("the station's page is at " + page::page_url(serve_.address, server_.port()));
        if (yield_)
            yield_->start();
        return true;
    }

    void slot_event(const SlotEvent &event) override { state_.apply(event); }
    void station_fault(const std::string &why) override { state_.station_fault(why); }

    bool finished(const FinishedBoard &board, std::string &) override
    {
        state_.apply(board.result, board.last, board.replaces);
        if (yield_)
            yield_->refresh();
        return true;
    }

    bool end(SessionEnd &, std::string &) override
    {
        if (yield_)
            yield_->stop();
        state_.session_ended();
        server_.stop();
        return true;
    }

private:
    const page::ServeAddress serve_;
    Screen &screen_;
    page::PageState state_;
    page::PageServer server_;
    std::unique_ptr<TodaysYield> yield_;
};

} // namespace

std::unique_ptr<Output> page_output(const RunOptions &options, Screen &screen)
{
    return std::make_unique<PageOutput>(options, screen);
}

} // namespace station
