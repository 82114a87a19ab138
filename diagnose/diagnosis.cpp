// Reading a wiretest report, judging it, and classifying its pins.
#include "diagnosis.h"

#include "test_driver/wiring_patterns.h"

#include <algorithm>

namespace diagnose {
namespace {

constexpr std::string_view count_prefix = "Testing complete, errors: ";
constexpr std::string_view no_data = "no data ?!";

// Eight characters of 0 and 1, most significant pin first, as wiretest prints a byte.
std::optional<uint8_t> parse_bits(std::string_view text)
{
    if (text.size() != 8)
        return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c != '0' && c != '1')
            return std::nullopt;
        value = value << 1 | unsigned(c == '1');
    }
    return uint8_t(value);
}

std::string bits_text(uint8_t value)
{
    std::string text;
    for (int mask = 0x80; mask; mask >>= 1)
        text += (value & mask) ? '1' : '0';
    return text;
}

bool starts_with(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// A status name as the tool prints it: FT_ and capitals, alone on its line.
bool is_status_name(std::string_view line)
{
    if (!starts_with(line, "FT_") || line.size() == 3)
        return false;
    return std::all_of(line.begin() + 3, line.end(), [](char c) { return (c >= 'A' && c <= 'Z') || c == '_'; });
}

// A non-negative decimal count, as %i prints one.
std::optional<int> parse_count(std::string_view text)
{
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Lines the tool prints around its rows: the listing, banners, setup, usage.
bool is_tool_line(std::string_view line)
{
    for (std::string_view prefix : {"Select device:", "Device ", "SUCCESS (", "START TESTING",
                                    "======================================================", "USAGE:"})
        if (starts_with(line, prefix))
            return true;
    return false;
}

} // namespace

void ReportReader::take_status()
{
    if (status_pending_)
        status_since_row_ = true;
    status_pending_ = false;
}

void ReportReader::add_row(Row row)
{
    row.failed_call = row.failed_call || status_since_row_;
    status_since_row_ = false;
    if (report_.errors)
        report_.rows_after_count = true;
    report_.rows.push_back(row);
}

void ReportReader::add_line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);

    if (awaiting_bits_) {
        Row row = *awaiting_bits_;
        awaiting_bits_.reset();
        std::optional<uint8_t> read = parse_bits(line);
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

    if (line.size() >= 10 && line[0] == '\t' && line[9] == '\t') {
        std::optional<uint8_t> driven = parse_bits(line.substr(1, 8));
        std::string_view rest = line.substr(10);
        if (driven) {
            if (std::optional<uint8_t> read = parse_bits(rest)) {
                report_.known_lines = true;
                add_row({*driven, *read, false, false, true});
                return;
            }
            // The read bits follow on the next line, after the notice, or
            // after a status name written while the row's first half waited.
            if (rest == no_data || is_status_name(rest)) {
                report_.known_lines = true;
                awaiting_bits_ = Row{*driven, 0, rest == no_data, rest != no_data, true};
                return;
            }
        }
    }
    if (is_status_name(line)) {
        report_.known_lines = true;
        status_pending_ = true;
        return;
    }
    if (starts_with(line, count_prefix)) {
        if (std::optional<int> count = parse_count(line.substr(count_prefix.size()))) {
            report_.known_lines = true;
            if (report_.errors)
                report_.rows_after_count = true;
            report_.errors = count;
        }
        return;
    }
    if (starts_with(line, "ERROR:")) {
        report_.known_lines = true;
        report_.last_error = std::string(line);
        return;
    }
    if (is_tool_line(line))
        report_.known_lines = true;
    else if (!line.empty())
        report_.unknown_lines = true;
}

// A row still waiting for its read bits was cut off with the report: it is
// simply missing.
Report ReportReader::finish() const { return report_; }

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

std::vector<uint8_t> patterns(Test test)
{
    int first = test == Test::short_test ? FULL_TEST_STEPS - SHORT_TEST_STEPS : 0;
    return std::vector<uint8_t>(wiring_patterns + first, wiring_patterns + FULL_TEST_STEPS);
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

const char *test_name(Test test) { return test == Test::full ? "full" : "short"; }

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

Diagnosis judge(const Report &report)
{
    Diagnosis result;
    result.errors = report.errors;
    auto cannot_judge = [&result](Problem problem, std::string reason) {
        result.verdict = Verdict::incomplete;
        result.problem = problem;
        result.reason = std::move(reason);
        return result;
    };
    const std::vector<Row> &rows = report.rows;

    if (rows.empty()) {
        if (!report.known_lines && report.unknown_lines)
            return cannot_judge(Problem::unreadable, "not a wiretest report: no line in it is one wiretest prints");
        std::string reason = "no rows: the test did not run";
        if (!report.last_error.empty())
            reason += "; last error: " + report.last_error;
        return cannot_judge(Problem::incomplete, reason);
    }

    for (Test test : {Test::full, Test::short_test})
        if (rows[0].driven == patterns(test)[0])
            result.test = test;
    if (!result.test)
        return cannot_judge(Problem::unreadable,
                            "not a wiretest report: its first row drives " + bits_text(rows[0].driven));
    std::vector<uint8_t> sequence = patterns(*result.test);
    if (report.rows_after_count)
        return cannot_judge(Problem::unreadable, "not a wiretest report: rows after its count line");
    if (rows.size() > sequence.size())
        return cannot_judge(Problem::unreadable, "not a wiretest report: more rows than one run drives");
    for (size_t i = 0; i < rows.size(); i++)
        if (rows[i].driven != sequence[i])
            return cannot_judge(Problem::unreadable, "not a wiretest report: row " + std::to_string(i + 1) +
                                                         " drives " + bits_text(rows[i].driven) + ", not " +
                                                         bits_text(sequence[i]));
    if (report.broken_row)
        return cannot_judge(Problem::unreadable, "not a wiretest report: a row without its read bits");
    if (rows.size() < sequence.size())
        return cannot_judge(Problem::incomplete, "rows missing: the report ends after " +
                                                     std::to_string(rows.size()) + " of " +
                                                     std::to_string(sequence.size()) + " rows");
    if (!report.errors)
        return cannot_judge(Problem::incomplete, "rows missing: no count line after the rows");

    result.rows = rows;
    for (Row &row : result.rows) {
        row.answered = !row.no_data && !row.failed_call;
        result.failed_rows += row.driven != row.read;
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

    result.pins = classify_pins(result.rows);
    result.verdict = n == 0 ? Verdict::pass : Verdict::fail;
    return result;
}

} // namespace diagnose
