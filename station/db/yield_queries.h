// The yield as SQL, one text for the views a dashboard reads and for the
// report: both count the same boards by the same statements, so that they
// agree by construction, on SQLite and PostgreSQL alike.
//
// A board is named by its label, else by its serial unless the station saw
// it on two chips, else its record is a board of its own; a group's
// attempts at a board are its records there in time order.
#pragma once

#include "database.h"

#include <string>
#include <utility>
#include <vector>

namespace station::db {

// A statement and the names of its columns, so that its rows are read by
// name.
struct Query {
    std::string sql;
    std::vector<std::string> columns;
    // The row's value of the named column; the name must be one of the query's.
    const Value &at(const Row &row, const std::string &name) const;
};

// The boards a yield counts, as the body of a common table expression:
// every column of boards (NULL where the database's version lacks it),
// where condition holds (SQL over "b.", or ""), and only those whose
// numbers are whole: a value the station did not write is left out, and
// said by skipped_boards, never counted wrong.
std::string counted_boards(int version, const std::string &condition);

// The yield of the counted boards: boards, records, first_pass,
// second_pass, last_pass, fails, errors and the three yields, for the
// whole line (line_yield) or by day (day_start_millis, and "time" in
// seconds, as a dashboard wants it), station_id or lot ("" for none).
enum class YieldGroup { line, day, station, lot };
Query yield_query(YieldGroup group, const std::string &counted);

// Each fixture slot of a station (station_id, fixture_id, location) from
// each board's first attempt there: the latest slot name and rated count
// (insertions, rated_cycles), boards, records, first_pass, fails, errors,
// first_pass_yield.
Query slot_query(const std::string &counted);

// The faults of failed records by pin and class: boards and records.
Query pareto_query(const std::string &counted);

// Records without a label or a unique serial, and the boards that failed.
Query identity_query(const std::string &counted);

// What the station's programming of the counted boards' EEPROMs did (their
// rows of board_identities): identity_records, programmed (written and
// verified without a failure), kept (a retest kept its serial) and spent
// (serials taken for a programming that failed).
Query programming_query(const std::string &counted);

// The programmings that failed, by the step that failed: step, records.
Query programming_failures_query(const std::string &counted);

// Pins that came and went in a soak, in time order: record_id, board (its
// key: 'l' label, 's' serial, 'r' record_id), location, pin, class,
// failures, runs.
Query intermittent_query(const std::string &counted);

// Rows left out of the count for a number that is not whole: a board's
// record_id with each number and whether it is whole ("<name>_whole"), and
// a not-ok pin's record_id, pin and failures likewise.
Query skipped_boards(int version, const std::string &condition);
Query skipped_pins(const std::string &counted);

// The views, named, each its CREATE VIEW.
std::vector<std::pair<std::string, std::string>> yield_views();

} // namespace station::db
