// The model of wiretest-diagnose, with no I/O: a wiretest report read line by
// line, judged complete and consistent or not, and each high pin put in the
// first class of fault that explains what it read.
#pragma once

#include "fault_model.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace diagnose {

// One row of the report: the pattern driven on the low byte and what the
// high byte read back.
struct Row {
    uint8_t driven = 0;
    uint8_t read = 0;         // 255 where the chip gave no answer
    bool no_data = false;     // "no data ?!" stood inside the row
    bool failed_call = false; // a device call failed during the row (its status name was seen)
    bool answered = true;     // whether the row observes the board; set by judge()
    // A planned set's row: which low pins were driven (the others inputs,
    // written z, which a good board reads 1 through the pull-ups and which
    // driven holds as 1), and the low byte read back (0x81).
    uint8_t direction = 0xFF;
    bool read_back = false;
    uint8_t low = 0;
};

// What the lines of a report said, before any judgement.
struct Report {
    std::vector<Row> rows;
    std::optional<int> errors;     // N of "Testing complete, errors: N"
    bool started = false;          // "START TESTING": the setup was done, the rows were to follow
    bool broken_row = false;       // a row that never got its read bits
    bool known_lines = false;      // any line wiretest itself prints
    bool unknown_lines = false;    // any other line that is not empty
    std::string last_error;        // the last "ERROR:" line
    std::optional<PatternSet> planned; // "pattern set: NAME" stood before the rows (a station's planned set)
    bool unsettled = false;        // the inputs of a step read otherwise a settle wait later
    int reports = 1;               // reports in the input, one after another (a log appended to)
    int judged = 1;                // which of them this is, from 1
};

// What a test's output said of a failure, over all of its reports: a test
// station's reason for an ERROR.
struct FailureTrail {
    std::string last_status;       // the last status name since the last ERROR: line
    std::string failed_step;       // the last "ERROR: " line, without "ERROR: "
    std::string failed_status;     // the status name that stood before that line
    std::string cause;             // the last "cause: " line's text: the driver library's words
    bool device_not_found = false; // FT_DEVICE_NOT_FOUND was printed
};

// Reads a report one line at a time, as it arrives. Lines it does not know
// (standard error mixed in, a shell's own messages, garbage) are passed over.
// Blanks (tabs or spaces) stand alike between and after the fields. Several
// runs' reports one after another (a log appended to with >>) are told apart:
// the last one that reached its count line is the one read.
class ReportReader {
public:
    // One line without its line end; a CR ends a line as well, so that CR LF
    // and CR-only line ends read as LF.
    void add_line(std::string_view line);
    // The report as read so far: the last complete one, or the one being read.
    Report finish() const;
    const FailureTrail &failure_trail() const { return trail_; }

private:
    void note_status(std::string_view name);
    void read_line(std::string_view line);
    void begin_report_if(bool ends_current);
    void add_row(Row row);
    void take_status();

    Report report_;
    FailureTrail trail_;
    std::optional<Report> last_complete_; // the last earlier report that reached its count line
    int reports_ = 1;                     // reports begun so far
    bool listed_ = false;                 // the current report's device listing was seen
    std::optional<PatternSet> planned_;   // the set a station's board process named, for every run after
    std::optional<Row> awaiting_bits_; // "no data ?!": the read bits follow on the next line
    bool status_pending_ = false;      // a status name, unless an ERROR: line follows at once
    bool status_since_row_ = false;    // a status name that stands for the next row
};

Report read_report(std::string_view text);

// Which patterns a report's rows drive: wiretest's full or short test, or a
// station's planned set.
enum class Test { full, short_test, locate, deep };

// The line a station's board process prints before the rows of a planned set.
constexpr std::string_view planned_set_prefix = "pattern set: ";
// The line it prints before the count when a step's inputs read otherwise a
// settle wait later: such a run's rows do not measure the wiring.
constexpr std::string_view unsettled_line = "inputs did not settle";

// A planned set's row as the board process prints it: driven (z for an
// input), read, and the low byte read back; "\tzzzzzzz0\t11111110\t11111110".
// A read of -1 (no answer) gives "\tzzzzzzz0\tno data ?!".
std::string planned_row_text(const Step &step, int read, int low);

enum class Verdict { pass, fail, incomplete };

// Why a report cannot be judged.
enum class Problem {
    none,
    incomplete,   // no rows, or rows or the count line missing
    inconsistent, // the count does not match the rows
    unreadable,   // not a wiretest report
    unanswered,   // rows without an answer, and no wiring fault among the answered ones
};

enum class PinStatus { untested, ok, stuck_0, stuck_1, inverted, reads_other, short_and, short_or, unexplained };

struct PinDiagnosis {
    PinStatus status = PinStatus::untested;
    std::vector<int> with; // partner low pins, lowest first
};

// How sure the diagnosis of a failed board is, from the fault dictionary of
// the rows it answered.
enum class Confidence {
    none,          // a pass, or no judgement
    located,       // exactly one modelled fault, or pair of faults, reads so
    one_of_n,      // several do: every one is named
    detected_only, // none does: the rows show a fault the model does not name
};

struct Diagnosis {
    Verdict verdict = Verdict::incomplete;
    Problem problem = Problem::none;
    std::string reason;             // when incomplete
    std::optional<Test> test;       // when the rows say which
    std::optional<int> errors;      // when the count line is there
    std::vector<Row> rows;          // pass, fail and unanswered: every row, answered marked
    std::array<PinDiagnosis, 8> pins{};
    int failed_rows = 0;            // rows whose halves differ
    Confidence confidence = Confidence::none;
    std::vector<FaultCase> candidates; // the modelled faults that read as the answered rows did
    int reports = 1;                // reports in the input
    int judged = 1;                 // the one judged, from 1
};

// The driven patterns of each test, from the table the tool drives.
std::vector<uint8_t> patterns(Test test);
// Each test's steps: its patterns with their directions and read-backs.
std::vector<Step> test_steps(Test test);

// Judge a report and, when it is complete and consistent, diagnose its pins;
// with naming, a failed one's faults too (name_faults, the costly part: a
// soak names only the run it shows).
Diagnosis judge(const Report &report, bool naming = true);

// The class of every high pin from the answered rows alone.
std::array<PinDiagnosis, 8> classify_pins(const std::vector<Row> &rows);

// The modelled faults that read as these answered rows did, and how sure that is.
void name_faults(Diagnosis &diagnosis);

// "located", "one of 3", "detected only"; empty for none.
std::string confidence_text(Confidence confidence, size_t candidates);
std::string confidence_text(const Diagnosis &diagnosis);

const char *status_name(PinStatus status);
const char *verdict_name(Verdict verdict);
const char *test_name(Test test);

} // namespace diagnose
