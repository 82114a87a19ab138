#include "label_reuse.h"

#include "stamps.h"

#include <algorithm>

namespace station {
namespace {

const int64_t day_millis = int64_t(24) * 3600 * 1000;
// A database that could not answer is asked again after this long, so that
// a server away holds no board up at each test.
const auto quiet_after_failure = std::chrono::seconds(60);

// The newest first: the last earlier test is the one named.
const char last_tests_of_label[] =
    "SELECT record_id, start_time_millis, station_id, location, channel, slot, outcome FROM boards "
    "WHERE dut_id = $1 AND label = $1 AND start_time_millis >= CAST($2 AS BIGINT) "
    "ORDER BY start_time_millis DESC LIMIT 50";

} // namespace

LabelReuse::LabelReuse(const RunOptions &options) : options_(options) {}

bool LabelReuse::reused_by(const EarlierTest &earlier, const BoardResult &board) const
{
    // The same slot after a FAIL or an ERROR: most likely the board itself,
    // put in again to be tested again.
    bool other_slot = earlier.station_id != options_.context.station_id || earlier.location != board.board.location ||
                      earlier.channel != board.board.channel;
    return other_slot || earlier.outcome == "PASS";
}

LabelReuse::Use *LabelReuse::own_use(const Channel &board, const std::string &label)
{
    for (auto use = uses_.rbegin(); use != uses_.rend(); ++use)
        if (use->label == label && use->test.location == board.location && use->test.channel == board.channel)
            return &*use;
    return nullptr;
}

std::optional<EarlierTest> LabelReuse::begin(const BoardResult &board, const std::string &record_id)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t now = now_millis();
    // A day's loop keeps a day: a board still under test stays known.
    while (!uses_.empty() && uses_.front().test.start_millis < now - day_millis && !uses_.front().test.outcome.empty())
        uses_.pop_front();
    std::optional<EarlierTest> flag;
    for (auto use = uses_.rbegin(); use != uses_.rend() && !flag; ++use)
        if (use->label == board.label && use->test.start_millis >= now - day_millis && reused_by(use->test, board))
            flag = use->test;
    EarlierTest own{record_id, now, options_.context.station_id, board.board.location, board.slot,
                    board.board.channel, ""};
    uses_.push_back({board.label, own, flag});
    return flag;
}

std::optional<EarlierTest> LabelReuse::ask_database(const BoardResult &board)
{
    if (options_.db_url.empty())
        return std::nullopt;
    std::lock_guard<std::mutex> lock(database_mutex_);
    if (std::chrono::steady_clock::now() < quiet_until_)
        return std::nullopt;
    std::string why;
    db::Url url;
    if (!database_ && db::parse_url(options_.db_url, url, why))
        database_ = db::open(url, why);
    std::vector<db::Row> rows;
    if (!database_ ||
        !database_->query(last_tests_of_label, {board.label, std::to_string(now_millis() - day_millis)}, rows, why)) {
        // Not a word on the screen: the records' own output says what is
        // wrong with the database.
        database_.reset();
        quiet_until_ = std::chrono::steady_clock::now() + quiet_after_failure;
        return std::nullopt;
    }
    for (const db::Row &row : rows) {
        // A row the station did not write whole is no evidence either way.
        long long start = 0;
        if (row.size() != 7 || !row[0] || !db::whole_number(row[1], start) || !row[2] || !row[3] || !row[4] ||
            row[4]->empty() || !row[6])
            continue;
        EarlierTest earlier{*row[0], start, *row[2], *row[3], row[5].value_or(""), (*row[4])[0],
                            *row[6], *row[2] != options_.context.station_id};
        if (reused_by(earlier, board))
            return earlier;
    }
    return std::nullopt;
}

void LabelReuse::finished(const BoardResult &result)
{
    if (result.label.empty())
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (Use *use = own_use(result.board, result.label)) {
        use->test.record_id = result.record_id;
        use->test.start_millis = result.start_millis;
        use->test.outcome = outcome_name(result.outcome);
        use->flag = result.label_reused;
    }
}

std::optional<EarlierTest> LabelReuse::flag_of(const Channel &board, const std::string &label)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Use *use = own_use(board, label);
    return use ? use->flag : std::nullopt;
}

} // namespace station
