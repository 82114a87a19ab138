// A board's record: one JSON object, and the name of its file.
#include "record.h"

#include "printable.h"
#include "render.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace station {

using companions::printable;

namespace {

// Each pin's verdict as the board's result carries it, with the partners
// the rows show (wiretest-diagnose's "with") and a soak's counts.
nlohmann::ordered_json pins_json(const BoardResult &result)
{
    nlohmann::ordered_json pins = nlohmann::ordered_json::array();
    for (size_t pin = 0; pin < result.pins.size(); pin++) {
        const diagnose::PinVerdict &v = result.pins[pin];
        nlohmann::ordered_json shown = {{"pin", pin}, {"status", v.status}, {"with", result.diagnosis.pins[pin].with}};
        if (v.faulty()) {
            shown["class"] = v.fault_class;
            shown["partner"] = v.partners;
            std::string confidence = diagnose::confidence_text(v);
            if (!confidence.empty()) {
                shown["confidence"] = confidence;
                shown["candidates"] = v.candidates;
            }
        }
        if (!v.words.empty())
            shown["words"] = v.words;
        if (result.soak) {
            const PinSoak &p = result.soak->pins[pin];
            shown["failures"] = p.failures;
            shown["flips"] = p.flips;
            if (v.status == "intermittent") {
                shown["failed_runs"] = p.failed_runs;
                shown["failed_runs_cut"] = size_t(p.failures) > p.failed_runs.size();
            }
        }
        pins.push_back(std::move(shown));
    }
    return pins;
}

} // namespace

std::string record_json(const BoardResult &result, const RunContext &context)
{
    nlohmann::ordered_json record;
    if (!result.record_id.empty())
        record["record_id"] = result.record_id;
    record["dut_id"] = printable(result.dut_id());
    record["station_id"] = printable(context.station_id);
    if (!context.fixture_id.empty())
        record["fixture_id"] = printable(context.fixture_id);
    if (!result.slot.empty())
        record["slot"] = printable(result.slot);
    if (!context.lot.empty())
        record["lot"] = printable(context.lot);
    if (!context.operator_name.empty())
        record["operator"] = printable(context.operator_name);
    record["location"] = result.board.location;
    record["channel"] = std::string(1, result.board.channel);
    if (!result.label.empty())
        record["label"] = printable(result.label);
    record["serial"] = printable(result.board.serial);
    if (result.board.serial_shared)
        record["serial_shared"] = true;
    record["chip"] = result.board.chip;
    record["test"] = context.short_test ? "short" : "full";
    record["patterns"] = diagnose::pattern_set_name(context.patterns);
    record["mode"] = context.fast ? "fast" : context.short_waits ? "delay" : "normal";
    record["start_time_millis"] = result.start_millis;
    record["end_time_millis"] = result.end_millis;
    record["outcome"] = outcome_name(result.outcome);
    if (result.attempt > 0)
        record["attempt"] = result.attempt;
    if (result.label_reused) {
        const EarlierTest &e = *result.label_reused;
        nlohmann::ordered_json &earlier = record["label_reused"];
        earlier["record_id"] = e.record_id;
        earlier["start_time_millis"] = e.start_millis;
        earlier["station_id"] = printable(e.station_id);
        earlier["location"] = e.location;
        earlier["channel"] = std::string(1, e.channel);
        if (!e.slot.empty())
            earlier["slot"] = printable(e.slot);
        if (!e.outcome.empty()) // none while it was under test
            earlier["outcome"] = e.outcome;
    }
    if (result.identity) {
        // What the EEPROM held and became (--product).
        const identity::Outcome &id = *result.identity;
        nlohmann::ordered_json &eeprom = record["identity"];
        eeprom["serial_before"] = id.serial_before;
        eeprom["serial_after"] = id.serial_after;
        eeprom["eeprom"] = id.part;
        eeprom["state"] = id.state;
        char checksum[8];
        snprintf(checksum, sizeof checksum, "0x%04X", unsigned(id.checksum));
        eeprom["checksum"] = checksum;
        eeprom["written"] = id.written;
        eeprom["verified"] = id.verified;
        eeprom["kept"] = id.kept;
        if (!id.allocated.empty())
            eeprom["allocated"] = id.allocated;
        if (id.failure.failed()) {
            eeprom["failed_step"] = id.failure.step;
            if (id.failure.word >= 0)
                eeprom["failed_word"] = id.failure.word;
        }
    }
    if (result.rated_cycles > 0) {
        record["insertions"] = result.insertions;
        record["rated_cycles"] = result.rated_cycles;
    }
    if (result.rows_ran && result.diagnosis.errors)
        record["errors"] = *result.diagnosis.errors;
    if (result.rows_ran) {
        // The rows as wiretest-diagnose --json gives them.
        if (!result.diagnosis.rows.empty()) {
            record["rows"] = diagnose::rows_json(result.diagnosis);
            record["pins"] = pins_json(result);
        }
        if (result.diagnosis.confidence != diagnose::Confidence::none)
            record["faults"] = diagnose::faults_json(result.diagnosis);
    }
    if (result.soak)
        record["runs"] = result.soak->runs;
    if (result.outcome == Outcome::error)
        record["reason"] = printable(result.reason);
    record["version"] = std::string(version);
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

} // namespace station
