// wiretest-station report: the line's yield and its faults, from the
// records in a database.
//
// A board (a unit) is named by its label, else by its serial unless the
// serial is blank or the station saw it on two chips at once; a record
// without either is a board of its own. A record is one attempt at a board.
// Counts of boards are distinct boards, counts of records are records.
#pragma once

#include "database.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

struct ReportFilter {
    std::optional<int64_t> since_millis, until_millis; // start times in [since, until)
    std::string station_id, lot;                       // "": any
};

// A pin that was not ok in a record.
struct ReportPin {
    std::string record_id;
    int pin = 0;
    std::string status, fault_class; // status "intermittent" for one that came and went in a soak
    std::optional<long> failures, runs;
};

// boards: distinct boards; each board's attempts in time order.
struct Counts {
    long boards = 0, records = 0;
    long first_pass = 0;  // boards whose first attempt passed
    long second_pass = 0; // boards that passed by their second attempt
    long last_pass = 0;   // boards whose last attempt passed
    long fails = 0, errors = 0; // records
};

struct Fault {
    int pin = 0;
    std::string fault_class;
    long boards = 0, records = 0; // failed records with it, and their boards
};

// A fixture slot of one station: each board's first attempt there only, so
// that a board tested there again counts once.
struct Slot {
    std::string station_id, fixture_id, location;
    std::string name;                                // the fixture's slot's, the latest record's
    std::optional<int64_t> insertions, rated_cycles; // the latest record's that has them
    bool due = false;                                // insertions at or past the rating
    long boards = 0, records = 0, fails = 0, errors = 0; // fails, errors: of the boards' first attempts
    long others = 0, others_failed = 0;              // boards and FAILs at the fixture's other slots
    double p_value = 1;                              // of failing this often by chance
    bool flagged = false;
};

struct Intermittent {
    std::string board, location, record_id; // board: its label, serial or "record ID"
    ReportPin pin;
};

// What the station's programming of the boards' EEPROMs did, from the
// records that carry an identity (--product): none, in a database from
// before identities or of a line that programs none.
struct Programming {
    long identity_records = 0;
    long programmed = 0; // written and verified
    long kept = 0;       // retests that kept their serial
    long spent = 0;      // serials taken for programmings that failed
    std::vector<std::pair<std::string, long>> failures; // records by failed step, most first
};

struct Report {
    Counts all;
    Programming programming;
    long records_without_identity = 0;
    std::vector<Fault> pareto; // most boards first
    long failed_boards = 0, failed_records = 0; // the Pareto's whole
    std::vector<Slot> slots;   // by station, fixture, then location
    std::vector<std::pair<std::string, Counts>> stations, days, lots;
    std::vector<Intermittent> intermittents;
    std::vector<std::string> skipped; // a line for each row the report could not use
};

// The chance of k or more failures among n when K of N failed in all and
// the n were drawn from them at random (Fisher's exact test, one-sided).
double fisher_greater(long k, long n, long failures, long total);

// The figures of the records that the filter takes, counted by the
// database's yield statements (db/yield_queries.h), those its views are
// made of; reads without writing; false with why.
bool read_report(db::Database &database, const ReportFilter &filter, Report &report, std::string &why);

// The share of part in whole, 0 to 1: the one unit of every yield the
// station gives, in the report's JSON and CSV and on its page.
double share(long part, long whole);

std::string report_text(const Report &report);
std::string report_json(const Report &report);
std::string report_csv(const Report &report);

// wiretest-station report ...: returns the exit status.
int report_main(int argc, char **argv);

} // namespace station
