// What a board's result says in words, and what the results come to.
#include "board_result.h"

#include "printable.h"
#include "utc_time.h"

#include <cstring>
#include <ctime>
#include <utility>

#ifndef WIRETEST_STATION_VERSION
#define WIRETEST_STATION_VERSION "unknown"
#endif

namespace station {

const char version[] = WIRETEST_STATION_VERSION;

namespace {

using companions::starts_with;

} // namespace

std::string utc_time(int64_t millis, const char *format)
{
    const std::tm utc = utc_calendar(std::time_t(millis / 1000));
    char text[64];
    std::strftime(text, sizeof text, format, &utc);
    return text;
}

const char *outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::pass: return "PASS";
    case Outcome::fail: return "FAIL";
    case Outcome::error: return "ERROR";
    }
    return "ERROR";
}

diagnose::PinVerdict soak_pin_verdict(const Soak &soak, size_t pin, diagnose::PinVerdict shown)
{
    const PinSoak &p = soak.pins[pin];
    if (p.failures == 0) {
        diagnose::PinVerdict ok;
        ok.status = "ok";
        return ok;
    }
    if (p.failures == soak.runs) {
        shown.status = p.failed_class;
        return shown;
    }
    // The shown run is its first failed one: what it named of the pin stands,
    // when the pin failed in it.
    diagnose::PinVerdict v = shown.faulty() ? shown : diagnose::PinVerdict{};
    v.status = "intermittent";
    v.fault_class = p.failed_class;
    v.words = "intermittent: " + p.failed_class + " in " + std::to_string(p.failures) + " of " +
              std::to_string(soak.runs) + " runs";
    return v;
}

void decide_pins(BoardResult &result)
{
    result.pins.clear();
    if (!result.rows_ran)
        return;
    std::array<diagnose::PinVerdict, 8> shown = diagnose::pin_verdicts(result.diagnosis);
    for (size_t pin = 0; pin < shown.size(); pin++)
        result.pins.push_back(result.soak ? soak_pin_verdict(*result.soak, pin, shown[pin]) : shown[pin]);
}

std::string pin_line(size_t pin, const diagnose::PinVerdict &verdict)
{
    return "pin " + std::to_string(pin) + ": " + verdict.words + diagnose::confidence_note(verdict);
}

std::vector<std::string> pin_lines(const BoardResult &result)
{
    std::vector<std::string> lines;
    for (size_t pin = 0; pin < result.pins.size(); pin++)
        if (result.pins[pin].status != "ok")
            lines.push_back(pin_line(pin, result.pins[pin]));
    return lines;
}

std::vector<std::string> pin_statuses(const BoardResult &result)
{
    std::vector<std::string> statuses;
    for (const diagnose::PinVerdict &pin : result.pins)
        statuses.push_back(pin.status);
    return statuses;
}

int exit_status(const std::vector<BoardResult> &results)
{
    bool failed = false, errors = false;
    for (const BoardResult &r : results) {
        errors = errors || r.outcome == Outcome::error;
        failed = failed || r.outcome == Outcome::fail;
    }
    return errors ? exit_test_again : failed ? exit_failed : exit_passed;
}

std::string label_reused_note(const BoardResult &result)
{
    if (!result.label_reused)
        return "";
    const EarlierTest &e = *result.label_reused;
    std::string where = e.location + " " + e.channel;
    if (!e.slot.empty())
        where = "slot " + companions::printable(e.slot) + " (" + where + ")";
    if (e.other_station)
        where += " of station " + companions::printable(e.station_id);
    return "label " + companions::printable(result.label) + " already used: " +
           (e.outcome.empty() ? "under test" : e.outcome) + " at " + where + ", " +
           utc_time(e.start_millis, "%Y-%m-%d %H:%M:%S UTC");
}

const char unplugged_reason[] = "unplugged during the test";

bool board_left(const std::string &reason)
{
    // A board gone before its test opened it is not found there either.
    return starts_with(reason, unplugged_reason) || reason.find("(FT_DEVICE_NOT_FOUND)") != std::string::npos;
}

// What the operator does with a board whose test went wrong, by how its
// reason begins; any other reason: test it again.
const char *what_to_do(const std::string &reason)
{
    static const std::pair<const char *, const char *> advice[] = {
        {unplugged_reason, "plug it in again"},
        {"the test did not finish", "unplug it and test it again"}, // a hung chip needs its power cycled
    };
    for (const auto &a : advice)
        if (reason.compare(0, std::strlen(a.first), a.first) == 0)
            return a.second;
    return "test it again";
}

} // namespace station
