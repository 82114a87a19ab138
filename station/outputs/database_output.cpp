// --db URL: each board's record in a database as it finishes. sqlite:PATH
// is written at once; a PostgreSQL server gets it through the outbox, sent
// by a thread of its own so that a server that is slow or away never holds
// a board up.
#include "database.h"
#include "outbox.h"
#include "metrics.h"
#include "outputs.h"
#include "printable.h"
#include "sinks.h"
#include "stamps.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace station {
namespace {

// The server's retries: at once, then after a growing pause, never longer
// than a minute.
const auto first_retry = std::chrono::seconds(1);
const auto longest_retry = std::chrono::seconds(60);

// "1 record refused by the line's database: <reason>": the server's
// message without its severity, and without its DETAIL (the whole row).
std::string refused_note(long records, std::string reason)
{
    if (reason.rfind("ERROR:", 0) == 0)
        reason.erase(0, reason.find_first_not_of(' ', 6));
    size_t detail = reason.find("; DETAIL:");
    if (detail != std::string::npos)
        reason.erase(detail);
    return db::counted(records, "record") + " refused by the line's database: " + companions::printable(reason);
}

class DatabaseOutput : public Output {
public:
    const char *sink() const override { return "database"; }
    DatabaseOutput(const RunOptions &options, Screen &screen, StationFault fault)
        : options_(options), screen_(screen), fault_(std::move(fault)), session_{{"session_id", new_uuid()},
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
        // A damaged outbox is said now, not after the first board.
        std::vector<std::string> damaged;
        if (!outbox_->set_aside_damaged(damaged, why))
            return false;
        for (const std::string &line : damaged)
            screen_.message(line);
        damaged_ = long(damaged.size());
        db::Outbox::Counts counts;
        if (!outbox_->counts(counts, why))
            return false;
        metrics::outbox(counts.waiting, counts.oldest_millis, counts.set_aside);
        if (counts.set_aside > 0)
            screen_.message(db::counted(counts.set_aside, "record") + " refused by the line's database before " +
                            (counts.set_aside == 1 ? "is" : "are") +
                            " set aside in the outbox: wiretest-station --forward --retry-refused sends them "
                            "again after a fix");
        // A server that is there but not for this station (a newer schema)
        // is refused before any board; one that is away is tried again later.
        bool incompatible = false;
        std::unique_ptr<db::Database> server = db::connect_server(url_, why, &incompatible);
        if (incompatible) {
            why = "cannot use " + url_.shown + ": " + why;
            return false;
        }
        // The forwarder reads and empties the outbox through a connection of its own.
        forwarder_outbox_ = db::Outbox::open(path, url_, why);
        if (!forwarder_outbox_)
            return false;
        forwarder_ = std::thread([this, connected = std::move(server)]() mutable { forward(std::move(connected)); });
        return true;
    }

    bool runs_threads() const override { return forwarder_.joinable(); }

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
        db::Outbox::Counts counts;
        if (!outbox_->counts(counts, why))
            return false;
        session.summary_notes.push_back("records waiting for the line's database: " + std::to_string(counts.waiting));
        std::lock_guard<std::mutex> lock(mutex_);
        if (refused_ > 0)
            session.summary_notes.push_back(refused_note(refused_, refused_reason_));
        if (damaged_ > 0)
            session.summary_notes.push_back(db::counted(damaged_, "outbox row") + " set aside as damaged");
        // Said in the summary; a station fault in the exit status.
        return refused_ == 0 && damaged_ == 0;
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
    void forward(std::unique_ptr<db::Database> server)
    {
        auto pause = std::chrono::steady_clock::duration(first_retry);
        std::string said; // the last fault said: each is said once
        long waiting_said = 0;
        for (;;) {
            std::string why;
            if (!server)
                server = db::connect_server(url_, why);
            db::Sent sent;
            bool delivered = server && forwarder_outbox_->send(*server, sent, why);
            // On the screen, the page and in the exit status.
            for (const std::string &line : sent.damaged)
                fault_(line);
            if (sent.refused > 0)
                fault_(refused_note(sent.refused, sent.reason));
            db::Outbox::Counts counts;
            std::string unread;
            if (forwarder_outbox_->counts(counts, unread))
                metrics::outbox(counts.waiting, counts.oldest_millis, counts.set_aside);
            if (!delivered)
                metrics::write_failed(sink());
            std::unique_lock<std::mutex> lock(mutex_);
            damaged_ += long(sent.damaged.size());
            if (refused_ == 0)
                refused_reason_ = sent.reason;
            refused_ += sent.refused;
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
            long waiting = unread.empty() ? counts.waiting : 0;
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
    StationFault fault_;
    nlohmann::ordered_json session_;
    db::Url url_;
    std::unique_ptr<db::Database> database_;        // sqlite:
    std::unique_ptr<db::Outbox> outbox_, forwarder_outbox_; // a server's
    std::thread forwarder_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool work_ = false, stopping_ = false;
    long refused_ = 0, damaged_ = 0; // set aside in this session
    std::string refused_reason_;     // the server's reason for the first record refused
};

} // namespace

int forward_outbox(const RunOptions &options)
{
    db::Url url;
    std::string why;
    std::unique_ptr<db::Outbox> outbox;
    std::vector<std::string> damaged;
    long put_back = 0;
    if (!db::parse_url(options.db_url, url, why) ||
        !(outbox = db::Outbox::open(options.outbox.empty() ? db::default_outbox_path() : options.outbox, url, why)) ||
        !outbox->set_aside_damaged(damaged, why) ||
        (options.retry_refused && (put_back = outbox->retry_set_aside(why)) < 0)) {
        fprintf(stderr, "wiretest-station: %s\n", why.c_str());
        return exit_station;
    }
    std::unique_ptr<db::Database> server = db::connect_server(url, why);
    db::Sent sent;
    bool delivered = server && outbox->send(*server, sent, why);
    if (!delivered)
        fprintf(stderr, "wiretest-station: the line's database %s cannot take the records: %s\n", url.shown.c_str(),
                why.c_str());
    damaged.insert(damaged.end(), sent.damaged.begin(), sent.damaged.end());
    for (const std::string &line : damaged)
        fprintf(stderr, "wiretest-station: %s\n", line.c_str());
    db::Outbox::Counts counts;
    if (!outbox->counts(counts, why)) {
        fprintf(stderr, "wiretest-station: %s\n", why.c_str());
        return exit_station;
    }
    std::string line = (options.retry_refused ? "records refused before, tried again: " + std::to_string(put_back) + ", "
                                              : std::string()) +
                       "records sent: " + std::to_string(sent.records) +
                       ", records waiting for the line's database: " + std::to_string(counts.waiting);
    if (counts.for_others > 0)
        line += ", records waiting for other servers: " + std::to_string(counts.for_others);
    if (sent.refused > 0)
        line += ", " + refused_note(sent.refused, sent.reason);
    if (counts.set_aside > sent.refused)
        line += ", records refused before, set aside: " + std::to_string(counts.set_aside - sent.refused) +
                " (--retry-refused sends them again)";
    printf("%s\n", line.c_str());
    return delivered && counts.waiting == 0 && counts.set_aside == 0 && damaged.empty() ? exit_passed : exit_station;
}

std::unique_ptr<Output> database_output(const RunOptions &options, Screen &screen, const StationFault &fault)
{
    return std::make_unique<DatabaseOutput>(options, screen, fault);
}

} // namespace station
