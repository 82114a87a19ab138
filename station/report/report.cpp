// The report's figures: boards and their attempts counted from the records
// in a database. Its text, JSON and CSV are in report_output.cpp.
#include "report.h"

#include "board_result.h"
#include "printable.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <tuple>

namespace station {
namespace {

// A slot is suspect from this many boards tested there on, when chance
// explains its failures with less than this probability.
const long fewest_boards_at_a_slot = 20;
const double suspect_below = 0.01;

double log_choose(long n, long k)
{
    return std::lgamma(double(n) + 1) - std::lgamma(double(k) + 1) - std::lgamma(double(n - k) + 1);
}

// The board a record is an attempt at: its label, else its serial where
// that names one chip; else the record alone, never merged with another.
// The kinds are apart, so that a label never meets a serial of its text.
std::string board_key(const ReportRecord &r)
{
    if (!r.label.empty())
        return "l" + r.label;
    if (!r.serial.empty() && !r.serial_shared)
        return "s" + r.serial;
    return "r" + r.record_id;
}

bool has_identity(const ReportRecord &r) { return board_key(r)[0] != 'r'; }

std::string board_name(const ReportRecord &r)
{
    return !r.label.empty() ? r.label : has_identity(r) ? r.serial : "record " + r.record_id;
}

using Records = std::vector<const ReportRecord *>; // in time order

// Each board's attempts among records, in time order.
std::map<std::string, Records> by_board(const Records &records)
{
    std::map<std::string, Records> boards;
    for (const ReportRecord *r : records)
        boards[board_key(*r)].push_back(r);
    return boards;
}

Counts count(const Records &records)
{
    Counts c;
    for (const ReportRecord *r : records) {
        c.records++;
        c.errors += r->outcome == "ERROR";
        c.fails += r->outcome == "FAIL";
    }
    for (const auto &[key, attempts] : by_board(records)) {
        c.boards++;
        const bool first = attempts[0]->outcome == "PASS";
        c.first_pass += first;
        c.second_pass += first || (attempts.size() > 1 && attempts[1]->outcome == "PASS");
        c.last_pass += attempts.back()->outcome == "PASS";
    }
    return c;
}

template <typename Key>
std::vector<std::pair<Key, Counts>> count_each(const std::map<Key, Records> &groups)
{
    std::vector<std::pair<Key, Counts>> counted;
    counted.reserve(groups.size());
    for (const auto &[key, records] : groups)
        counted.emplace_back(key, count(records));
    return counted;
}

// A slot's figures from its records alone; the others' come after.
Slot slot_of(const Records &records)
{
    Slot slot;
    slot.station_id = records[0]->station_id;
    slot.fixture_id = records[0]->fixture_id;
    slot.location = records[0]->location;
    slot.records = long(records.size());
    for (const auto &[key, attempts] : by_board(records)) {
        slot.boards++;
        slot.fails += attempts[0]->outcome == "FAIL";
        slot.errors += attempts[0]->outcome == "ERROR";
    }
    for (const ReportRecord *r : records) { // in time order: the latest stays
        if (!r->slot.empty())
            slot.name = r->slot;
        if (r->insertions && r->rated_cycles) {
            slot.insertions = r->insertions;
            slot.rated_cycles = r->rated_cycles;
        }
    }
    slot.due = slot.insertions && *slot.rated_cycles > 0 && *slot.insertions >= *slot.rated_cycles;
    return slot;
}

// Each slot against the other slots of its station's fixture.
void judge_slots(std::vector<Slot> &slots)
{
    std::map<std::pair<std::string, std::string>, std::pair<long, long>> fixtures; // boards, fails
    for (const Slot &s : slots) {
        auto &whole = fixtures[{s.station_id, s.fixture_id}];
        whole.first += s.boards;
        whole.second += s.fails;
    }
    for (Slot &s : slots) {
        const auto &whole = fixtures[{s.station_id, s.fixture_id}];
        s.others = whole.first - s.boards;
        s.others_failed = whole.second - s.fails;
        s.p_value = fisher_greater(s.fails, s.boards, whole.second, whole.first);
        // Above the rest's rate, and beyond chance.
        s.flagged = s.boards >= fewest_boards_at_a_slot && s.p_value < suspect_below &&
                    share(s.fails, s.boards) > share(s.others_failed, s.others);
    }
}

// A whole number in a column; false where the row cannot be used.
bool read_number(const db::Value &value, int64_t &number)
{
    long long n = 0;
    if (!db::whole_number(value, n))
        return false;
    number = n;
    return true;
}

bool read_number(const db::Value &value, std::optional<int64_t> &number)
{
    int64_t n = 0;
    if (value && !read_number(value, n))
        return false;
    number = value ? std::optional<int64_t>(n) : std::nullopt;
    return true;
}

// Reads a row's numbers, and says which row it could not use and why.
class RowNumbers {
public:
    RowNumbers(const db::Row &row, std::string table, std::string key)
        : row_(row), table_(std::move(table)), key_(std::move(key))
    {
    }
    template <typename Number> void read(size_t at, const char *column, Number &number)
    {
        if (why_.empty() && !read_number(row_[at], number))
            why_ = "skipped a row of " + table_ + " (" + key_ + "): its " + column + " is " +
                   (row_[at] ? "'" + companions::printable(*row_[at]) + "'" : std::string("NULL")) +
                   ", not a whole number";
    }
    const std::string &why() const { return why_; }

private:
    const db::Row &row_;
    std::string table_, key_, why_;
};

} // namespace

double share(long part, long whole) { return whole == 0 ? 0 : double(part) / double(whole); }

double fisher_greater(long k, long n, long failures, long total)
{
    if (n <= 0 || k <= 0)
        return 1;
    double p = 0, whole = log_choose(total, n);
    for (long x = k; x <= std::min(n, failures); x++)
        if (n - x <= total - failures)
            p += std::exp(log_choose(failures, x) + log_choose(total - failures, n - x) - whole);
    return std::min(p, 1.0);
}

Report make_report(std::vector<ReportRecord> records, const std::vector<ReportPin> &pins)
{
    std::sort(records.begin(), records.end(), [](const ReportRecord &a, const ReportRecord &b) {
        return a.start_millis != b.start_millis ? a.start_millis < b.start_millis : a.record_id < b.record_id;
    });
    Report report;
    Records all;
    std::map<std::string, Records> by_station, by_day, by_lot;
    std::map<std::tuple<std::string, std::string, std::string>, Records> by_slot;
    std::map<std::string, const ReportRecord *> by_id;
    for (const ReportRecord &r : records) {
        all.push_back(&r);
        by_station[r.station_id].push_back(&r);
        by_day[utc_time(r.start_millis, "%Y-%m-%d")].push_back(&r);
        by_lot[r.lot].push_back(&r);
        by_slot[{r.station_id, r.fixture_id, r.location}].push_back(&r);
        by_id[r.record_id] = &r;
        report.records_without_identity += !has_identity(r);
    }
    report.all = count(all);
    report.stations = count_each(by_station);
    report.days = count_each(by_day);
    report.lots = count_each(by_lot);
    for (const auto &[key, here] : by_slot)
        report.slots.push_back(slot_of(here));
    judge_slots(report.slots);

    std::map<std::pair<int, std::string>, std::pair<std::set<std::string>, long>> faults; // boards, records
    std::set<std::string> failed_boards;
    for (const ReportPin &pin : pins) {
        auto found = by_id.find(pin.record_id);
        if (found == by_id.end())
            continue;
        const ReportRecord &r = *found->second;
        if (pin.status == "intermittent")
            report.intermittents.push_back({board_name(r), r.location, r.record_id, pin});
        if (r.outcome == "FAIL") {
            auto &fault = faults[{pin.pin, pin.fault_class}];
            fault.first.insert(board_key(r));
            fault.second++;
        }
    }
    for (const ReportRecord *r : all)
        if (r->outcome == "FAIL")
            failed_boards.insert(board_key(*r));
    report.failed_boards = long(failed_boards.size());
    report.failed_records = report.all.fails;
    for (const auto &[key, fault] : faults)
        report.pareto.push_back({key.first, key.second, long(fault.first.size()), fault.second});
    std::stable_sort(report.pareto.begin(), report.pareto.end(), [](const Fault &a, const Fault &b) {
        return a.boards != b.boards ? a.boards > b.boards : a.records > b.records;
    });
    return report;
}

bool read_report(db::Database &database, const ReportFilter &filter, Report &report, std::string &why)
{
    int found = 0;
    if (!db::read_schema_version(database, found, why))
        return false;
    if (found > db::schema_version) {
        why = "the database's schema is version " + std::to_string(found) + ", newer than this report's (" +
              std::to_string(db::schema_version) + ")";
        return false;
    }
    // Parameters typed, as PostgreSQL cannot tell a NULL's type by itself.
    std::vector<db::Value> params{
        filter.since_millis ? db::Value(std::to_string(*filter.since_millis)) : std::nullopt,
        filter.until_millis ? db::Value(std::to_string(*filter.until_millis)) : std::nullopt,
        filter.station_id.empty() ? std::nullopt : db::Value(filter.station_id),
        filter.lot.empty() ? std::nullopt : db::Value(filter.lot)};
    const std::string where = " WHERE (CAST($1 AS BIGINT) IS NULL OR b.start_time_millis >= CAST($1 AS BIGINT))"
                              " AND (CAST($2 AS BIGINT) IS NULL OR b.start_time_millis < CAST($2 AS BIGINT))"
                              " AND (CAST($3 AS TEXT) IS NULL OR b.station_id = CAST($3 AS TEXT))"
                              " AND (CAST($4 AS TEXT) IS NULL OR b.lot = CAST($4 AS TEXT))";
    // The columns an older schema lacks are NULL in its rows.
    const std::string counted = found >= 2 ? "b.insertions, b.rated_cycles" : "NULL, NULL";
    const std::string shared = found >= 3 ? "b.serial_shared" : "NULL";
    std::vector<db::Row> rows;
    if (!database.query("SELECT b.record_id, b.label, b.serial, b.location, b.station_id, b.outcome, "
                        "b.start_time_millis, b.slot, b.fixture_id, b.lot, " +
                            shared + ", " + counted + " FROM boards b" + where,
                        params, rows, why))
        return false;
    std::vector<std::string> skipped;
    std::vector<ReportRecord> records;
    records.reserve(rows.size());
    for (const db::Row &row : rows) {
        ReportRecord r{row[0].value_or(""), row[1].value_or(""), row[2].value_or(""),
                       row[3].value_or(""), row[4].value_or(""), row[5].value_or("")};
        r.slot = row[7].value_or("");
        r.fixture_id = row[8].value_or("");
        r.lot = row[9].value_or("");
        r.serial_shared = row[10] && *row[10] != "0";
        RowNumbers numbers(row, "boards", "record_id " + companions::printable(r.record_id));
        numbers.read(6, "start_time_millis", r.start_millis);
        numbers.read(11, "insertions", r.insertions);
        numbers.read(12, "rated_cycles", r.rated_cycles);
        if (numbers.why().empty())
            records.push_back(std::move(r));
        else
            skipped.push_back(numbers.why());
    }
    if (!database.query("SELECT p.record_id, p.pin, p.status, p.\"class\", p.failures, b.runs FROM pins p "
                        "JOIN boards b ON b.record_id = p.record_id" + where +
                        " AND p.status <> 'ok' AND p.status <> 'untested'",
                        params, rows, why))
        return false;
    std::vector<ReportPin> pins;
    for (const db::Row &row : rows) {
        ReportPin pin{row[0].value_or(""), 0, row[2].value_or(""), row[3].value_or(""), std::nullopt, std::nullopt};
        int64_t number = 0;
        std::optional<int64_t> failures, runs;
        RowNumbers numbers(row, "pins", "record_id " + companions::printable(pin.record_id) + ", pin " +
                                            companions::printable(row[1].value_or("NULL")));
        numbers.read(1, "pin", number);
        numbers.read(4, "failures", failures);
        numbers.read(5, "runs", runs);
        if (!numbers.why().empty()) {
            skipped.push_back(numbers.why());
            continue;
        }
        pin.pin = int(number);
        pin.failures = failures;
        pin.runs = runs;
        pins.push_back(pin);
    }
    report = make_report(std::move(records), pins);
    report.skipped = std::move(skipped);
    return true;
}

} // namespace station
