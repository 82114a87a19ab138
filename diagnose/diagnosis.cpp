// Reading a wiretest report, judging it, and classifying its pins.
#include "diagnosis.h"

#include "printable.h"
#include "test_driver/report_format.h"
#include "test_driver/wiring_patterns.h"

#include <algorithm>

namespace diagnose {
namespace {

constexpr std::string_view count_prefix = REPORT_COUNT_PREFIX;
constexpr std::string_view no_data = REPORT_NO_DATA_TEXT;

// Eight characters of 0 and 1, most significant pin first, as wiretest prints a byte.
std::optional<uint8_t> parse_byte(std::string_view text)
{
    int value = parse_bits(text.data(), text.size());
    if (value < 0)
        return std::nullopt;
    return uint8_t(value);
}

std::string bits_text(uint8_t value)
{
    char text[BIT_TEXT_SIZE];
    write_bits(value, text);
    return text;
}

using companions::starts_with;

// A status name as the tool prints it: FT_ and capitals, alone on its line.
bool is_status_name(std::string_view line)
{
    if (!starts_with(line, "FT_") || line.size() == 3)
        return false;
    return std::all_of(line.begin() + 3, line.end(), [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
}

// Lines the tool prints around its rows: the listing, banners, setup, usage.
bool is_tool_line(std::string_view line)
{
    for (std::string_view prefix : {REPORT_DEVICE_PREFIX, REPORT_SUCCESS_PREFIX, REPORT_RULE_TEXT, USAGE_PREFIX})
        if (starts_with(line, prefix))
            return true;
    return false;
}

// A planned set's row: blanks, eight of 0, 1 and z, blanks, eight bits,
// blanks, eight bits.
std::optional<Row> parse_planned_row(std::string_view line)
{
    size_t at = line.find_first_not_of(" \t");
    if (at == 0 || at == std::string_view::npos || line.size() - at < 8)
        return std::nullopt;
    Row row;
    row.read_back = true;
    row.direction = 0;
    for (int i = 0; i < 8; i++) {
        char c = line[at + i];
        int pin = 7 - i;
        if (c != '0' && c != '1' && c != 'z')
            return std::nullopt;
        row.direction |= uint8_t(c != 'z') << pin;
        row.driven |= uint8_t(c != '0') << pin; // an input reads its pull-up's 1
    }
    std::string_view rest = line.substr(at + 8);
    size_t notice = rest.find_first_not_of(" \t");
    if (notice != 0 && notice != std::string_view::npos && rest.substr(notice) == no_data) {
        row.no_data = true;
        row.read = row.low = 0xFF;
        return row;
    }
    for (uint8_t *field : {&row.read, &row.low}) {
        size_t bits = rest.find_first_not_of(" \t");
        if (bits == 0 || bits == std::string_view::npos)
            return std::nullopt;
        std::optional<uint8_t> value = parse_byte(rest.substr(bits, 8));
        if (!value)
            return std::nullopt;
        *field = *value;
        rest = rest.substr(bits + 8);
    }
    if (!rest.empty())
        return std::nullopt;
    return row;
}

} // namespace

std::string planned_row_text(const Step &step, int read, int low)
{
    std::string text = "\t";
    for (int pin = 7; pin >= 0; pin--)
        text += ((step.direction >> pin) & 1) ? char('0' + ((step.value >> pin) & 1)) : 'z';
    if (read < 0)
        return text + "\t" + std::string(no_data);
    return text + "\t" + bits_text(uint8_t(read)) + "\t" + bits_text(uint8_t(low));
}

void ReportReader::take_status()
{
    if (status_pending_)
        status_since_row_ = true;
    status_pending_ = false;
}

void ReportReader::note_status(std::string_view name)
{
    trail_.last_status = std::string(name);
    trail_.device_not_found = trail_.device_not_found || name == "FT_DEVICE_NOT_FOUND";
}

void ReportReader::add_row(Row row)
{
    row.failed_call = row.failed_call || status_since_row_;
    status_since_row_ = false;
    report_.rows.push_back(row);
}

// A line that only a new run prints, after the current report got as far as
// that line or further: the next report begins, and the current one is kept
// when it reached its count line.
void ReportReader::begin_report_if(bool ends_current)
{
    if (!ends_current)
        return;
    if (report_.errors) {
        last_complete_ = report_;
        last_complete_->judged = reports_;
    }
    report_ = Report{};
    awaiting_bits_.reset();
    status_pending_ = status_since_row_ = listed_ = false;
    reports_++;
}

void ReportReader::add_line(std::string_view line)
{
    for (size_t cr; (cr = line.find('\r')) != std::string_view::npos;) {
        read_line(line.substr(0, cr));
        line.remove_prefix(cr + 1);
        if (line.empty())
            return; // the CR of a CR LF
    }
    read_line(line);
}

void ReportReader::read_line(std::string_view line)
{
    line = line.substr(0, without_trailing_blanks(line.data(), line.size()));

    if (awaiting_bits_) {
        Row row = *awaiting_bits_;
        awaiting_bits_.reset();
        std::optional<uint8_t> read = parse_byte(line);
        if (read) {
            row.read = *read;
            add_row(row);
            return;
        }
        report_.broken_row = true;
    }

    // A status name stands for the next row unless the step it belongs to
    // names itself at once with its ERROR: line.
    if (status_pending_ && starts_with(line, "ERROR:"))
        status_pending_ = false;
    take_status();

    // After a planned set's name, its rows; "\t00000001\tno data ?!" is
    // wiretest's own row otherwise.
    std::optional<Row> planned_row = planned_ ? parse_planned_row(line) : std::nullopt;
    if (planned_row) {
        begin_report_if(report_.errors.has_value());
        report_.known_lines = true;
        add_row(*planned_row);
        return;
    }
    if (planned_ && line == unsettled_line) {
        report_.unsettled = report_.known_lines = true;
        return;
    }
    if (starts_with(line, planned_set_prefix)) {
        planned_ = pattern_set_named(line.substr(planned_set_prefix.size()));
        report_.known_lines = true;
        return;
    }

    size_t rest_at = 0;
    int driven = parse_row_start(line.data(), line.size(), &rest_at);
    if (driven >= 0) {
        std::string_view rest = line.substr(rest_at);
        std::optional<uint8_t> read = parse_byte(rest);
        // The read bits follow on the next line, after the notice, or
        // after a status name written while the row's first half waited.
        if (read || rest == no_data || is_status_name(rest)) {
            begin_report_if(report_.errors.has_value());
            if (is_status_name(rest))
                note_status(rest);
            report_.known_lines = true;
            if (read)
                add_row({uint8_t(driven), *read, false, false, true});
            else
                awaiting_bits_ = Row{uint8_t(driven), 0, rest == no_data, rest != no_data, true};
            return;
        }
    }
    if (is_status_name(line)) {
        note_status(line);
        report_.known_lines = true;
        status_pending_ = true;
        return;
    }
    if (starts_with(line, count_prefix)) {
        int count = parse_count_line(line.data(), line.size());
        if (count >= 0) {
            begin_report_if(report_.errors.has_value());
            report_.known_lines = true;
            report_.errors = count;
        }
        return;
    }
    if (starts_with(line, "ERROR:")) {
        if (starts_with(line, "ERROR: ")) {
            trail_.failed_step = std::string(line.substr(7));
            trail_.failed_status = trail_.last_status;
            trail_.last_status.clear();
        }
        report_.known_lines = true;
        report_.last_error = std::string(line);
        return;
    }
    if (starts_with(line, REPORT_LISTING_TEXT)) {
        begin_report_if(listed_ || report_.started || !report_.rows.empty() || report_.errors);
        listed_ = report_.known_lines = true;
        return;
    }
    if (starts_with(line, REPORT_START_TEXT)) {
        begin_report_if(report_.started || !report_.rows.empty() || report_.errors);
        report_.started = report_.known_lines = true;
        return;
    }
    if (starts_with(line, "cause: "))
        trail_.cause = std::string(line.substr(7)); // a station's board process, after its status name
    if (is_tool_line(line))
        report_.known_lines = true;
    else if (!line.empty())
        report_.unknown_lines = true;
}

// A row still waiting for its read bits was cut off with the report: it is
// simply missing.
Report ReportReader::finish() const
{
    Report result = report_;
    result.judged = reports_;
    if (!report_.errors && last_complete_)
        result = *last_complete_;
    result.reports = reports_;
    result.planned = planned_;
    return result;
}

Report read_report(std::string_view text)
{
    ReportReader reader;
    while (!text.empty()) {
        size_t end = text.find('\n');
        reader.add_line(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return reader.finish();
}

std::vector<Step> test_steps(Test test)
{
    switch (test) {
    case Test::locate: return pattern_steps(PatternSet::locate);
    case Test::deep: return pattern_steps(PatternSet::deep);
    default: break;
    }
    std::vector<Step> steps = pattern_steps(PatternSet::standard);
    if (test == Test::short_test)
        steps.erase(steps.begin(), steps.end() - SHORT_TEST_STEPS);
    return steps;
}

namespace {
// The byte a row shows as driven: the value, with inputs at their pull-up's 1.
uint8_t shown_driven(const Step &step) { return uint8_t(step.value | ~step.direction); }
} // namespace

std::vector<uint8_t> patterns(Test test)
{
    std::vector<uint8_t> driven;
    for (const Step &step : test_steps(test))
        driven.push_back(shown_driven(step));
    return driven;
}

const char *status_name(PinStatus status)
{
    switch (status) {
    case PinStatus::untested: return "untested";
    case PinStatus::ok: return "ok";
    case PinStatus::stuck_0: return "stuck-0";
    case PinStatus::stuck_1: return "stuck-1";
    case PinStatus::inverted: return "inverted";
    case PinStatus::reads_other: return "reads-other";
    case PinStatus::short_and: return "short-and";
    case PinStatus::short_or: return "short-or";
    case PinStatus::unexplained: return "unexplained";
    }
    return "";
}

const char *verdict_name(Verdict verdict)
{
    switch (verdict) {
    case Verdict::pass: return "pass";
    case Verdict::fail: return "fail";
    case Verdict::incomplete: return "incomplete";
    }
    return "";
}

const char *test_name(Test test)
{
    switch (test) {
    case Test::full: return "full";
    case Test::short_test: return "short";
    case Test::locate: return "locate";
    case Test::deep: return "deep";
    }
    return "";
}

std::array<PinDiagnosis, 8> classify_pins(const std::vector<Row> &rows)
{
    // Each pin's bits over the answered rows, as one bit per row.
    std::array<uint32_t, 8> driven{}, read{};
    uint32_t all = 0;
    int row_bit = 0;
    for (const Row &row : rows) {
        if (!row.answered)
            continue;
        for (int pin = 0; pin < 8; pin++) {
            driven[pin] |= uint32_t((row.driven >> pin) & 1) << row_bit;
            read[pin] |= uint32_t((row.read >> pin) & 1) << row_bit;
        }
        all |= 1u << row_bit;
        row_bit++;
    }

    std::array<PinDiagnosis, 8> pins{};
    auto partners = [&driven](int j, auto reads_as) {
        std::vector<int> found;
        for (int k = 0; k < 8; k++)
            if (k != j && reads_as(driven[k]))
                found.push_back(k);
        return found;
    };
    for (int j = 0; j < 8; j++) {
        PinDiagnosis &pin = pins[j];
        uint32_t r = read[j], d = driven[j];
        if (all == 0) {
            pin.status = PinStatus::untested;
        } else if (r == d) {
            pin.status = PinStatus::ok;
        } else if (r == 0) {
            pin.status = PinStatus::stuck_0;
        } else if (r == all) {
            pin.status = PinStatus::stuck_1;
        } else if (r == (~d & all)) {
            pin.status = PinStatus::inverted;
        } else if (!(pin.with = partners(j, [r](uint32_t dk) { return r == dk; })).empty()) {
            pin.status = PinStatus::reads_other;
        } else if (!(pin.with = partners(j, [r, d](uint32_t dk) { return r == (d & dk); })).empty()) {
            pin.status = PinStatus::short_and;
        } else if (!(pin.with = partners(j, [r, d](uint32_t dk) { return r == (d | dk); })).empty()) {
            pin.status = PinStatus::short_or;
        } else {
            pin.status = PinStatus::unexplained;
        }
    }

    // A short's partners are the pins it touches that are faulty themselves;
    // a partner that reads fine cannot be told from one that is not there.
    for (PinDiagnosis &pin : pins) {
        if (pin.status != PinStatus::short_and && pin.status != PinStatus::short_or)
            continue;
        std::vector<int> faulty;
        for (int k : pin.with)
            if (pins[k].status != PinStatus::ok)
                faulty.push_back(k);
        if (!faulty.empty())
            pin.with = faulty;
    }
    return pins;
}

void name_faults(Diagnosis &d)
{
    std::vector<Step> steps;
    std::vector<Observation> observed;
    for (const Row &row : d.rows)
        if (row.answered) {
            steps.push_back({row.driven, row.direction, row.read_back});
            observed.push_back({row.read, row.read_back ? row.low : uint8_t(0)});
        }
    d.candidates = candidates(steps, observed);
    d.confidence = d.candidates.empty()       ? Confidence::detected_only
                   : d.candidates.size() == 1 ? Confidence::located
                                              : Confidence::one_of_n;
}

std::string confidence_text(Confidence confidence, size_t candidates)
{
    switch (confidence) {
    case Confidence::none: return "";
    case Confidence::located: return "located";
    case Confidence::one_of_n: return "one of " + std::to_string(candidates);
    case Confidence::detected_only: return "detected only";
    }
    return "";
}

std::string confidence_text(const Diagnosis &d) { return confidence_text(d.confidence, d.candidates.size()); }

Diagnosis judge(const Report &report, bool naming)
{
    Diagnosis result;
    result.errors = report.errors;
    result.reports = report.reports;
    result.judged = report.judged;
    auto cannot_judge = [&result](Problem problem, std::string reason) {
        result.verdict = Verdict::incomplete;
        result.problem = problem;
        result.reason = std::move(reason);
        return result;
    };
    const std::vector<Row> &rows = report.rows;
    // Stopped (interrupted, or the process ended) once the rows were to come.
    bool stopped = report.started && !report.errors;
    std::string stopped_reason = "the test stopped after " + std::to_string(rows.size()) +
                                 (rows.size() == 1 ? " row" : " rows");

    if (rows.empty()) {
        if (!report.known_lines && report.unknown_lines)
            return cannot_judge(Problem::unreadable, "not a wiretest report: no line in it is one wiretest prints");
        if (stopped)
            return cannot_judge(Problem::incomplete, stopped_reason);
        std::string reason = "no rows: the test did not run";
        if (!report.last_error.empty())
            reason += "; last error: " + report.last_error;
        return cannot_judge(Problem::incomplete, reason);
    }

    if (rows[0].read_back) {
        if (report.planned == PatternSet::deep)
            result.test = Test::deep;
        else if (report.planned == PatternSet::locate)
            result.test = Test::locate;
    } else {
        for (Test test : {Test::full, Test::short_test})
            if (rows[0].driven == patterns(test)[0])
                result.test = test;
    }
    if (!result.test)
        return cannot_judge(Problem::unreadable,
                            "not a wiretest report: its first row drives " + bits_text(rows[0].driven));
    std::vector<Step> sequence = test_steps(*result.test);
    if (rows.size() > sequence.size())
        return cannot_judge(Problem::unreadable, "not a wiretest report: more rows than one run drives");
    for (size_t i = 0; i < rows.size(); i++)
        if (rows[i].driven != shown_driven(sequence[i]) || rows[i].direction != sequence[i].direction ||
            rows[i].read_back != sequence[i].read_back)
            return cannot_judge(Problem::unreadable, "not a wiretest report: row " + std::to_string(i + 1) +
                                                         " drives " + bits_text(rows[i].driven) + ", not " +
                                                         bits_text(shown_driven(sequence[i])));
    if (report.broken_row)
        return cannot_judge(Problem::unreadable, "not a wiretest report: a row without its read bits");
    if (rows.size() < sequence.size() && stopped)
        return cannot_judge(Problem::incomplete, stopped_reason);
    if (rows.size() < sequence.size())
        return cannot_judge(Problem::incomplete, "rows missing: the report ends after " +
                                                     std::to_string(rows.size()) + " of " +
                                                     std::to_string(sequence.size()) + " rows");
    if (!report.errors)
        return cannot_judge(Problem::incomplete, "rows missing: no count line after the rows");

    result.rows = rows;
    for (Row &row : result.rows) {
        row.answered = !row.no_data && !row.failed_call;
        // A good board reads back what it drives, inputs at their pull-ups' 1.
        result.failed_rows += row.driven != row.read || (row.read_back && row.low != row.driven);
    }
    Row &last = result.rows.back();
    int n = *report.errors;
    // A read that failed with a status, and no status name in the report to
    // say so, shows as 11111111 against 11111111 and counts as failed.
    if (last.answered && last.driven == 0xFF && last.read == 0xFF && n == result.failed_rows + 1)
        last.answered = false;
    bool last_unanswered_equal = !last.answered && last.driven == last.read;
    // The one row that can fail with equal halves is the last, when its read
    // got no answer; a failed drive before an answered read counts nothing.
    bool consistent = n == result.failed_rows + int(last_unanswered_equal) ||
                      (last_unanswered_equal && !last.no_data && n == result.failed_rows);
    if (!consistent) {
        result.rows.clear();
        return cannot_judge(Problem::inconsistent, "the count does not match the rows");
    }

    if (report.unsettled)
        return cannot_judge(Problem::incomplete,
                            "the undriven inputs did not settle in the wait before their read (pull-ups weak or "
                            "missing): the wiring was not diagnosed");
    result.pins = classify_pins(result.rows);
    // Only an answered row measures the board. When every failed row went
    // unanswered (an unplug, a silent chip), the board was not measured, and
    // a bad cable must not scrap a good board.
    bool wiring_fault = std::any_of(result.pins.begin(), result.pins.end(), [](const PinDiagnosis &pin) {
        return pin.status != PinStatus::ok && pin.status != PinStatus::untested;
    });
    if (wiring_fault) {
        result.verdict = Verdict::fail;
        if (naming)
            name_faults(result);
    } else if (n == 0) {
        result.verdict = Verdict::pass;
    } else {
        auto unanswered = std::count_if(result.rows.begin(), result.rows.end(),
                                        [](const Row &row) { return !row.answered; });
        result.verdict = Verdict::incomplete;
        result.problem = Problem::unanswered;
        result.reason = std::to_string(unanswered) + (unanswered == 1 ? " row" : " rows") +
                        " without an answer and no wiring fault among the answered rows: test again";
    }
    return result;
}

} // namespace diagnose
