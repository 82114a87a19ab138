// The report's text, JSON and CSV, each from the same figures, and the
// command that prints one of them.
#include "report.h"

#include "board_result.h"
#include "cycle_counts.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>

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

namespace {

// Digits at text[at...] into value, exactly count of them.
bool digits(const std::string &text, size_t at, size_t count, int &value)
{
    if (at + count > text.size())
        return false;
    value = 0;
    for (size_t i = at; i < at + count; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "Z", "+02:00", "-0530", "+02" at text[at...], to the end: the offset
// from UTC in seconds.
bool utc_offset(const std::string &text, size_t at, long &seconds)
{
    if (text.size() == at + 1 && text[at] == 'Z') {
        seconds = 0;
        return true;
    }
    int hours = 0, minutes = 0;
    const size_t left = text.size() - at;
    bool ok = left >= 3 && (text[at] == '+' || text[at] == '-') && digits(text, at + 1, 2, hours) &&
              (left == 3 || (left == 5 && digits(text, at + 3, 2, minutes)) ||
               (left == 6 && text[at + 3] == ':' && digits(text, at + 4, 2, minutes)));
    if (!ok || hours > 23 || minutes > 59)
        return false;
    seconds = (text[at] == '-' ? -1 : 1) * (hours * 3600L + minutes * 60L);
    return true;
}

// "2026-12-09", "2026-12-09T14:30[:00[.250]]" in UTC unless it ends in "Z"
// or an offset ("+02:00"), or Unix ms.
bool parse_time(const std::string &text, int64_t &millis)
{
    if (!text.empty() && text.size() <= 15 && text.find_first_not_of("0123456789") == std::string::npos) {
        millis = std::stoll(text);
        return true;
    }
    std::tm t{};
    int fraction = 0;
    long offset = 0;
    bool ok = text.size() >= 10 && digits(text, 0, 4, t.tm_year) && text[4] == '-' && digits(text, 5, 2, t.tm_mon) &&
              text[7] == '-' && digits(text, 8, 2, t.tm_mday);
    if (ok && text.size() > 10) {
        ok = text[10] == 'T' && digits(text, 11, 2, t.tm_hour) && text[13] == ':' && digits(text, 14, 2, t.tm_min);
        size_t at = 16;
        if (ok && at < text.size() && text[at] == ':') {
            ok = digits(text, 17, 2, t.tm_sec);
            at = 19;
        }
        if (ok && at < text.size() && text[at] == '.') {
            ok = digits(text, 20, 3, fraction);
            at = 23;
        }
        if (ok && at < text.size())
            ok = utc_offset(text, at, offset);
    }
    if (!ok || t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31 || t.tm_hour > 23 ||
        t.tm_min > 59 || t.tm_sec > 60)
        return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
#ifdef _WIN32
    millis = int64_t(_mkgmtime(&t)) * 1000;
#else
    millis = int64_t(timegm(&t)) * 1000;
#endif
    millis += fraction - int64_t(offset) * 1000;
    return true;
}

} // namespace

int report_main(int argc, char **argv)
{
    CLI::App app{"The line's yield, faults and slots from the records in a database.", "wiretest-station report"};
    std::string url_text, since, until;
    ReportFilter filter;
    bool json = false, csv = false;
    app.add_option("--db", url_text, "the database: sqlite:PATH or a postgresql:// URL")->type_name("URL")->required();
    app.add_option("--since", since,
                   "records that began at T or later (2026-12-09, 2026-12-09T14:30 in UTC, "
                   "2026-12-09T14:30:00Z, 2026-12-09T16:30+02:00, or Unix ms)")
        ->type_name("T");
    app.add_option("--until", until, "records that began before T")->type_name("T");
    app.add_option("--station", filter.station_id, "one station's records")->type_name("ID");
    app.add_option("--lot", filter.lot, "one lot's records")->type_name("L");
    auto *as_json = app.add_flag("--json", json, "one JSON document");
    app.add_flag("--csv", csv, "CSV: section, name, station, fixture, slot, field, value")->excludes(as_json);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        fprintf(stderr, "wiretest-station report: usage error: %s (see --help)\n", e.what());
        return exit_station;
    }
    int64_t millis = 0;
    for (auto [text, slot] : {std::pair{&since, &filter.since_millis}, std::pair{&until, &filter.until_millis}}) {
        if (text->empty())
            continue;
        if (!parse_time(*text, millis)) {
            fprintf(stderr, "wiretest-station report: usage error: not a time: %s (see --help)\n", text->c_str());
            return exit_station;
        }
        *slot = millis;
    }
    db::Url url;
    std::string why;
    std::unique_ptr<db::Database> database;
    Report report;
    if (!db::parse_url(url_text, url, why)) {
        fprintf(stderr, "wiretest-station report: %s\n", why.c_str());
        return exit_station;
    }
    db::hide_password(argc, argv, url_text, url);
    // Read only: a mistyped path is no new, empty database.
    bool read = db::clients_loaded(url, why);
    if (read && url.kind == db::Url::sqlite && !std::filesystem::exists(url.path)) {
        why = "no such file (the report reads a database, never creates one)";
        read = false;
    }
    read = read && (database = db::open(url, why, db::Access::read_only)) && read_report(*database, filter, report, why);
    if (!read) {
        fprintf(stderr, "wiretest-station report: %s: %s\n", url.shown.c_str(), why.c_str());
        return exit_station;
    }
    for (const std::string &line : report.skipped)
        fprintf(stderr, "wiretest-station report: %s\n", line.c_str());
    std::string out = json ? report_json(report) + "\n" : csv ? report_csv(report) : report_text(report);
    fputs(out.c_str(), stdout);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : exit_station;
}

} // namespace station
