// The programming step of a station run.
#include "station_programming.h"

#include "board_identity.h"
#include "run_options.h"
#include "outbox.h"

#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

namespace identity {
namespace {

// The station's serials, opened at the first board: the --db file itself,
// or with a server the outbox's file, which keeps the station's blocks.
struct StationSerials {
    std::mutex lock;
    std::unique_ptr<station::db::Database> journal;
    std::unique_ptr<SerialAllocator> allocator;
    std::string why; // why they could not be opened
};

StationSerials &serials_for(const station::RunOptions &options)
{
    static StationSerials serials;
    if (serials.allocator || !serials.why.empty())
        return serials;
    station::db::Url url;
    if (!station::db::parse_url(options.db_url, url, serials.why))
        return serials;
    std::function<std::unique_ptr<station::db::Database>(std::string &)> server;
    std::string path = url.path;
    if (url.kind == station::db::Url::postgresql) {
        path = options.outbox.empty() ? station::db::default_outbox_path() : options.outbox;
        server = [url](std::string &why) { return station::db::open_postgresql(url, why); };
    }
    serials.journal = station::db::open_sqlite(path, serials.why);
    if (serials.journal)
        serials.allocator = std::make_unique<SerialAllocator>(*serials.journal, server, options.context.station_id);
    return serials;
}

} // namespace

bool load_station_identity(const std::string &file, const SerialContext &context, StationIdentity &identity,
                           std::string &why)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    if (!in || !(text << in.rdbuf())) {
        why = file + ": cannot be read";
        return false;
    }
    return parse_product_profile(text.str(), file, context, identity.profile, why);
}

void program_after_test(const station::RunOptions &options, station::BoardResult &result)
{
    if (!options.identity)
        return;
    const bool passed = result.outcome == station::Outcome::pass;
    if (!passed && !(options.identity->profile.always && result.outcome == station::Outcome::fail))
        return;
    StationSerials &serials = serials_for(options);
    std::lock_guard<std::mutex> hold(serials.lock);
    Outcome out;
    if (!serials.allocator) {
        out.failure.step = "serial";
        out.failure.detail = "the station's serials could not be opened: " + serials.why;
        out.advice = "check --db, then test the board again";
    } else {
        Request request;
        request.location = result.board.location;
        request.channel = result.board.channel;
        request.chip = result.board.chip;
        request.reprogram = options.identity->reprogram;
        request.comeback_ms = options.identity->comeback_ms;
        const SerialContext context{options.context.lot, options.context.station_id, std::time(nullptr)};
        out = program_board(request, options.identity->profile, context, *serials.allocator);
    }
    if (out.failure.failed()) {
        result.outcome = station::Outcome::error;
        result.reason = "EEPROM " + out.failure.describe() + ": " + out.advice;
    } else if (!out.serial_after.empty()) {
        result.board.serial = out.serial_after;
    }
    result.identity = out;
}

} // namespace identity
