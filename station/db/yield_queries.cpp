// The yield's statements: the views are these statements over every board,
// the report's are the same over the boards it was asked for.
#include "yield_queries.h"

#include "columns.h"

#include <algorithm>

namespace station::db {
namespace {

const char board_key[] = "CASE WHEN COALESCE(label, '') <> '' THEN 'l' || label "
                         "WHEN COALESCE(serial, '') <> '' AND COALESCE(serial_shared, 0) = 0 THEN 's' || serial "
                         "ELSE 'r' || record_id END";

// The numbers of boards and of pins that the yield reads.
const char *const board_numbers[] = {"start_time_millis", "insertions", "rated_cycles", "runs"};
const char *const pin_numbers[] = {"pin", "failures"};

// A whole number or NULL: SQLite keeps whatever a row was given, and a
// number that is not whole reads back as other text once cast.
std::string whole(const std::string &column)
{
    return "(" + column + " IS NULL OR CAST(CAST(" + column + " AS BIGINT) AS TEXT) = CAST(" + column + " AS TEXT))";
}

template <size_t N> std::string all_whole(const char *const (&columns)[N], const std::string &alias)
{
    std::string all;
    for (const char *c : columns)
        all += (all.empty() ? "" : " AND ") + whole(alias + quoted(c));
    return all;
}

// Each number, and whether it is whole, as 1 or 0.
template <size_t N> std::vector<std::pair<std::string, std::string>> numbers_and_whole(const char *const (&columns)[N],
                                                                                    const std::string &alias)
{
    std::vector<std::pair<std::string, std::string>> fields;
    for (const char *c : columns) {
        fields.emplace_back(c, alias + quoted(c));
        fields.emplace_back(std::string(c) + "_whole",
                            "CASE WHEN " + whole(alias + quoted(c)) + " THEN 1 ELSE 0 END");
    }
    return fields;
}

using Fields = std::vector<std::pair<std::string, std::string>>; // name, expression

// with, then SELECT the fields under their names, then the rest.
Query select(const std::string &with, const Fields &fields, const std::string &rest)
{
    Query query{with + "SELECT ", {}};
    for (const auto &[name, expression] : fields) {
        query.sql += (query.columns.empty() ? "" : ", ") + expression + " AS " + quoted(name.c_str());
        query.columns.push_back(name);
    }
    query.sql += " " + rest;
    return query;
}

std::string with_counted(const std::string &counted) { return "WITH counted AS (" + counted + ")"; }

std::string yield_of(const char *column) { return "CAST(SUM(" + std::string(column) + ") AS DOUBLE PRECISION) / COUNT(*)"; }

// Boards, records, and the boards whose first, first or second, and last
// attempt in the group passed, for each group of columns.
Query yield_by(const Fields &groups, const std::string &counted)
{
    std::string columns, grouped;
    for (const auto &[name, expression] : groups) {
        columns += (columns.empty() ? "" : ", ") + quoted(name.c_str());
        grouped += ", " + expression + " AS " + quoted(name.c_str());
    }
    Fields fields;
    for (const auto &group : groups)
        fields.emplace_back(group.first, quoted(group.first.c_str()));
    const Fields figures = {{"boards", "COUNT(*)"},
                            {"records", "SUM(records)"},
                            {"first_pass", "SUM(first_pass)"},
                            {"second_pass", "SUM(second_pass)"},
                            {"last_pass", "SUM(last_pass)"},
                            {"fails", "SUM(fails)"},
                            {"errors", "SUM(errors)"},
                            {"first_pass_yield", yield_of("first_pass")},
                            {"second_pass_yield", yield_of("second_pass")},
                            {"last_pass_yield", yield_of("last_pass")}};
    fields.insert(fields.end(), figures.begin(), figures.end());
    return select(
        with_counted(counted) + ", attempts AS (SELECT " + columns + ", board, outcome, "
            "ROW_NUMBER() OVER (PARTITION BY " + columns + ", board ORDER BY start_time_millis, record_id) AS n, "
            "COUNT(*) OVER (PARTITION BY " + columns + ", board) AS tried "
            "FROM (SELECT record_id, outcome, start_time_millis, " + board_key + " AS board" + grouped +
            " FROM counted) b), "
            "units AS (SELECT " + columns + ", COUNT(*) AS records, "
            "MAX(CASE WHEN n = 1 AND outcome = 'PASS' THEN 1 ELSE 0 END) AS first_pass, "
            "MAX(CASE WHEN n <= 2 AND outcome = 'PASS' THEN 1 ELSE 0 END) AS second_pass, "
            "MAX(CASE WHEN n = tried AND outcome = 'PASS' THEN 1 ELSE 0 END) AS last_pass, "
            "SUM(CASE WHEN outcome = 'FAIL' THEN 1 ELSE 0 END) AS fails, "
            "SUM(CASE WHEN outcome = 'ERROR' THEN 1 ELSE 0 END) AS errors "
            "FROM attempts GROUP BY " + columns + ", board) ",
        fields, "FROM units GROUP BY " + columns);
}

// The latest of a slot's records where condition holds: its column.
std::string latest_at_slot(const std::string &column, const std::string &condition)
{
    return "(SELECT s." + column + " FROM counted s WHERE s.station_id = a.station_id AND "
           "COALESCE(s.fixture_id, '') = a.fixture_id AND s.location = a.location AND " + condition +
           " ORDER BY s.start_time_millis DESC, s.record_id DESC LIMIT 1)";
}

} // namespace

const Value &Query::at(const Row &row, const std::string &name) const
{
    return row.at(size_t(std::find(columns.begin(), columns.end(), name) - columns.begin()));
}

std::string counted_boards(int version, const std::string &condition)
{
    return "SELECT * FROM (SELECT " + board_select_list(version, "b") + " FROM boards b" +
           (condition.empty() ? "" : " WHERE " + condition) + ") b WHERE " + all_whole(board_numbers, "b.");
}

Query yield_query(YieldGroup group, const std::string &counted)
{
    switch (group) {
    case YieldGroup::line:
        return yield_by({{"whole_line", "0"}}, counted);
    case YieldGroup::day: // in UTC, as the station's times
        return yield_by({{"day_start_millis", "start_time_millis / 86400000 * 86400000"},
                         {"time", "start_time_millis / 86400000 * 86400"}},
                        counted);
    case YieldGroup::station:
        return yield_by({{"station_id", "station_id"}}, counted);
    case YieldGroup::lot:
        break;
    }
    return yield_by({{"lot", "COALESCE(lot, '')"}}, counted);
}

Query slot_query(const std::string &counted)
{
    const std::string first = "CASE WHEN n = 1 THEN 1 ELSE 0 END";
    auto first_with = [](const char *outcome) {
        return std::string("SUM(CASE WHEN n = 1 AND outcome = '") + outcome + "' THEN 1 ELSE 0 END)";
    };
    const std::string counted_slot = "s.insertions IS NOT NULL AND s.rated_cycles IS NOT NULL";
    return select(with_counted(counted) +
                      ", attempts AS (SELECT station_id, COALESCE(fixture_id, '') AS fixture_id, location, outcome, "
                      "ROW_NUMBER() OVER (PARTITION BY station_id, COALESCE(fixture_id, ''), location, " +
                      board_key + " ORDER BY start_time_millis, record_id) AS n FROM counted) ",
                  {{"station_id", "station_id"},
                   {"fixture_id", "fixture_id"},
                   {"location", "location"},
                   {"slot", latest_at_slot("slot", "COALESCE(s.slot, '') <> ''")},
                   {"insertions", latest_at_slot("insertions", counted_slot)},
                   {"rated_cycles", latest_at_slot("rated_cycles", counted_slot)},
                   {"boards", "SUM(" + first + ")"},
                   {"records", "COUNT(*)"},
                   {"first_pass", first_with("PASS")},
                   {"fails", first_with("FAIL")},
                   {"errors", first_with("ERROR")},
                   {"first_pass_yield", "CAST(" + first_with("PASS") + " AS DOUBLE PRECISION) / SUM(" + first + ")"}},
                  "FROM attempts a GROUP BY station_id, fixture_id, location");
}

Query pareto_query(const std::string &counted)
{
    return select(with_counted(counted) + " ",
                  {{"pin", "p.pin"},
                   {"class", "COALESCE(p.\"class\", '')"},
                   {"boards", std::string("COUNT(DISTINCT ") + board_key + ")"},
                   {"records", "COUNT(*)"}},
                  "FROM pins p JOIN counted USING (record_id) WHERE outcome = 'FAIL' AND p.status <> 'ok' AND "
                  "p.status <> 'untested' AND " + all_whole(pin_numbers, "p.") +
                      " GROUP BY p.pin, COALESCE(p.\"class\", '')");
}

Query identity_query(const std::string &counted)
{
    return select(with_counted(counted) + ", keyed AS (SELECT " + board_key + " AS board, outcome FROM counted) ",
                  {{"records_without_identity", "SUM(CASE WHEN SUBSTR(board, 1, 1) = 'r' THEN 1 ELSE 0 END)"},
                   {"failed_boards", "COUNT(DISTINCT CASE WHEN outcome = 'FAIL' THEN board END)"}},
                  "FROM keyed");
}

// The counted boards' rows of board_identities, as i.
const char identities_of_counted[] = "FROM board_identities i JOIN counted USING (record_id)";
const char programming_failed[] = "COALESCE(i.failed_step, '') <> ''";

Query programming_query(const std::string &counted)
{
    const std::string succeeded = std::string("NOT (") + programming_failed + ")";
    return select(with_counted(counted) + " ",
                  {{"identity_records", "COUNT(*)"},
                   {"programmed",
                    "SUM(CASE WHEN i.written = 1 AND i.verified = 1 AND " + succeeded + " THEN 1 ELSE 0 END)"},
                   {"kept", "SUM(CASE WHEN i.kept = 1 AND " + succeeded + " THEN 1 ELSE 0 END)"},
                   {"spent", std::string("SUM(CASE WHEN COALESCE(i.allocated, '') <> '' AND ") + programming_failed +
                                 " THEN 1 ELSE 0 END)"}},
                  identities_of_counted);
}

Query programming_failures_query(const std::string &counted)
{
    return select(with_counted(counted) + " ", {{"step", "i.failed_step"}, {"records", "COUNT(*)"}},
                  std::string(identities_of_counted) + " WHERE " + programming_failed + " GROUP BY i.failed_step");
}

Query intermittent_query(const std::string &counted)
{
    return select(with_counted(counted) + " ",
                  {{"record_id", "record_id"},
                   {"board", board_key},
                   {"location", "location"},
                   {"pin", "p.pin"},
                   {"class", "COALESCE(p.\"class\", '')"},
                   {"failures", "p.failures"},
                   {"runs", "runs"}},
                  "FROM pins p JOIN counted USING (record_id) WHERE p.status = 'intermittent' AND " +
                      all_whole(pin_numbers, "p.") + " ORDER BY start_time_millis, record_id, p.pin");
}

Query skipped_boards(int version, const std::string &condition)
{
    Fields fields = {{"record_id", "record_id"}};
    for (const auto &field : numbers_and_whole(board_numbers, ""))
        fields.push_back(field);
    return select("", fields,
                  "FROM (SELECT " + board_select_list(version, "b") + " FROM boards b" +
                      (condition.empty() ? "" : " WHERE " + condition) + ") b WHERE NOT (" +
                      all_whole(board_numbers, "b.") + ") ORDER BY record_id");
}

Query skipped_pins(const std::string &counted)
{
    Fields fields = {{"record_id", "record_id"}};
    for (const auto &field : numbers_and_whole(pin_numbers, "p."))
        fields.push_back(field);
    return select(with_counted(counted) + " ", fields,
                  "FROM pins p JOIN counted USING (record_id) WHERE p.status <> 'ok' AND p.status <> 'untested' "
                  "AND NOT (" + all_whole(pin_numbers, "p.") + ") ORDER BY record_id, CAST(p.pin AS TEXT)");
}

std::vector<std::pair<std::string, std::string>> yield_views()
{
    const std::string counted = counted_boards(newest_column_version(), "");
    auto view = [](const char *name, const Query &query) {
        return std::pair<std::string, std::string>(name, std::string("CREATE VIEW ") + name + " AS " + query.sql);
    };
    return {
        view("yield_by_day", yield_query(YieldGroup::day, counted)),
        view("yield_by_station", yield_query(YieldGroup::station, counted)),
        view("yield_by_lot", yield_query(YieldGroup::lot, counted)),
        // A slot of a station's fixture: each board's first attempt there.
        view("yield_by_slot", slot_query(counted)),
        // The faults of failed records, by pin and class: the boards and
        // the records that had each.
        view("fault_pareto", pareto_query(counted)),
    };
}

} // namespace station::db
