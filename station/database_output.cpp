// --db URL: each board's record in a database as it finishes. sqlite:PATH
// is written at once; a PostgreSQL server gets it through the outbox, sent
// by a thread of its own so that a server that is slow or away never holds
// a board up.
#include "db/database.h"
#include "db/outbox.h"
#include "outputs.h"
#include "printable.h"
#include "run.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace station {
namespace {

int64_t now_millis()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// The server's retries: at once, then after a growing pause, never longer
// than a minute.
const auto first_retry = std::chrono::seconds(1);
const auto longest_retry = std::chrono::seconds(60);

class DatabaseOutput : public Output {
public:
    DatabaseOutput(const RunOptions &options, Screen &screen)
        : options_(options), screen_(screen), session_{{"session_id", db::new_uuid()},
                                                       {"station_id", options.context.station_id},
                                                       {"started_millis", now_millis()},
                                                       {"ended_millis", nullptr},
                                                       {"version", std::string(version)},
                                                       {"options", options.command_line}}
    {
    }

    ~DatabaseOutput() override { stop_forwarding(); }
    DatabaseOutput(const DatabaseOutput &) = delete;
    DatabaseOutput &operator=(const DatabaseOutput &) = delete;

    bool start(std::string &why) override
    {
        if (!db::parse_url(options_.db_url, url_, why))
            return false;
        if (url_.kind == db::Url::sqlite) {
            database_ = db::open_sqlite(url_.path, why);
            if (!database_ || !db::prepare_schema(*database_, why)) {
                why = "cannot use " + url_.shown + ": " + why;
                return false;
            }
            return true;
        }
        std::string path = options_.outbox.empty() ? db::default_outbox_path() : options_.outbox;
        outbox_ = db::Outbox::open(path, url_, why);
        if (!outbox_)
            return false;
        // The forwarder reads and empties the outbox through a connection of its own.
        forwarder_outbox_ = db::Outbox::open(path, url_, why);
        if (!forwarder_outbox_)
            return false;
        forwarder_ = std::thread([this] { forward(); });
        return true;
    }

    bool finished(const FinishedBoard &board, std::string &why) override
    {
        const std::string session = session_.dump();
        bool kept = database_ ? db::store_record(*database_, session, board.record, why)
                              : outbox_->add_record(board.result.record_id, session, board.record, why);
        if (!kept) {
            why = "cannot write the record of " + companions::printable(board.result.dut_id()) + " into " +
                  (database_ ? url_.shown : "the outbox") + ": " + why;
            return false;
        }
        if (!database_)
            wake_forwarder();
        return true;
    }

    bool end(SessionEnd &session, std::string &why) override
    {
        session_["ended_millis"] = now_millis();
        if (database_) {
            if (db::store_session(*database_, session_.dump(), why))
                return true;
            why = "cannot write the session's end into " + url_.shown + ": " + why;
            return false;
        }
        if (!outbox_ || !outbox_->add_session(session_.dump(), why))
            return false;
        wake_forwarder();
        stop_forwarding(); // once what waits was tried
        long waiting = outbox_->waiting(why);
        if (waiting < 0)
            return false;
        session.summary_notes.push_back("records waiting for the line's database: " + std::to_string(waiting));
        return true;
    }

private:
    void wake_forwarder()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_ = true;
        wake_.notify_one();
    }

    void stop_forwarding()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            wake_.notify_one();
        }
        if (forwarder_.joinable())
            forwarder_.join();
    }

    // Sends whatever waits whenever a record arrives, and retries with a
    // growing pause while the server cannot be reached; one last try on
    // the way out.
    void forward()
    {
        std::unique_ptr<db::Database> server;
        auto pause = std::chrono::steady_clock::duration(first_retry);
        std::string said; // the last fault said: each is said once
        long waiting_said = 0;
        for (;;) {
            std::string why;
            if (!server)
                server = db::connect_server(url_, why);
            long sent = 0;
            bool delivered = server && forwarder_outbox_->send(*server, sent, why);
            std::unique_lock<std::mutex> lock(mutex_);
            bool more = work_; // arrived during the send
            work_ = false;
            if (delivered) {
                said.clear();
                waiting_said = 0;
                pause = first_retry;
                if (stopping_ && !more)
                    return;
                wake_.wait(lock, [this] { return work_ || stopping_; });
                continue;
            }
            server.reset();
            lock.unlock();
            if (why != said)
                screen_.message("the line's database " + url_.shown + " cannot take the records: " + why);
            said = why;
            std::string ignored;
            long waiting = forwarder_outbox_->waiting(ignored);
            if (waiting > 0 && waiting != waiting_said)
                screen_.message("records waiting for the line's database: " + std::to_string(waiting));
            waiting_said = waiting;
            lock.lock();
            if (stopping_)
                return;
            wake_.wait_for(lock, pause, [this] { return stopping_; });
            pause = std::min<std::chrono::steady_clock::duration>(pause * 2, longest_retry);
        }
    }

    const RunOptions &options_;
    Screen &screen_;
    nlohmann::ordered_json session_;
    db::Url url_;
    std::unique_ptr<db::Database> database_;        // sqlite:
    std::unique_ptr<db::Outbox> outbox_, forwarder_outbox_; // a server's
    std::thread forwarder_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool work_ = false, stopping_ = false;
};

} // namespace

int forward_outbox(const RunOptions &options)
{
    db::Url url;
    std::string why;
    std::unique_ptr<db::Outbox> outbox;
    if (!db::parse_url(options.db_url, url, why) ||
        !(outbox = db::Outbox::open(options.outbox.empty() ? db::default_outbox_path() : options.outbox, url, why))) {
        fprintf(stderr, "wiretest-station: %s\n", why.c_str());
        return exit_station;
    }
    std::unique_ptr<db::Database> server = db::connect_server(url, why);
    long sent = 0;
    bool delivered = server && outbox->send(*server, sent, why);
    if (!delivered)
        fprintf(stderr, "wiretest-station: the line's database %s cannot take the records: %s\n", url.shown.c_str(),
                why.c_str());
    long waiting = outbox->waiting(why);
    printf("records sent: %ld, records waiting for the line's database: %ld\n", sent, waiting);
    return delivered && waiting == 0 ? exit_passed : exit_station;
}

std::unique_ptr<Output> database_output(const RunOptions &options, Screen &screen)
{
    return std::make_unique<DatabaseOutput>(options, screen);
}

} // namespace station
