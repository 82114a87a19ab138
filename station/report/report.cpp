// The report's figures: the database's yield statements, those its views
// are made of, run over the records asked for and gathered into a Report;
// what SQL does not judge (a slot against chance) is judged here. Its
// text, JSON and CSV are in report_output.cpp.
#include "report.h"

#include "board_result.h"
#include "yield_queries.h"
#include "printable.h"

#include <algorithm>
#include <cmath>
#include <map>
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

// A query's rows, read by column name. A figure the database gave that is
// no whole number fails the report rather than be counted wrong.
class Reading {
public:
    Reading(db::Database &database, std::vector<db::Value> params, std::string &why)
        : database_(database), params_(std::move(params)), why_(why)
    {
    }
    // The query's rows, each handed to each in turn; false with why.
    template <typename Each> bool rows(const db::Query &query, Each each)
    {
        std::vector<db::Row> rows;
        if (!database_.query(query.sql, params_, rows, why_))
            return false;
        for (const db::Row &row : rows) {
            query_ = &query;
            row_ = &row;
            each();
            if (!why_.empty())
                return false;
        }
        return true;
    }
    std::string text(const std::string &column) const { return value(column).value_or(""); }
    const db::Value &value(const std::string &column) const { return query_->at(*row_, column); }
    // NULL, a SUM over no rows, is none.
    long number(const std::string &column) { return long(optional_number(column).value_or(0)); }
    std::optional<int64_t> optional_number(const std::string &column)
    {
        long long n = 0;
        const db::Value &v = value(column);
        if (!v)
            return std::nullopt;
        if (!db::whole_number(v, n) && why_.empty())
            why_ = "the database gave '" + companions::printable(*v) + "' as " + column + ", not a whole number";
        return n;
    }
    Counts counts()
    {
        return {number("boards"), number("records"), number("first_pass"), number("second_pass"),
                number("last_pass"), number("fails"), number("errors")};
    }
    // "its pin is 'x', not a whole number": the first number of the row
    // that the statement found not whole.
    std::string not_whole() const
    {
        const std::string suffix = "_whole";
        for (const std::string &c : query_->columns)
            if (c.size() > suffix.size() && c.compare(c.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                text(c) == "0") {
                const std::string field = c.substr(0, c.size() - suffix.size());
                return "its " + field + " is '" + companions::printable(text(field)) + "', not a whole number";
            }
        return "a number that is not whole";
    }

private:
    db::Database &database_;
    std::vector<db::Value> params_;
    std::string &why_;
    const db::Query *query_ = nullptr;
    const db::Row *row_ = nullptr;
};

// Whether the database has the table: a file or a server from before it
// holds none, and is read all the same.
bool has_table(db::Database &database, const std::string &table, bool &found, std::string &why)
{
    std::vector<db::Row> rows;
    std::string not_sqlite;
    if (!database.query("SELECT name FROM sqlite_master WHERE type = 'table' AND name = $1", {table}, rows,
                        not_sqlite) &&
        !database.query("SELECT table_name FROM information_schema.tables WHERE table_name = $1 AND "
                        "table_schema = current_schema()",
                        {table}, rows, why))
        return false;
    found = !rows.empty();
    return true;
}

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
    const std::string condition = "(CAST($1 AS BIGINT) IS NULL OR b.start_time_millis >= CAST($1 AS BIGINT))"
                                  " AND (CAST($2 AS BIGINT) IS NULL OR b.start_time_millis < CAST($2 AS BIGINT))"
                                  " AND (CAST($3 AS TEXT) IS NULL OR b.station_id = CAST($3 AS TEXT))"
                                  " AND (CAST($4 AS TEXT) IS NULL OR b.lot = CAST($4 AS TEXT))";
    Reading read(database,
                 {filter.since_millis ? db::Value(std::to_string(*filter.since_millis)) : std::nullopt,
                  filter.until_millis ? db::Value(std::to_string(*filter.until_millis)) : std::nullopt,
                  filter.station_id.empty() ? std::nullopt : db::Value(filter.station_id),
                  filter.lot.empty() ? std::nullopt : db::Value(filter.lot)},
                 why);
    const std::string counted = db::counted_boards(found, condition);
    Report r;
    auto skipped = [&](const std::string &table, const std::string &key) {
        r.skipped.push_back("skipped a row of " + table + " (" + key + "): " + read.not_whole());
    };
    bool ok = read.rows(db::skipped_boards(found, condition),
                        [&] { skipped("boards", "record_id " + companions::printable(read.text("record_id"))); }) &&
              read.rows(db::skipped_pins(counted),
                        [&] {
                            skipped("pins", "record_id " + companions::printable(read.text("record_id")) +
                                                ", pin " + companions::printable(read.value("pin").value_or("NULL")));
                        }) &&
              read.rows(db::yield_query(db::YieldGroup::line, counted), [&] { r.all = read.counts(); }) &&
              read.rows(db::identity_query(counted), [&] {
                  r.records_without_identity = read.number("records_without_identity");
                  r.failed_boards = read.number("failed_boards");
              });
    const struct {
        db::YieldGroup group;
        const char *column;
        std::vector<std::pair<std::string, Counts>> *into;
    } groups[] = {{db::YieldGroup::station, "station_id", &r.stations},
                  {db::YieldGroup::day, "day_start_millis", &r.days},
                  {db::YieldGroup::lot, "lot", &r.lots}};
    for (const auto &g : groups) {
        std::map<std::string, Counts> named; // in the order of their bytes, whatever the database's collation
        ok = ok && read.rows(db::yield_query(g.group, counted), [&] {
                 named[g.group == db::YieldGroup::day ? utc_time(read.number(g.column), "%Y-%m-%d")
                                                      : read.text(g.column)] = read.counts();
             });
        g.into->assign(named.begin(), named.end());
    }
    ok = ok && read.rows(db::slot_query(counted), [&] {
             Slot s;
             s.station_id = read.text("station_id");
             s.fixture_id = read.text("fixture_id");
             s.location = read.text("location");
             s.name = read.text("slot");
             s.insertions = read.optional_number("insertions");
             s.rated_cycles = read.optional_number("rated_cycles");
             s.due = s.insertions && s.rated_cycles && *s.rated_cycles > 0 && *s.insertions >= *s.rated_cycles;
             s.boards = read.number("boards");
             s.records = read.number("records");
             s.fails = read.number("fails");
             s.errors = read.number("errors");
             r.slots.push_back(s);
         });
    ok = ok && read.rows(db::pareto_query(counted), [&] {
             r.pareto.push_back({int(read.number("pin")), read.text("class"), read.number("boards"),
                                 read.number("records")});
         });
    ok = ok && read.rows(db::intermittent_query(counted), [&] {
             // The board's key: a label or a serial after its kind's letter, else the record alone.
             const std::string key = read.text("board"), record_id = read.text("record_id");
             r.intermittents.push_back({key.rfind('r', 0) == 0 ? "record " + record_id : key.substr(1),
                                        read.text("location"), record_id,
                                        ReportPin{record_id, int(read.number("pin")), "intermittent",
                                                  read.text("class"), read.optional_number("failures"),
                                                  read.optional_number("runs")}});
         });
    bool identities = false;
    ok = ok && has_table(database, "board_identities", identities, why);
    if (identities) {
        Programming &p = r.programming;
        ok = ok && read.rows(db::programming_query(counted), [&] {
                 p = {read.number("identity_records"), read.number("programmed"), read.number("kept"),
                      read.number("spent"), {}};
             });
        ok = ok && read.rows(db::programming_failures_query(counted),
                             [&] { p.failures.emplace_back(read.text("step"), read.number("records")); });
        std::sort(p.failures.begin(), p.failures.end(), [](const auto &a, const auto &b) {
            return std::tie(b.second, a.first) < std::tie(a.second, b.first);
        });
    }
    if (!ok)
        return false;
    std::sort(r.slots.begin(), r.slots.end(), [](const Slot &a, const Slot &b) {
        return std::tie(a.station_id, a.fixture_id, a.location) < std::tie(b.station_id, b.fixture_id, b.location);
    });
    judge_slots(r.slots);
    std::sort(r.pareto.begin(), r.pareto.end(), [](const Fault &a, const Fault &b) {
        return std::tie(b.boards, b.records, a.pin, a.fault_class) < std::tie(a.boards, a.records, b.pin, b.fault_class);
    });
    r.failed_records = r.all.fails;
    report = std::move(r);
    return true;
}

} // namespace station
