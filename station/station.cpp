#include "station.h"

#include "device_link/chip_kinds.h"
#include "device_link/ft_locations.h"
#include "device_link/status_report.h"
#include "test_driver/report_format.h"
#include "render.h"

#include <nlohmann/json.hpp>
#include <rapidxml/rapidxml.hpp>
#include <rapidxml/rapidxml_print.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifndef WIRETEST_STATION_VERSION
#define WIRETEST_STATION_VERSION "unknown"
#endif

namespace station {

const char version[] = WIRETEST_STATION_VERSION;

namespace {

bool starts_with(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// The status name a line ends with, as the engine prints them (alone on a
// line, or after a row's first half): "FT_" and capitals.
std::string status_at_end(const std::string &line)
{
    std::string text = line;
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    size_t start = text.rfind("FT_");
    if (start == std::string::npos || (start > 0 && text[start - 1] != '\t'))
        return {};
    for (size_t i = start + 3; i < text.size(); i++)
        if (!(std::isupper(static_cast<unsigned char>(text[i])) || text[i] == '_'))
            return {};
    return text.substr(start);
}

std::string utc_time(int64_t millis, const char *format)
{
    std::time_t seconds = std::time_t(millis / 1000);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    std::strftime(text, sizeof text, format, &utc);
    return text;
}

std::string system_error_text(int error) { return std::error_code(error, std::generic_category()).message(); }

} // namespace

// Text from a chip's EEPROM or a report, made safe for a terminal, JSON and
// XML: every control character but the tab, DEL, the C1 controls, the
// noncharacters and every byte that is not part of well-formed UTF-8 becomes '?'.
std::string printable(const std::string &text)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : char(c);
            i++;
            continue;
        }
        // Length and smallest value of the sequence c starts, as UTF-8 allows it.
        size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        uint32_t value = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        bool ok = length > 0 && i + length <= text.size();
        for (size_t k = 1; ok && k < length; k++) {
            auto next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            value = (value << 6) | (next & 0x3F);
        }
        ok = ok && !(length == 3 && value < 0x800) && !(length == 4 && (value < 0x10000 || value > 0x10FFFF)) &&
             !(value >= 0xD800 && value <= 0xDFFF);
        if (!ok) {
            out += '?';
            i++;
            continue;
        }
        // XML allows neither C1 controls nor noncharacters, and no reader
        // of a record has a use for them.
        bool c1_control = value <= 0x9F;
        bool noncharacter = (value >= 0xFDD0 && value <= 0xFDEF) || (value & 0xFFFE) == 0xFFFE;
        if (c1_control || noncharacter)
            out += '?';
        else
            out.append(text, i, length);
        i += length;
    }
    return out;
}

bool list_channels(std::vector<Channel> &channels, std::string &error)
{
    channels.clear();
    std::vector<ft_channel_info> list(16);
    for (;;) {
        uint32_t count = 0;
        FT_STATUS status = ft_list_channels(list.data(), uint32_t(list.size()), &count);
        if (status != FT_OK) {
            const char *name = ft_status_name(status);
            error = "the driver could not list the chips (" +
                    (name ? std::string(name) : "status " + std::to_string(status)) + ")";
            return false;
        }
        if (count <= list.size()) {
            list.resize(count);
            break;
        }
        list.resize(count); // more arrived than fitted: ask again
    }
    for (const ft_channel_info &info : list) {
        Channel channel;
        channel.location = printable(std::string(info.location, strnlen(info.location, sizeof info.location)));
        channel.channel = info.channel;
        channel.serial = std::string(info.serial, strnlen(info.serial, sizeof info.serial));
        channel.chip = printable(std::string(info.chip, strnlen(info.chip, sizeof info.chip)));
        channel.openable = info.access == FT_OK;
        channel.instance = info.instance;
        channel.access_note =
            printable(std::string(info.access_note, strnlen(info.access_note, sizeof info.access_note)));
        channels.push_back(channel);
    }
    return true;
}

std::string listing_line(const Channel &channel)
{
    std::string line = channel.location + " " + channel.channel + " " +
                       (channel.serial.empty() ? "-" : printable(channel.serial)) + " " + channel.chip;
    std::vector<std::string> notes;
    if (!channel.openable)
        notes.push_back(channel.access_note.empty() ? "cannot be opened" : channel.access_note);
    // Its MPSSE channels have no high byte: what a high-byte read answers
    // there says nothing about the wiring.
    if (!has_high_byte(channel.chip))
        notes.emplace_back("no high GPIO byte: not a wiring result");
    for (size_t i = 0; i < notes.size(); i++)
        line += (i == 0 ? " (" : "; ") + notes[i];
    return notes.empty() ? line : line + ")";
}

std::string listing_json(const std::vector<Channel> &channels)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Channel &channel : channels) {
        nlohmann::ordered_json entry = {{"location", channel.location},
                                        {"channel", std::string(1, channel.channel)},
                                        {"serial", printable(channel.serial)},
                                        {"chip", channel.chip}};
        if (!channel.openable)
            entry["access"] = channel.access_note.empty() ? "cannot be opened" : channel.access_note;
        list.push_back(entry);
    }
    return list.dump();
}

bool is_location(const std::string &text)
{
    auto digits = [&](size_t from, size_t to) {
        return from < to && std::all_of(text.begin() + long(from), text.begin() + long(to),
                                        [](char c) { return c >= '0' && c <= '9'; });
    };
    if (text.empty() || text.size() >= FT_LOCATION_SIZE)
        return false;
    // A Windows location id: "0x" and hex digits.
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return std::all_of(text.begin() + 2, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    // BUS-PORT[.PORT...]
    size_t dash = text.find('-');
    if (dash == std::string::npos || !digits(0, dash))
        return false;
    for (size_t from = dash + 1;;) {
        size_t dot = text.find('.', from);
        size_t to = dot == std::string::npos ? text.size() : dot;
        if (!digits(from, to))
            return false;
        if (dot == std::string::npos)
            return true;
        from = dot + 1;
    }
}

bool has_high_byte(const std::string &chip)
{
    const chip_facts *facts = chip_by_name(chip.c_str());
    return !facts || facts->high_byte;
}

std::string untestable_reason(const Channel &channel)
{
    if (has_high_byte(channel.chip))
        return {};
    return "the " + channel.chip + " at " + channel.location + " has no high GPIO byte: its wiring cannot be tested";
}

std::string passed_over_note(const Channel &channel)
{
    return "passed over the " + channel.chip + " at " + channel.location + " " + channel.channel +
           ": it has no high GPIO byte, its wiring cannot be tested";
}

std::vector<Target> select_targets(const std::vector<Channel> &channels, const Selection &selection,
                                   std::vector<std::string> *passed_over)
{
    std::vector<Target> targets;
    auto add = [&](const Target &target) {
        for (const Target &t : targets)
            if (target.error.empty() && t.error.empty() && t.board.location == target.board.location &&
                t.board.channel == target.board.channel)
                return; // asked for twice
        targets.push_back(target);
    };
    const std::string letter(1, selection.channel);
    if (selection.all) {
        bool skipped = false;
        for (const Channel &c : channels) {
            if (c.channel != selection.channel)
                continue;
            if (!untestable_reason(c).empty()) {
                skipped = true;
                if (passed_over)
                    passed_over->push_back(passed_over_note(c));
                continue;
            }
            add(Target{c, ""});
        }
        if (targets.empty())
            add(Target{Channel{"", selection.channel, "", "", true, ""},
                       channels.empty() ? "no chip is plugged in"
                       : skipped        ? "no chip that can be tested has a channel " + letter
                                        : "no chip has a channel " + letter});
    }
    for (const std::string &port : selection.ports) {
        Target target{Channel{printable(port), selection.channel, "", "", true, ""}, ""};
        bool plugged = false;
        for (const Channel &c : channels) {
            plugged = plugged || c.location == port;
            if (c.location == port && c.channel == selection.channel)
                target.board = c;
        }
        if (target.board.chip.empty())
            target.error = plugged ? "the chip at " + printable(port) + " has no channel " + letter
                                   : "nothing is plugged at " + printable(port);
        else
            target.error = untestable_reason(target.board);
        add(target);
    }
    for (const std::string &serial : selection.serials) {
        std::vector<const Channel *> found;
        for (const Channel &c : channels)
            if (c.serial == serial && c.channel == selection.channel)
                found.push_back(&c);
        Target target{Channel{"", selection.channel, serial, "", true, ""}, ""};
        if (found.size() == 1) {
            target.board = *found[0];
            target.error = untestable_reason(target.board);
        } else if (found.empty()) {
            target.error = "no chip has the serial number " + printable(serial);
        } else {
            target.error = "the serial number " + printable(serial) + " is on more than one chip:";
            for (size_t i = 0; i < found.size(); i++)
                target.error += (i == 0 ? " " : ", ") + found[i]->location;
        }
        add(target);
    }
    return targets;
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

void BoardReport::add_line(const std::string &text)
{
    // A Windows child's lines end in CR LF.
    std::string line = text;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    reader_.add_line(line);
    std::string status = status_at_end(line);
    if (!status.empty()) {
        last_status_ = status;
        // The board was listed when its test began: one that cannot be found
        // from then on, at the open or later, went away during the test.
        unplugged_ = unplugged_ || status == "FT_DEVICE_NOT_FOUND";
    }
    if (starts_with(line, "ERROR: ")) {
        failed_step_ = line.substr(7);
        failed_status_ = last_status_;
        last_status_.clear();
    }
    if (starts_with(line, "cause: "))
        cause_ = line.substr(7);
    size_t rest = 0;
    if (parse_row_start(line.data(), line.size(), &rest) >= 0)
        rows_++;
    if (parse_count_line(line.data(), line.size()) >= 0)
        end_run();
}

// A run's rows came to their count line: judge them and count per pin.
void BoardReport::end_run()
{
    diagnose::Diagnosis d = diagnose::judge(reader_.finish());
    reader_ = diagnose::ReportReader{};
    int run = ++soak_.runs;
    if (d.verdict == diagnose::Verdict::incomplete) {
        if (soak_.incomplete_runs++ == 0)
            first_incomplete_ = d.reason;
        if (!shown_)
            shown_ = d;
        return;
    }
    bool failed = d.verdict == diagnose::Verdict::fail;
    if (!shown_ || (failed && failed_runs_ == 0))
        shown_ = d;
    failed_runs_ += failed;
    for (size_t pin = 0; pin < 8; pin++) {
        diagnose::PinStatus status = d.pins[pin].status;
        bool not_ok = status != diagnose::PinStatus::ok && status != diagnose::PinStatus::untested;
        PinSoak &p = soak_.pins[pin];
        if (run > 1 && not_ok != failed_last_[pin])
            p.flips++;
        failed_last_[pin] = not_ok;
        if (!not_ok)
            continue;
        if (p.failures++ == 0)
            p.failed_class = diagnose::status_name(status);
        if (p.failed_runs.size() < PinSoak::failed_runs_kept)
            p.failed_runs.push_back(run);
    }
}

void BoardReport::conclude(BoardResult &result, int exit_status, bool soak, const std::string &ending) const
{
    if (soak_.runs == 0 || (!soak && exit_status != 0)) {
        result.rows_ran = false;
        result.outcome = Outcome::error;
        // The failed step's line and its status name; a step without a line
        // of its own (the synchronisation) leaves its status name alone.
        std::string status = failed_step_.empty() ? last_status_ : failed_status_;
        // The library's words for the failure; an unplug says all itself.
        if (!status.empty() && !cause_.empty() && !unplugged_)
            status += " (" + printable(cause_) + ")";
        if (!failed_step_.empty())
            result.reason = printable(failed_step_) + (status.empty() ? "" : " (" + status + ")");
        else if (!status.empty())
            result.reason = "a device call failed (" + status + ")";
        else
            result.reason = exit_status < 0 ? "the test could not be started"
                                            : "the test ended without its report (" +
                                                  (ending.empty() ? "exit status " + std::to_string(exit_status)
                                                                  : ending) +
                                                  ")";
        if (unplugged_)
            result.reason = "unplugged during the test (" +
                            (failed_step_.empty() ? status : result.reason) + ")";
        return;
    }
    result.rows_ran = true;
    result.diagnosis = *shown_;
    if (soak)
        result.soak = soak_;
    if (soak_.incomplete_runs > 0) {
        // A row without an answer measured nothing: the board is to be
        // tested again, not judged.
        result.outcome = Outcome::error;
        result.reason = unplugged_ ? "unplugged during the test (FT_DEVICE_NOT_FOUND)" : printable(first_incomplete_);
        if (soak)
            result.reason += " (" + std::to_string(soak_.incomplete_runs) + " of " + std::to_string(soak_.runs) +
                             " runs incomplete)";
        return;
    }
    result.outcome = failed_runs_ > 0 ? Outcome::fail : Outcome::pass;
}

std::vector<std::string> soak_pin_lines(const BoardResult &result)
{
    std::vector<std::string> lines;
    if (!result.soak)
        return lines;
    std::vector<std::string> words = pin_lines(result.diagnosis);
    const Soak &soak = *result.soak;
    for (size_t pin = 0; pin < 8; pin++) {
        const PinSoak &p = soak.pins[pin];
        if (p.failures == 0)
            continue;
        std::string prefix = "pin " + std::to_string(pin) + ":";
        if (p.failures < soak.runs) {
            lines.push_back(prefix + " intermittent: " + p.failed_class + " in " + std::to_string(p.failures) +
                            " of " + std::to_string(soak.runs) + " runs");
            continue;
        }
        for (const std::string &line : words)
            if (starts_with(line, prefix.c_str()))
                lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> pin_lines(const diagnose::Diagnosis &diagnosis)
{
    std::vector<std::string> lines;
    std::string text = diagnose::words(diagnosis);
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (starts_with(line, "pin "))
            lines.push_back(line);
    }
    return lines;
}

std::string result_line(const BoardResult &result)
{
    const Channel &b = result.board;
    std::string line = std::string(outcome_name(result.outcome)) + " " + (b.location.empty() ? "-" : b.location) +
                       " " + b.channel + " " + (b.serial.empty() ? "-" : printable(b.serial));
    // A log is matched to the boards' labels by it.
    if (!result.label.empty())
        line += " label: " + printable(result.label);
    if (result.soak)
        line += " runs: " + std::to_string(result.soak->runs);
    else if (result.rows_ran && result.diagnosis.errors)
        line += " errors: " + std::to_string(*result.diagnosis.errors);
    if (result.outcome == Outcome::fail) {
        std::vector<std::string> pins = result.soak ? soak_pin_lines(result) : pin_lines(result.diagnosis);
        for (size_t i = 0; i < pins.size(); i++)
            line += (i == 0 ? ": " : "; ") + pins[i];
    } else if (result.outcome == Outcome::error) {
        line += ": " + result.reason;
    }
    return line;
}

std::string record_json(const BoardResult &result, const RunContext &context)
{
    nlohmann::ordered_json record;
    record["dut_id"] = printable(result.dut_id());
    record["station_id"] = printable(context.station_id);
    record["location"] = result.board.location;
    record["channel"] = std::string(1, result.board.channel);
    record["serial"] = printable(result.board.serial);
    record["chip"] = result.board.chip;
    record["test"] = context.short_test ? "short" : "full";
    record["mode"] = context.fast ? "fast" : context.short_waits ? "delay" : "normal";
    record["start_time_millis"] = result.start_millis;
    record["end_time_millis"] = result.end_millis;
    record["outcome"] = outcome_name(result.outcome);
    if (result.rows_ran && result.diagnosis.errors)
        record["errors"] = *result.diagnosis.errors;
    if (result.rows_ran) {
        // The rows and pins as wiretest-diagnose --json gives them.
        nlohmann::ordered_json diagnosis = nlohmann::ordered_json::parse(diagnose::json(result.diagnosis));
        for (const char *key : {"rows", "pins"})
            if (diagnosis.contains(key))
                record[key] = diagnosis[key];
    }
    if (result.soak) {
        const Soak &soak = *result.soak;
        record["runs"] = soak.runs;
        nlohmann::ordered_json &pins = record["pins"];
        for (size_t pin = 0; pin < 8 && pin < pins.size(); pin++) {
            const PinSoak &p = soak.pins[pin];
            pins[pin]["failures"] = p.failures;
            pins[pin]["flips"] = p.flips;
            if (p.failures > 0 && p.failures < soak.runs) {
                pins[pin]["status"] = "intermittent";
                pins[pin]["class"] = p.failed_class;
                pins[pin]["failed_runs"] = p.failed_runs;
                pins[pin]["failed_runs_cut"] = size_t(p.failures) > p.failed_runs.size();
            } else if (p.failures == soak.runs && soak.runs > 0) {
                pins[pin]["status"] = p.failed_class;
            }
        }
    }
    if (result.outcome == Outcome::error)
        record["reason"] = result.reason;
    record["version"] = version;
    return record.dump();
}

namespace {

// text with every character but letters, digits, '-', '_' and '.' made
// '_', cut to at most limit bytes.
std::string file_name_part(const std::string &text, size_t limit)
{
    std::string part = text.substr(0, limit);
    for (char &c : part)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            c = '_';
    return part;
}

// FNV-1a: a short mark of a dut_id that its file name could not keep whole.
std::string short_hash(const std::string &text)
{
    uint32_t hash = 2166136261u;
    for (char c : text)
        hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[9];
    snprintf(hex, sizeof hex, "%08x", unsigned(hash));
    return hex;
}

} // namespace

std::string record_file_name(const BoardResult &result)
{
    const size_t dut_limit = 64;
    std::string dut = result.dut_id();
    std::string name = file_name_part(dut, dut_limit);
    if (!name.empty() && (name[0] == '-' || name[0] == '.'))
        name[0] = '_'; // neither an option to a shell's tools nor a hidden file
    // Two dut_ids that come to one name, "a/b" and "a_b", keep files of their own.
    if (name != dut)
        name += "-" + short_hash(dut);
    name += "_" + file_name_part(result.board.location, 32) + "_" + result.board.channel + "_" +
            utc_time(result.start_millis, "%Y%m%dT%H%M%S") + "." +
            std::to_string(1000 + result.start_millis % 1000).substr(1) + "Z";
    if (name[0] == '-' || name[0] == '.')
        name[0] = '_';
    return name + ".json";
}

std::string junit_xml(const std::vector<BoardResult> &results, const RunContext &context)
{
    using namespace rapidxml;
    xml_document<> doc;
    auto text = [&](const std::string &s) { return doc.allocate_string(s.c_str()); };
    auto element = [&](xml_node<> *parent, const char *name) {
        xml_node<> *node = doc.allocate_node(node_element, name);
        parent->append_node(node);
        return node;
    };
    // Whatever a report held, the file stays well-formed XML.
    auto attribute = [&](xml_node<> *node, const char *name, const std::string &value) {
        node->append_attribute(doc.allocate_attribute(name, text(printable(value))));
    };
    // Some readers show the message attribute, some only the element's text.
    auto described = [&](xml_node<> *node, const std::string &message) {
        attribute(node, "message", message);
        node->value(text(printable(message)));
    };
    // A dut_id shared by several boards names each suite with its board's
    // place too, so that every suite's name is one of its own.
    std::vector<std::string> names;
    for (const BoardResult &result : results) {
        std::string name = printable(result.dut_id());
        size_t sharing = 0;
        for (const BoardResult &other : results)
            sharing += other.dut_id() == result.dut_id();
        if (sharing > 1)
            name += " (" + (result.board.location.empty() ? "-" : result.board.location) + " " +
                    result.board.channel + ")";
        std::string unique = name;
        for (int n = 2; std::find(names.begin(), names.end(), unique) != names.end(); n++)
            unique = name + " #" + std::to_string(n);
        names.push_back(unique);
    }
    auto seconds = [](int64_t millis) {
        char s[32];
        snprintf(s, sizeof s, "%.3f", double(millis) / 1000.0);
        return std::string(s);
    };

    xml_node<> *declaration = doc.allocate_node(node_declaration);
    attribute(declaration, "version", "1.0");
    attribute(declaration, "encoding", "UTF-8");
    doc.append_node(declaration);
    xml_node<> *suites = element(&doc, "testsuites");
    attribute(suites, "name", "wiretest-station");
    int all_tests = 0, all_failures = 0, all_errors = 0, all_skipped = 0;
    int64_t all_millis = 0;
    for (size_t index = 0; index < results.size(); index++) {
        const BoardResult &result = results[index];
        const std::string dut = printable(result.dut_id());
        xml_node<> *suite = element(suites, "testsuite");
        int tests = 0, failures = 0, errors = 0, skipped = 0;
        int64_t millis = result.end_millis - result.start_millis;
        xml_node<> *properties = element(suite, "properties");
        const std::pair<const char *, std::string> property_values[] = {
            {"location", result.board.location},
            {"channel", std::string(1, result.board.channel)},
            {"serial", printable(result.board.serial)}};
        for (const auto &p : property_values) {
            xml_node<> *property = element(properties, "property");
            attribute(property, "name", p.first);
            attribute(property, "value", p.second);
        }
        if (result.outcome == Outcome::error) {
            xml_node<> *testcase = element(suite, "testcase");
            attribute(testcase, "name", "test");
            attribute(testcase, "classname", dut);
            attribute(testcase, "time", seconds(millis));
            xml_node<> *error = element(testcase, "error");
            described(error, result.reason);
            attribute(error, "type", "ERROR");
            tests = errors = 1;
        } else {
            std::vector<std::string> lines = result.soak ? soak_pin_lines(result) : pin_lines(result.diagnosis);
            for (int pin = 0; pin < 8; pin++) {
                xml_node<> *testcase = element(suite, "testcase");
                attribute(testcase, "name", "pin " + std::to_string(pin));
                attribute(testcase, "classname", dut);
                attribute(testcase, "time", "0");
                tests++;
                diagnose::PinStatus status = result.diagnosis.pins[size_t(pin)].status;
                bool soak_failed = result.soak && result.soak->pins[size_t(pin)].failures > 0;
                if (status == diagnose::PinStatus::ok && !soak_failed)
                    continue;
                if (status == diagnose::PinStatus::untested) {
                    element(testcase, "skipped");
                    skipped++;
                    continue;
                }
                std::string message, prefix = "pin " + std::to_string(pin) + ": ";
                for (const std::string &line : lines)
                    if (starts_with(line, prefix.c_str()))
                        message = line.substr(prefix.size());
                xml_node<> *failure = element(testcase, "failure");
                described(failure, message);
                attribute(failure, "type", soak_failed ? result.soak->pins[size_t(pin)].failed_class
                                                       : std::string(diagnose::status_name(status)));
                failures++;
            }
        }
        // The counts are known only now; rapidxml keeps attributes in the
        // order they are appended, and name comes first by custom.
        const std::pair<const char *, std::string> suite_attributes[] = {
            {"name", names[index]},
            {"tests", std::to_string(tests)},
            {"failures", std::to_string(failures)},
            {"errors", std::to_string(errors)},
            {"skipped", std::to_string(skipped)},
            {"time", seconds(millis)},
            {"timestamp", utc_time(result.start_millis, "%Y-%m-%dT%H:%M:%S")},
            {"hostname", printable(context.station_id)}};
        for (const auto &a : suite_attributes)
            attribute(suite, a.first, a.second);
        all_tests += tests;
        all_failures += failures;
        all_errors += errors;
        all_skipped += skipped;
        all_millis += millis;
    }
    attribute(suites, "tests", std::to_string(all_tests));
    attribute(suites, "failures", std::to_string(all_failures));
    attribute(suites, "errors", std::to_string(all_errors));
    attribute(suites, "skipped", std::to_string(all_skipped));
    attribute(suites, "time", seconds(all_millis));
    std::string xml;
    rapidxml::print(std::back_inserter(xml), doc, 0);
    return xml;
}

bool make_directories(const std::string &dir, std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::u8path(dir), ec);
    if (ec) {
        error = "cannot create " + printable(dir) + ": " + ec.message();
        return false;
    }
    return true;
}

namespace {

namespace fs = std::filesystem;

// The file that path names, through any symlinks: the one a write replaces,
// so that a link stays a link. A dangling link names the file to create.
fs::path link_target(const std::string &path)
{
    fs::path p = fs::u8path(path);
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); hops++) {
        fs::path next = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p;
}

// A device, a FIFO, /dev/stdout: written as a shell's '>' writes it, since
// a file renamed over it would take its place.
bool is_special(const std::string &path)
{
#ifdef _WIN32
    // NUL, CON, COM1 and the like name their device in every folder and with
    // any extension; \\.\ names a device too.
    if (path.compare(0, 4, "\\\\.\\") == 0)
        return true;
    std::string stem = fs::u8path(path).filename().u8string();
    if (size_t dot = stem.find('.'); dot != std::string::npos)
        stem.resize(dot);
    for (char &c : stem)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (stem == device)
            return true;
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
        stem[3] <= '9')
        return true;
#endif
    std::error_code ec;
    fs::file_status status = fs::status(fs::u8path(path), ec);
    return !ec && fs::exists(status) && !fs::is_regular_file(status);
}

std::string folder_of(const fs::path &file)
{
    std::string dir = file.parent_path().u8string();
    return dir.empty() ? "." : dir;
}

// The name with "-2", "-3", ... before its extension: the try'th choice.
std::string numbered(const std::string &name, int tries)
{
    if (tries == 1)
        return name;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        dot = name.size();
    return name.substr(0, dot) + "-" + std::to_string(tries) + name.substr(dot);
}

const int most_tries = 1000;

} // namespace

#ifdef _WIN32

namespace {

bool write_in_place(const std::string &path, const std::string &text, std::string &error)
{
    FILE *file = _wfopen(fs::u8path(path).c_str(), L"wb");
    bool written = file && fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0;
    int err = errno;
    if (file)
        written = fclose(file) == 0 && written;
    if (!written)
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
    return written;
}

// text in a file of its own beside target, flushed to the disk.
bool write_temporary(const fs::path &target, const std::string &text, fs::path &temporary, int &err)
{
    temporary = target;
    temporary += L".partial-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetCurrentThreadId());
    FILE *file = _wfopen(temporary.c_str(), L"wb");
    if (!file) {
        err = errno;
        return false;
    }
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0 &&
                   _commit(_fileno(file)) == 0;
    err = errno;
    written = fclose(file) == 0 && written;
    if (!written)
        _wremove(temporary.c_str());
    return written;
}

} // namespace

bool write_atomically(const std::string &path, const std::string &text, std::string &error)
{
    if (is_special(path))
        return write_in_place(path, text, error);
    fs::path target = link_target(path), temporary;
    int err = 0;
    if (!write_temporary(target, text, temporary, err)) {
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        _wremove(temporary.c_str());
        error = "cannot write " + printable(path);
        return false;
    }
    return true;
}

bool write_new_file(const std::string &dir, const std::string &name, const std::string &text, std::string &path,
                    std::string &error)
{
    fs::path folder = fs::u8path(dir), temporary;
    int err = 0;
    if (!write_temporary(folder / fs::u8path(name), text, temporary, err)) {
        error = "cannot write " + printable((folder / fs::u8path(name)).u8string()) + ": " + system_error_text(err);
        return false;
    }
    for (int tries = 1; tries <= most_tries; tries++) {
        fs::path candidate = folder / fs::u8path(numbered(name, tries));
        // Without MOVEFILE_REPLACE_EXISTING: a name taken by another record stays its.
        if (MoveFileExW(temporary.c_str(), candidate.c_str(), MOVEFILE_WRITE_THROUGH)) {
            path = candidate.u8string();
            return true;
        }
        DWORD why = GetLastError();
        if (why != ERROR_ALREADY_EXISTS && why != ERROR_FILE_EXISTS)
            break;
    }
    _wremove(temporary.c_str());
    error = "cannot write " + printable((folder / fs::u8path(name)).u8string());
    return false;
}

namespace {

// 0 when a file could be made in dir (and was removed again), else errno.
int try_folder(const std::string &dir)
{
    fs::path probe = fs::u8path(dir) / (L".wiretest-station-" + std::to_wstring(GetCurrentProcessId()));
    int fd = _wopen(probe.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return errno;
    _close(fd);
    _wremove(probe.c_str());
    return 0;
}

} // namespace

#else

namespace {

bool write_all(int fd, const std::string &text, bool sync = true)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return !sync || fsync(fd) == 0;
}

bool write_in_place(const std::string &path, const std::string &text, std::string &error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // A pipe or a terminal has nothing to sync.
    bool written = fd >= 0 && write_all(fd, text, false);
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written)
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
    return written;
}

// Text in a file of the folder dir, synced, waiting for its name: unnamed
// (O_TMPFILE) where the system has that, so that a process killed while
// writing leaves nothing behind; else named near_name.partial-...
struct Temporary {
    int fd = -1;
    std::string name; // "" while unnamed
};

int sequence = 0; // makes the names of one process's temporaries differ

std::string temporary_name(const std::string &near_name)
{
    return near_name + ".partial-" + std::to_string(getpid()) + "-" +
           std::to_string(__atomic_add_fetch(&sequence, 1, __ATOMIC_RELAXED));
}

int write_temporary(const std::string &dir, const std::string &near_name, const std::string &text, bool unnamed,
                    Temporary &t)
{
    t = Temporary{};
    if (unnamed && access("/proc/self/fd", X_OK) == 0) {
        t.fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (t.fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return errno;
    }
    if (t.fd < 0) {
        t.name = temporary_name(near_name);
        t.fd = open(t.name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (t.fd < 0)
            return errno;
    }
    if (!write_all(t.fd, text)) {
        int err = errno;
        close(t.fd);
        t.fd = -1;
        if (!t.name.empty())
            unlink(t.name.c_str());
        return err;
    }
    return 0;
}

// Gives the temporary the name path, never replacing a file there: 0, or
// the errno of the failure (EEXIST: the name is taken).
int link_temporary(const Temporary &t, const std::string &path)
{
    if (t.name.empty()) {
        std::string proc = "/proc/self/fd/" + std::to_string(t.fd);
        return linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    }
    if (link(t.name.c_str(), path.c_str()) == 0)
        return 0;
    int err = errno;
    // A file system without hard links: a rename, once the name is seen free.
    if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS) {
        if (access(path.c_str(), F_OK) == 0)
            return EEXIST;
        return rename(t.name.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
    return err;
}

void drop_temporary(const Temporary &t)
{
    if (t.fd >= 0)
        close(t.fd);
    if (!t.name.empty())
        unlink(t.name.c_str());
}

// Why an unnamed file could not be linked to a name, when the fault is in
// linking through /proc rather than in the folder: it is written again
// under a name.
bool link_unsupported(int err) { return err == ENOENT || err == EXDEV || err == EPERM || err == EOPNOTSUPP; }

} // namespace

bool write_atomically(const std::string &path, const std::string &text, std::string &error)
{
    auto fail = [&](int err) {
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
        return false;
    };
    if (is_special(path))
        return write_in_place(path, text, error);
    std::string target = link_target(path).string();
    for (bool unnamed : {true, false}) {
        Temporary t;
        if (int err = write_temporary(folder_of(target), target, text, unnamed, t))
            return fail(err);
        if (t.name.empty()) {
            // Linked straight to its name where none is there; else under a
            // name beside it, to be renamed over the old file.
            int err = link_temporary(t, target);
            if (err == 0) {
                drop_temporary(t);
                return true;
            }
            if (err == EEXIST) {
                std::string name = temporary_name(target);
                err = link_temporary(t, name);
                if (err == 0)
                    t.name = name;
            }
            if (err != 0) {
                drop_temporary(t);
                if (link_unsupported(err))
                    continue;
                return fail(err);
            }
        }
        int err = rename(t.name.c_str(), target.c_str()) == 0 ? 0 : errno;
        if (err == 0)
            t.name.clear();
        drop_temporary(t);
        return err == 0 || fail(err);
    }
    return fail(EIO);
}

bool write_new_file(const std::string &dir, const std::string &name, const std::string &text, std::string &path,
                    std::string &error)
{
    std::string first = dir + "/" + name;
    int err = 0;
    for (bool unnamed : {true, false}) {
        Temporary t;
        err = write_temporary(dir, first, text, unnamed, t);
        for (int tries = 1; err == 0 && tries <= most_tries; tries++) {
            std::string candidate = dir + "/" + numbered(name, tries);
            err = link_temporary(t, candidate);
            if (err == 0) {
                drop_temporary(t);
                path = candidate;
                return true;
            }
            if (tries < most_tries && err == EEXIST)
                err = 0;
        }
        drop_temporary(t);
        if (!(unnamed && link_unsupported(err)))
            break;
    }
    error = "cannot write " + printable(first) + ": " + system_error_text(err);
    return false;
}

namespace {

// 0 when a file could be made in dir (and was removed again), else errno.
int try_folder(const std::string &dir)
{
    std::string probe = dir + "/.wiretest-station-" + std::to_string(getpid()) + "-" +
                        std::to_string(__atomic_add_fetch(&sequence, 1, __ATOMIC_RELAXED));
    int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    unlink(probe.c_str());
    return 0;
}

} // namespace

#endif

bool file_writable(const std::string &path, std::string &error)
{
    // Opening a FIFO to try it would wait for its reader.
    if (is_special(path))
        return true;
    int err = try_folder(folder_of(link_target(path)));
    if (err != 0)
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
    return err == 0;
}

bool folder_writable(const std::string &dir, std::string &error)
{
    int err = try_folder(dir);
    if (err != 0)
        error = "cannot write into " + printable(dir) + ": " + system_error_text(err);
    return err == 0;
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

std::string summary_line(const std::vector<BoardResult> &results)
{
    int passed = 0, failed = 0, errors = 0;
    for (const BoardResult &r : results) {
        passed += r.outcome == Outcome::pass;
        failed += r.outcome == Outcome::fail;
        errors += r.outcome == Outcome::error;
    }
    return "boards: " + std::to_string(results.size()) + ", passed: " + std::to_string(passed) +
           ", failed: " + std::to_string(failed) + ", errors: " + std::to_string(errors);
}

} // namespace station
