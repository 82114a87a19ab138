// wiretest-station's model: which channels to test, what a board's report
// comes to, and the records a line's systems read. No I/O but the record
// files; the program around it (run.cpp, main.cpp) starts the tests.
#pragma once

#include "diagnosis.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

// One MPSSE channel as the driver lists it.
struct Channel {
    std::string location;
    char channel = 'A';
    std::string serial; // "" when the chip has none
    std::string chip;
    bool openable = true;
    std::string access_note; // why not, when not openable
    uint32_t instance = 0;   // changes with each plugging-in; 0 where not known
};

// The driver's listing; false with why in error when it failed.
bool list_channels(std::vector<Channel> &channels, std::string &error);

// One line of --list, and the JSON array of --list --json.
std::string listing_line(const Channel &channel);
std::string listing_json(const std::vector<Channel> &channels);

// What the command line asks to test.
struct Selection {
    bool all = false;
    std::vector<std::string> ports;
    std::vector<std::string> serials;
    char channel = 'A';
};

// A board to test, or a target that names no single board (error set).
struct Target {
    Channel board;
    std::string error;
};

// Whether text has the shape of a location as the drivers list them:
// "BUS-PORT[.PORT...]" in digits, or "0x" and hex digits (Windows).
bool is_location(const std::string &text);

// Whether a wiring test of the chip's MPSSE channels means anything: the
// quad chip's have no high GPIO byte to read the wiring back on.
bool has_high_byte(const std::string &chip);

// Why the channel's wiring cannot be tested; "" when it can.
std::string untestable_reason(const Channel &channel);

// What --all says of a channel it passes over for that.
std::string passed_over_note(const Channel &channel);

// The targets in the order asked for: every channel of the listing with
// --all, each --port, then each --serial; a board named twice is tested once.
// A channel that cannot be tested is an error when named; --all passes it
// over and says so in passed_over.
std::vector<Target> select_targets(const std::vector<Channel> &channels, const Selection &selection,
                                   std::vector<std::string> *passed_over = nullptr);

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

// What the station learned of one board.
struct BoardResult {
    Channel board;
    Outcome outcome = Outcome::error;
    std::string reason;              // for an ERROR
    diagnose::Diagnosis diagnosis;   // when the rows ran
    bool rows_ran = false;
    int64_t start_millis = 0, end_millis = 0; // Unix time
    std::optional<Soak> soak;        // a soak run's counts
    std::string label;               // scanned from the board's label (--scan)
    std::string dut_id() const
    {
        return !label.empty() ? label : board.serial.empty() ? board.location : board.serial;
    }
};

// Reads the report of one board's test as its process prints it, standard
// error mixed in, and keeps what an ERROR's reason needs.
class BoardReport {
public:
    void add_line(const std::string &text);
    int rows() const { return rows_; }
    int runs() const { return soak_.runs; }
    int failed_runs() const { return failed_runs_; }
    // The outcome of the test whose process ended with exit_status; soak
    // when the process ran the test over and over; ending, when set, says
    // how the process ended instead of its exit status ("killed by SIGSEGV").
    void conclude(BoardResult &result, int exit_status, bool soak = false, const std::string &ending = "") const;

private:
    void end_run();

    diagnose::ReportReader reader_;   // the run under way
    std::optional<diagnose::Diagnosis> shown_; // the first failing run, else the first
    std::string first_incomplete_;    // why the first incomplete run was
    Soak soak_;
    std::array<bool, 8> failed_last_{};
    int failed_runs_ = 0;
    std::string last_status_;  // the last status name printed
    std::string failed_step_;  // the last ERROR: line, without "ERROR: "
    std::string failed_status_; // the status name that stood before it
    std::string cause_;        // the driver's library's words for the failure
    bool unplugged_ = false;   // FT_DEVICE_NOT_FOUND: the listed board went away
    int rows_ = 0;
};

// "PASS 1-1 A WTST0001 errors: 0" and the like, without a line end; a
// scanned label follows the serial number as "label: X".
std::string result_line(const BoardResult &result);

// The faulty pins in wiretest-diagnose's words, one line each.
std::vector<std::string> pin_lines(const diagnose::Diagnosis &diagnosis);

struct RunContext {
    std::string station_id;
    bool short_test = false;
    bool short_waits = false;
    bool fast = false;
};

// A soak's line for each pin not ok in some run: the diagnosis's words for
// one that failed every run, "pin 4: intermittent: stuck-0 in 37 of 1000
// runs" for one that came and went.
std::vector<std::string> soak_pin_lines(const BoardResult &result);

// The board's record, one JSON object without a line end.
std::string record_json(const BoardResult &result, const RunContext &context);

// The record's file name: dut_id (cut to 64 bytes, with a hash of the whole
// when it had to be changed), location, channel and UTC start time, made
// safe; it never begins with '-' or '.'.
std::string record_file_name(const BoardResult &result);

// The JUnit XML of every board.
std::string junit_xml(const std::vector<BoardResult> &results, const RunContext &context);

// Writes text to path under a temporary name beside it, synced, then renamed
// over path: a reader sees the whole file or none. A symlink stays, and the
// file it names is replaced; a path that is no regular file (a device, a
// FIFO, /dev/stdout) is written in place as a shell's '>' would. false with why.
bool write_atomically(const std::string &path, const std::string &text, std::string &error);

// Writes text, whole or not at all as write_atomically does, to a new file
// in dir named name, or with "-2", "-3", ... before its extension where that
// is taken: never over a file, another station's either. path is the file
// written; false with why.
bool write_new_file(const std::string &dir, const std::string &name, const std::string &text, std::string &path,
                    std::string &error);

// Creates dir and its parents where missing; false with why.
bool make_directories(const std::string &dir, std::string &error);

// Whether a file can be created in dir, tried by making one and removing
// it; false with why.
bool folder_writable(const std::string &dir, std::string &error);

// Whether write_atomically can write path; false with why.
bool file_writable(const std::string &path, std::string &error);

// A script tells "retest this board" (3) from "the station is broken" (2).
enum ExitStatus {
    exit_passed = 0,      // every board passed (or none came to a --wait)
    exit_failed = 1,      // a board failed and none had an ERROR
    exit_station = 2,     // a usage error, a failed listing, lost output, a
                          // record or the JUnit file not written
    exit_test_again = 3,  // a board had an ERROR, or a target matched nothing
};

// The exit status the boards' results give.
int exit_status(const std::vector<BoardResult> &results);

// The summary line, without a line end.
std::string summary_line(const std::vector<BoardResult> &results);

// Text from a chip's EEPROM or a report, made safe for a terminal, JSON and
// XML: every control character but the tab, DEL, the C1 controls, the
// noncharacters (U+FDD0..U+FDEF, U+xFFFE, U+xFFFF) and every byte that is
// not part of well-formed UTF-8 becomes '?'.
std::string printable(const std::string &text);

extern const char version[];

} // namespace station
