// wiretest-station report: the line's yield and its faults, from the
// records in a database.
#pragma once

#include "db/database.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

struct ReportFilter {
    std::optional<int64_t> since_millis, until_millis; // start times in [since, until)
    std::string station_id, lot;                       // "": any
};

// One record as the report reads it.
struct ReportBoard {
    std::string record_id, dut_id, location, station_id, outcome;
    int64_t start_millis = 0;
    // Initialised here so that boards written as {id, ..., start} stay whole.
    std::string slot{};                               // the fixture's name for it; "" without one
    std::optional<int64_t> insertions{}, rated_cycles{}; // a rated slot's count with this board
};

// A pin that was not ok in a record.
struct ReportPin {
    std::string record_id;
    int pin = 0;
    std::string status, fault_class; // status "intermittent" for one that came and went in a soak
    std::optional<long> failures, runs;
};

struct Counts {
    long boards = 0, records = 0, first_pass = 0, final_pass = 0, errors = 0, fails = 0;
};

struct Fault {
    int pin = 0;
    std::string fault_class;
    long boards = 0; // failed boards' records with it
};

struct Slot {
    std::string location;
    std::string name;                             // its fixture slot's, the latest record's
    std::optional<int64_t> insertions, rated_cycles; // the latest record's that has them
    long records = 0, fails = 0, errors = 0;
    long others = 0, others_failed = 0; // the station's other slots
    double p_value = 1;                 // of failing this often by chance
    bool flagged = false;
};

struct Report {
    Counts all;
    std::vector<Fault> pareto;                          // most boards first
    long failed_records = 0;                            // the Pareto's whole
    std::vector<Slot> slots;                            // by station, then location
    std::vector<std::pair<std::string, Counts>> stations, days;
    std::vector<std::pair<ReportBoard, ReportPin>> intermittents;
    std::vector<std::string> skipped; // rows it could not use, a line each naming the table and the row
};

// The report of boards and their not-ok pins, boards in any order.
Report make_report(std::vector<ReportBoard> boards, const std::vector<ReportPin> &pins);

// The chance of k or more failures among n when K of N records failed in
// all and the n were drawn from them at random (Fisher's exact test, one-sided).
double fisher_greater(long k, long n, long failures, long total);

bool read_report(db::Database &database, const ReportFilter &filter, Report &report, std::string &why);

std::string report_text(const Report &report);
std::string report_json(const Report &report);
std::string report_csv(const Report &report);

// wiretest-station report ...: returns the exit status.
int report_main(int argc, char **argv);

} // namespace station
