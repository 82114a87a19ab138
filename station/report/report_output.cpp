// The report's text, JSON and CSV, each rendered from the one Report.
#include "report.h"

#include "cycle_counts.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace station {
namespace {

std::string percent(long part, long whole)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f%%", 100 * share(part, whole));
    return text;
}

std::string two_places(double value)
{
    char text[32];
    snprintf(text, sizeof text, "%.2f", value);
    return text;
}

// "1 record", "2 records".
std::string counted(long n, const std::string &thing)
{
    return std::to_string(n) + " " + thing + (n == 1 ? "" : "s");
}

double retests_per_board(const Counts &c) { return share(c.records - c.boards, c.boards); }

std::string no_identity_line(long records)
{
    return counted(records, "record") + " without a label or a unique serial: each counted as its own board; "
                                         "scan labels or program serials";
}

std::string slot_name(const Slot &s)
{
    std::string name = "the fixture";
    if (!s.fixture_id.empty())
        name += " " + s.fixture_id;
    if (!s.name.empty())
        name += " slot " + s.name;
    return name + " (station " + s.station_id + ", at " + s.location + ")";
}

std::string slot_warning(const Slot &s)
{
    return "check " + slot_name(s) + ": " + std::to_string(s.fails) + " of " + counted(s.boards, "board") +
           " failed their first test here, " + std::to_string(s.others_failed) + " of " +
           std::to_string(s.others) + " at its other slots";
}

// The figures of one group, in the order every output gives them.
std::vector<std::pair<const char *, nlohmann::ordered_json>> counts_fields(const Counts &c)
{
    return {{"boards", c.boards},
            {"records", c.records},
            {"first_pass", c.first_pass},
            {"second_pass", c.second_pass},
            {"last_pass", c.last_pass},
            {"fails", c.fails},
            {"errors", c.errors},
            {"first_pass_yield", share(c.first_pass, c.boards)},
            {"second_pass_yield", share(c.second_pass, c.boards)},
            {"last_pass_yield", share(c.last_pass, c.boards)},
            {"retests_per_board", retests_per_board(c)},
            {"fail_rate", share(c.fails, c.records)},
            {"error_rate", share(c.errors, c.records)}};
}

std::vector<std::pair<const char *, nlohmann::ordered_json>> slot_fields(const Slot &s)
{
    std::vector<std::pair<const char *, nlohmann::ordered_json>> fields = {
        {"station", s.station_id},
        {"fixture", s.fixture_id},
        {"slot", s.name},
        {"location", s.location},
        {"boards", s.boards},
        {"records", s.records},
        {"fails", s.fails},
        {"errors", s.errors},
        {"fail_rate", share(s.fails, s.boards)},
        {"error_rate", share(s.errors, s.boards)},
        {"others", s.others},
        {"others_failed", s.others_failed},
        {"p_value", s.p_value},
        {"flagged", s.flagged}};
    if (s.flagged)
        fields.emplace_back("warning", slot_warning(s));
    if (s.insertions) {
        fields.emplace_back("insertions", *s.insertions);
        fields.emplace_back("rated_cycles", *s.rated_cycles);
        fields.emplace_back("due", s.due);
    }
    return fields;
}

std::vector<std::pair<const char *, nlohmann::ordered_json>> fault_fields(const Fault &f, const Report &r)
{
    return {{"pin", f.pin},
            {"class", f.fault_class},
            {"boards", f.boards},
            {"records", f.records},
            {"share", share(f.boards, r.failed_boards)}};
}

nlohmann::ordered_json object_of(const std::vector<std::pair<const char *, nlohmann::ordered_json>> &fields)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto &[key, value] : fields)
        object[key] = value;
    return object;
}

// The programming's figures, in the order JSON and CSV give them.
std::vector<std::pair<const char *, nlohmann::ordered_json>> programming_fields(const Programming &p)
{
    return {{"identity_records", p.identity_records},
            {"programmed", p.programmed},
            {"kept", p.kept},
            {"serials_spent", p.spent}};
}

// The named groups of a report: per station, day and lot.
struct Groups {
    const char *section, *title, *heading;
    const std::vector<std::pair<std::string, Counts>> &groups;
};

std::vector<Groups> groups_of(const Report &r)
{
    return {{"station", "stations", "stations:", r.stations},
            {"day", "days", "days (UTC):", r.days},
            {"lot", "lots", "lots:", r.lots}};
}

} // namespace

std::string report_text(const Report &r)
{
    std::string text;
    auto line = [&](const std::string &s) { text += s + "\n"; };
    auto yield_line = [&](const char *name, long passed, const char *how) {
        line(std::string(name) + ": " + percent(passed, r.all.boards) + " (" + std::to_string(passed) + " of " +
             counted(r.all.boards, "board") + " " + how + ")");
    };
    auto counts_line = [&](const Counts &c) {
        return counted(c.boards, "board") + ", " + counted(c.records, "record") + ", first-pass yield " +
               percent(c.first_pass, c.boards) + ", second-pass " + percent(c.second_pass, c.boards) +
               ", last-pass " + percent(c.last_pass, c.boards) + ", retests per board " +
               two_places(retests_per_board(c)) + ", ERROR rate " + percent(c.errors, c.records) + " of records";
    };
    line("boards tested: " + std::to_string(r.all.boards) + " (distinct boards, by label or unique serial)");
    line("records: " + std::to_string(r.all.records) + " (one for each test of a board)");
    yield_line("first-pass yield", r.all.first_pass, "passed their first test");
    yield_line("second-pass yield", r.all.second_pass, "passed by their second test");
    yield_line("last-pass yield", r.all.last_pass, "passed their last test");
    line("retests per board: " + two_places(retests_per_board(r.all)));
    line("ERROR rate: " + percent(r.all.errors, r.all.records) + " (" + std::to_string(r.all.errors) + " of " +
         counted(r.all.records, "record") + ")");
    if (r.records_without_identity > 0)
        line(no_identity_line(r.records_without_identity));
    const Programming &p = r.programming;
    if (p.identity_records > 0) { // only where the station programs EEPROMs
        long failed = 0;
        std::string steps;
        for (const auto &[step, records] : p.failures) {
            failed += records;
            steps += (steps.empty() ? "" : ", ") + step + " " + std::to_string(records);
        }
        line("boards programmed: " + std::to_string(p.programmed) + " (EEPROM written and verified; " +
             std::to_string(p.kept) + " retested kept their serial)");
        line("serials spent: " + std::to_string(p.spent) + " (taken for boards whose programming failed)");
        line("programming failures: " + std::to_string(failed) + (steps.empty() ? "" : " (" + steps + ")"));
    }
    line("");
    line("faults, most boards first (of " + counted(r.failed_boards, "failed board") + ", " +
         counted(r.failed_records, "failed record") + "):");
    for (const Fault &f : r.pareto)
        line("  pin " + std::to_string(f.pin) + " " + f.fault_class + ": " + counted(f.boards, "board") + " (" +
             percent(f.boards, r.failed_boards) + "), " + counted(f.records, "record"));
    line("");
    line("slots (each board's first test there):");
    for (const Slot &s : r.slots)
        line("  station " + s.station_id + (s.fixture_id.empty() ? "" : ", fixture " + s.fixture_id) +
             (s.name.empty() ? "" : ", slot " + s.name) + " at " + s.location + ": " + counted(s.boards, "board") +
             " (" + counted(s.records, "record") + "), FAIL " + percent(s.fails, s.boards) + ", ERROR " +
             percent(s.errors, s.boards) +
             (s.insertions ? ", " + grouped_digits(*s.insertions) + " of " + grouped_digits(*s.rated_cycles) +
                                 " rated insertions" + (s.due ? " (due: change its contacts)" : "")
                           : ""));
    for (const Slot &s : r.slots)
        if (s.flagged)
            line(slot_warning(s));
    for (const Groups &g : groups_of(r)) {
        line("");
        line(g.heading);
        for (const auto &[name, c] : g.groups)
            line("  " + (name.empty() ? "(none)" : name) + ": " + counts_line(c));
    }
    if (!r.intermittents.empty()) {
        line("");
        line("intermittent pins:");
        for (const Intermittent &i : r.intermittents)
            line("  " + i.board + " at " + i.location + ": pin " + std::to_string(i.pin.pin) + " " +
                 i.pin.fault_class + " in " + std::to_string(i.pin.failures.value_or(0)) + " of " +
                 std::to_string(i.pin.runs.value_or(0)) + " runs");
    }
    return text;
}

std::string report_json(const Report &r)
{
    nlohmann::ordered_json doc = object_of(counts_fields(r.all));
    doc["records_without_identity"] = r.records_without_identity;
    doc["failed_boards"] = r.failed_boards;
    doc["failed_records"] = r.failed_records;
    if (r.programming.identity_records > 0) {
        nlohmann::ordered_json &programming = doc["programming"] = object_of(programming_fields(r.programming));
        programming["failures"] = nlohmann::ordered_json::object();
        for (const auto &[step, records] : r.programming.failures)
            programming["failures"][step] = records;
    }
    doc["pareto"] = nlohmann::ordered_json::array();
    for (const Fault &f : r.pareto)
        doc["pareto"].push_back(object_of(fault_fields(f, r)));
    doc["slots"] = nlohmann::ordered_json::array();
    for (const Slot &s : r.slots)
        doc["slots"].push_back(object_of(slot_fields(s)));
    for (const Groups &g : groups_of(r)) {
        nlohmann::ordered_json &groups = doc[g.title] = nlohmann::ordered_json::object();
        for (const auto &[name, c] : g.groups)
            groups[name] = object_of(counts_fields(c));
    }
    doc["intermittents"] = nlohmann::ordered_json::array();
    for (const Intermittent &i : r.intermittents)
        doc["intermittents"].push_back({{"board", i.board},
                                        {"location", i.location},
                                        {"record_id", i.record_id},
                                        {"pin", i.pin.pin},
                                        {"class", i.pin.fault_class},
                                        {"failures", i.pin.failures.value_or(0)},
                                        {"runs", i.pin.runs.value_or(0)}});
    return doc.dump(2);
}

// One figure a line: section, name, the slot's station, fixture and slot
// name (slot rows), field, value. Numbers as the JSON writes them.
std::string report_csv(const Report &r)
{
    std::string csv = "section,name,station,fixture,slot,field,value\n";
    auto field = [](const std::string &text) {
        if (text.find_first_of(",\"\n\r") == std::string::npos)
            return text;
        std::string quoted = "\"";
        for (char c : text)
            quoted += c == '"' ? "\"\"" : std::string(1, c);
        return quoted + "\"";
    };
    auto add = [&](const std::string &section, const std::string &name, const Slot *slot, const std::string &key,
                   const nlohmann::ordered_json &value) {
        csv += field(section) + "," + field(name) + "," + (slot ? field(slot->station_id) : "") + "," +
               (slot ? field(slot->fixture_id) : "") + "," + (slot ? field(slot->name) : "") + "," + field(key) +
               "," + field(value.is_string() ? value.get<std::string>() : value.dump()) + "\n";
    };
    for (const auto &[key, value] : counts_fields(r.all))
        add("line", "", nullptr, key, value);
    add("line", "", nullptr, "records_without_identity", r.records_without_identity);
    add("line", "", nullptr, "failed_boards", r.failed_boards);
    add("line", "", nullptr, "failed_records", r.failed_records);
    if (r.programming.identity_records > 0)
        for (const auto &[key, value] : programming_fields(r.programming))
            add("programming", "", nullptr, key, value);
    for (const auto &[step, records] : r.programming.failures)
        add("programming_failure", step, nullptr, "records", records);
    for (const Fault &f : r.pareto)
        for (const auto &[key, value] : fault_fields(f, r))
            if (key != std::string("pin") && key != std::string("class"))
                add("pareto", "pin " + std::to_string(f.pin) + " " + f.fault_class, nullptr, key, value);
    for (const Slot &s : r.slots)
        for (const auto &[key, value] : slot_fields(s))
            if (key != std::string("station") && key != std::string("fixture") && key != std::string("slot") &&
                key != std::string("location"))
                add("slot", s.location, &s, key, value);
    for (const Groups &g : groups_of(r))
        for (const auto &[name, c] : g.groups)
            for (const auto &[key, value] : counts_fields(c))
                add(g.section, name, nullptr, key, value);
    for (const Intermittent &i : r.intermittents)
        add("intermittent", i.board + " pin " + std::to_string(i.pin.pin), nullptr, "failures_of_runs",
            std::to_string(i.pin.failures.value_or(0)) + "/" + std::to_string(i.pin.runs.value_or(0)));
    return csv;
}

} // namespace station
