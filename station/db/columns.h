// The columns of boards, each named once: the CREATE, each migration, the
// INSERT and the report's reads are all made from this table, so that a new
// field of the record is one line here.
#pragma once

#include "database.h"

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace station::db {

// A field of a JSON object as a column holds it: text as it is, a number
// or an object as its JSON, NULL where missing or null.
Value field_text(const nlohmann::json &object, const char *key);

// A column's value from the object its row stores and that object's
// owner: a board's record and its session, or a pin of the record and the
// record.
using Taken = Value (*)(const nlohmann::json &object, const nlohmann::json &owner, const char *column);

// The object's field of the column's name; the owner's.
Value record_field(const nlohmann::json &object, const nlohmann::json &owner, const char *column);
Value session_field(const nlohmann::json &object, const nlohmann::json &owner, const char *column);
Value serial_shared_flag(const nlohmann::json &record, const nlohmann::json &session, const char *column);
Value earlier_record_id(const nlohmann::json &record, const nlohmann::json &session, const char *column);
Value pin_fault_class(const nlohmann::json &pin, const nlohmann::json &record, const char *column);
Value pin_partners(const nlohmann::json &pin, const nlohmann::json &record, const char *column);
Value pin_candidates(const nlohmann::json &pin, const nlohmann::json &record, const char *column);

struct Column {
    const char *name; // as the record names it; always quoted in SQL
    const char *type; // one text that SQLite and PostgreSQL both take
    int since;        // the schema version that added it: older databases gain it in place
    Taken taken = record_field;
};

// Versions: 2 brought a rated fixture slot's count; 3 serial_shared (1
// where the station saw the serial on another chip) and label_reused (the
// record_id of an earlier board with its label); 4 the pattern set; 5 how
// sure the diagnosis is of each pin (pins below).
inline constexpr Column board_columns[] = {
    {"record_id", "TEXT PRIMARY KEY", 1},
    {"session_id", "TEXT NOT NULL REFERENCES sessions (session_id)", 1, session_field},
    {"dut_id", "TEXT NOT NULL", 1},
    {"label", "TEXT", 1},
    {"serial", "TEXT", 1},
    {"location", "TEXT NOT NULL", 1},
    {"channel", "TEXT NOT NULL", 1},
    {"chip", "TEXT", 1},
    {"station_id", "TEXT NOT NULL", 1},
    {"test", "TEXT NOT NULL", 1},
    {"mode", "TEXT NOT NULL", 1},
    {"start_time_millis", "BIGINT NOT NULL", 1},
    {"end_time_millis", "BIGINT NOT NULL", 1},
    {"outcome", "TEXT NOT NULL", 1},
    {"errors", "INTEGER", 1},
    {"reason", "TEXT", 1},
    {"runs", "INTEGER", 1},
    {"slot", "TEXT", 1},
    {"fixture_id", "TEXT", 1},
    {"lot", "TEXT", 1},
    {"operator", "TEXT", 1},
    {"attempt", "INTEGER", 1},
    {"insertions", "BIGINT", 2},
    {"rated_cycles", "BIGINT", 2},
    {"serial_shared", "INTEGER", 3, serial_shared_flag},
    {"label_reused", "TEXT", 3, earlier_record_id},
    {"patterns", "TEXT", 4},
};

// The columns of pins, a row for each pin of a record; (record_id, pin) is
// the key. A pin's confidence is "located", "one of N" (its candidates,
// joined by " | ") or "detected only"; NULL for a pin without a fault.
inline constexpr Column pin_columns[] = {
    {"record_id", "TEXT NOT NULL REFERENCES boards (record_id)", 1, session_field},
    {"pin", "INTEGER NOT NULL", 1},
    {"status", "TEXT NOT NULL", 1},
    {"class", "TEXT", 1, pin_fault_class},
    {"partner", "TEXT", 1, pin_partners},
    {"failures", "INTEGER", 1},
    {"flips", "INTEGER", 1},
    {"confidence", "TEXT", 5},
    {"candidates", "TEXT", 5, pin_candidates},
    {"words", "TEXT", 5},
};

constexpr int newest_column_version()
{
    int newest = 1;
    for (const Column &c : board_columns)
        newest = c.since > newest ? c.since : newest;
    for (const Column &c : pin_columns)
        newest = c.since > newest ? c.since : newest;
    return newest;
}

// "name", quoted: some names are keywords in one of the two dialects.
std::string quoted(const char *name);

// Every column of boards as a SELECT list over the table (or its alias),
// a column that a database of an older version lacks as NULL under its
// name: one list that reads each version alike.
std::string board_select_list(int version, const std::string &alias);

} // namespace station::db
