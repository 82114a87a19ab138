// What the station learned of one board, and what a run's results come to:
// the model every output is written from.
#pragma once

#include "identity_outcome.h"
#include "diagnosis.h"
#include "pin_verdict.h"
#include "targets.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

enum class Outcome { pass, fail, error };
const char *outcome_name(Outcome outcome);

// A soak: the same test run over and over, counted per pin.
struct PinSoak {
    int failures = 0;           // runs in which the pin was not ok
    int flips = 0;              // changes between ok and not ok from one run to the next
    std::string failed_class;   // its class in the first run it failed
    std::vector<int> failed_runs; // numbered from 1; the first failed_runs_kept only
    // A long soak of a bad contact fails in millions of runs: the first ones
    // locate it, the counts measure it, and the record stays small.
    static constexpr size_t failed_runs_kept = 100;
};

struct Soak {
    int runs = 0;               // runs whose rows came to their count line
    int incomplete_runs = 0;    // of which rows went without an answer
    std::array<PinSoak, 8> pins{};
};

// An earlier test of a board that had the same label.
struct EarlierTest {
    std::string record_id;    // its record's; a board under test: its first record's, to come
    int64_t start_millis = 0; // Unix time
    std::string station_id, location, slot;
    char channel = 'A';
    std::string outcome; // "" while it is under test
    bool other_station = false; // station_id is not the station's that flags it
};

struct BoardResult {
    Channel board;
    Outcome outcome = Outcome::error;
    std::string reason;              // for an ERROR
    diagnose::Diagnosis diagnosis;   // when the rows ran
    bool rows_ran = false;
    // Each pin's verdict, decided once by decide_pins (a soak's over its
    // runs); what every output shows of a pin. None when no rows ran.
    std::vector<diagnose::PinVerdict> pins;
    int64_t start_millis = 0, end_millis = 0; // Unix time
    std::optional<Soak> soak;        // a soak run's counts
    std::string label;               // scanned from the board's label (--scan)
    std::string slot;                // the fixture's slot it sat in (--fixture)
    int attempt = 0;                 // 1, 2, ... when retests are counted; 0: not shown
    int last_attempt = 0;            // the last attempt an ERROR may be tested again up to
    std::string record_id;           // its record's UUID, once it finished
    std::string cycle_note;          // its slot's contacts near or past their rated insertions; "" if not
    int64_t insertions = 0;          // at a rated slot: its insertions, this board's with them
    int64_t rated_cycles = 0;        // the slot's rating; 0: not counted
    // Its label was another board's in the last 24 hours: one tested at
    // another slot, or one that passed.
    std::optional<EarlierTest> label_reused;
    // Its identity programmed into its chip's EEPROM (--product), when that was tried.
    std::optional<identity::Outcome> identity;
    std::string dut_id() const
    {
        return !label.empty() ? label : board.serial.empty() ? board.location : board.serial;
    }
};

// How the boards of a run were tested, as every record says.
struct RunContext {
    std::string station_id;
    bool short_test = false;
    bool short_waits = false;
    bool fast = false;
    // Initialised here so that contexts written as {id, short, waits, fast} stay whole.
    std::string lot{}, operator_name{}; // "" when not given
    std::string fixture_id{};           // with --fixture
    diagnose::PatternSet patterns = diagnose::PatternSet::standard; // --patterns
};

// "label L-1 already used: PASS at slot 2 (1-2 A), 2024-05-02 14:03:11 UTC";
// "" when its label was no other board's.
std::string label_reused_note(const BoardResult &result);

// Whether an ERROR's reason says the board is no longer there: testing it
// again would test nothing, or the next board plugged in its place.
bool board_left(const std::string &reason);

// A soak's verdict of one pin over its runs, from the verdict of the run it
// shows: ok when it never failed, "intermittent" when it failed in some
// runs, the shown run's verdict when it failed in all.
diagnose::PinVerdict soak_pin_verdict(const Soak &soak, size_t pin, diagnose::PinVerdict shown);

// Decides result.pins from its diagnosis and soak, once its rows ran.
void decide_pins(BoardResult &result);

// The pins not ok, one line each: "pin 3: " and the verdict's words, then
// how sure (" [one of 2: ...]").
std::vector<std::string> pin_lines(const BoardResult &result);
std::string pin_line(size_t pin, const diagnose::PinVerdict &verdict);

// A finished board's eight pin statuses ("ok", "stuck-0", "intermittent");
// none when no rows ran.
std::vector<std::string> pin_statuses(const BoardResult &result);

// A script tells "retest this board" (3) from "the station is broken" (2).
enum ExitStatus {
    exit_passed = 0,      // every board passed (or none came to a --wait)
    exit_failed = 1,      // a board failed and none had an ERROR
    exit_station = 2,     // a usage error, a failed listing, lost output, a
                          // record or the JUnit file not written
    exit_test_again = 3,  // a board had an ERROR, or a target matched nothing
};

// What the operator does with an ERROR, by its reason: "plug it in again"
// and the like.
const char *what_to_do(const std::string &reason);

// The exit status the boards' results give.
int exit_status(const std::vector<BoardResult> &results);

// millis of Unix time in UTC, as strftime's format writes it.
std::string utc_time(int64_t millis, const char *format);

extern const char version[];

} // namespace station
