#include "report.h"

#include "printable.h"

#include "board_result.h"
#include "cycle_counts.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <set>

namespace station {
namespace {

// A slot is suspect from this many records on, when chance explains its
// failures with less than this probability.
const long fewest_records_at_a_slot = 20;
const double suspect_below = 0.01;

double log_choose(long n, long k)
{
    return std::lgamma(double(n) + 1) - std::lgamma(double(k) + 1) - std::lgamma(double(n - k) + 1);
}

// Boards (distinct dut_ids), and how each one's first and last record came out.
Counts count(const std::vector<const ReportBoard *> &records)
{
    Counts c;
    std::map<std::string, std::pair<const ReportBoard *, const ReportBoard *>> first_last;
    for (const ReportBoard *b : records) { // in time order
        c.records++;
        c.errors += b->outcome == "ERROR";
        c.fails += b->outcome == "FAIL";
        auto [it, added] = first_last.try_emplace(b->dut_id, b, b);
        if (!added)
            it->second.second = b;
    }
    c.boards = long(first_last.size());
    for (const auto &entry : first_last) {
        c.first_pass += entry.second.first->outcome == "PASS";
        c.final_pass += entry.second.second->outcome == "PASS";
    }
    return c;
}

double share(long part, long whole) { return whole == 0 ? 0 : double(part) / double(whole); }

std::string percent(long part, long whole)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f%%", 100 * share(part, whole));
    return text;
}

nlohmann::ordered_json counts_json(const Counts &c)
{
    return {{"boards", c.boards},
            {"records", c.records},
            {"first_pass_yield", share(c.first_pass, c.boards)},
            {"final_yield", share(c.final_pass, c.boards)},
            {"retests_per_board", share(c.records - c.boards, c.boards)},
            {"error_rate", share(c.errors, c.records)},
            {"fail_rate", share(c.fails, c.records)}};
}

std::string day_of(int64_t millis) { return utc_time(millis, "%Y-%m-%d"); }

std::string slot_warning(const Slot &s)
{
    return "check the fixture at " + s.location + ": " + std::to_string(s.fails) + " of " +
           std::to_string(s.records) + " failed here, " + std::to_string(s.others_failed) + " of " +
           std::to_string(s.others) + " at the other slots";
}

} // namespace

double fisher_greater(long k, long n, long failures, long total)
{
    if (n <= 0 || k <= 0)
        return 1;
    double p = 0, whole = log_choose(total, n);
    for (long x = k; x <= std::min(n, failures); x++)
        if (n - x <= total - failures)
            p += std::exp(log_choose(failures, x) + log_choose(total - failures, n - x) - whole);
    return std::min(p, 1.0);
}

Report make_report(std::vector<ReportBoard> boards, const std::vector<ReportPin> &pins)
{
    std::sort(boards.begin(), boards.end(), [](const ReportBoard &a, const ReportBoard &b) {
        return a.start_millis != b.start_millis ? a.start_millis < b.start_millis : a.record_id < b.record_id;
    });
    Report report;
    std::vector<const ReportBoard *> all;
    std::map<std::string, std::vector<const ReportBoard *>> by_station, by_day;
    std::map<std::pair<std::string, std::string>, std::vector<const ReportBoard *>> by_slot;
    std::map<std::string, const ReportBoard *> by_id;
    for (const ReportBoard &b : boards) {
        all.push_back(&b);
        by_station[b.station_id].push_back(&b);
        by_day[day_of(b.start_millis)].push_back(&b);
        by_slot[{b.station_id, b.location}].push_back(&b);
        by_id[b.record_id] = &b;
    }
    report.all = count(all);
    for (const auto &[station, records] : by_station)
        report.stations.emplace_back(station, count(records));
    for (const auto &[day, records] : by_day)
        report.days.emplace_back(day, count(records));

    for (const auto &[key, records] : by_slot) {
        Slot slot;
        slot.location = key.second;
        Counts here = count(records), station = count(by_station[key.first]);
        slot.records = here.records;
        slot.fails = here.fails;
        slot.errors = here.errors;
        slot.others = station.records - here.records;
        slot.others_failed = station.fails - here.fails;
        slot.p_value = fisher_greater(slot.fails, slot.records, station.fails, station.records);
        // Above the rest's rate, and beyond chance.
        slot.flagged = slot.records >= fewest_records_at_a_slot && slot.p_value < suspect_below &&
                       share(slot.fails, slot.records) > share(slot.others_failed, slot.others);
        for (const ReportBoard *b : records) { // in time order: the latest stays
            if (!b->slot.empty())
                slot.name = b->slot;
            if (b->insertions && b->rated_cycles) {
                slot.insertions = b->insertions;
                slot.rated_cycles = b->rated_cycles;
            }
        }
        report.slots.push_back(slot);
    }

    std::map<std::pair<int, std::string>, std::set<std::string>> faults;
    for (const ReportPin &pin : pins) {
        auto board = by_id.find(pin.record_id);
        if (board == by_id.end())
            continue;
        if (pin.status == "intermittent")
            report.intermittents.emplace_back(*board->second, pin);
        if (board->second->outcome == "FAIL")
            faults[{pin.pin, pin.fault_class}].insert(pin.record_id);
    }
    report.failed_records = report.all.fails;
    for (const auto &[key, records] : faults)
        report.pareto.push_back({key.first, key.second, long(records.size())});
    std::stable_sort(report.pareto.begin(), report.pareto.end(),
                     [](const Fault &a, const Fault &b) { return a.boards > b.boards; });
    return report;
}

bool read_report(db::Database &database, const ReportFilter &filter, Report &report, std::string &why)
{
    std::vector<db::Value> params{
        filter.since_millis ? db::Value(std::to_string(*filter.since_millis)) : std::nullopt,
        filter.until_millis ? db::Value(std::to_string(*filter.until_millis)) : std::nullopt,
        filter.station_id.empty() ? std::nullopt : db::Value(filter.station_id),
        filter.lot.empty() ? std::nullopt : db::Value(filter.lot)};
    const std::string where = " WHERE ($1 IS NULL OR b.start_time_millis >= CAST($1 AS BIGINT))"
                              " AND ($2 IS NULL OR b.start_time_millis < CAST($2 AS BIGINT))"
                              " AND ($3 IS NULL OR b.station_id = CAST($3 AS TEXT))"
                              " AND ($4 IS NULL OR b.lot = CAST($4 AS TEXT))";
    std::vector<db::Row> rows;
    if (!database.query("SELECT b.record_id, b.dut_id, b.location, b.station_id, b.outcome, b.start_time_millis, "
                        "b.slot, b.insertions, b.rated_cycles FROM boards b" + where,
                        params, rows, why))
        return false;
    std::vector<ReportBoard> boards;
    boards.reserve(rows.size());
    std::vector<std::string> skipped;
    // A value the station did not write (text where a number belongs) costs
    // its row, said, never the report.
    auto number = [&](const db::Row &r, size_t column, const char *table, const char *name, long long &value) {
        if (db::whole_number(r[column], value))
            return true;
        skipped.push_back(std::string(table) + " row of record " + companions::printable(r[0].value_or("NULL")) +
                          ": " + name + " " + (r[column] ? "'" + companions::printable(*r[column]) + "'" : "NULL") +
                          " is not a number: left out");
        return false;
    };
    auto optional_number = [&](const db::Row &r, size_t column, const char *name, std::optional<int64_t> &value) {
        long long v = 0;
        if (r[column] && !number(r, column, "boards", name, v))
            return false;
        value = r[column] ? std::optional<int64_t>(v) : std::nullopt;
        return true;
    };
    for (const db::Row &r : rows) {
        ReportBoard board{r[0].value_or(""), r[1].value_or(""), r[2].value_or(""), r[3].value_or(""),
                          r[4].value_or(""), 0, r[6].value_or(""), std::nullopt, std::nullopt};
        long long start = 0;
        if (number(r, 5, "boards", "start_time_millis", start) && optional_number(r, 7, "insertions", board.insertions) &&
            optional_number(r, 8, "rated_cycles", board.rated_cycles)) {
            board.start_millis = start;
            boards.push_back(std::move(board));
        }
    }
    if (!database.query("SELECT p.record_id, p.pin, p.status, p.\"class\", p.failures, b.runs FROM pins p "
                        "JOIN boards b ON b.record_id = p.record_id" + where +
                        " AND p.status <> 'ok' AND p.status <> 'untested'",
                        params, rows, why))
        return false;
    std::vector<ReportPin> pins;
    for (const db::Row &r : rows) {
        long long pin = 0, failures = 0, runs = 0;
        if (!number(r, 1, "pins", "pin", pin) || (r[4] && !number(r, 4, "pins", "failures", failures)) ||
            (r[5] && !number(r, 5, "boards", "runs", runs)))
            continue;
        ReportPin kept{r[0].value_or(""), int(pin), r[2].value_or(""), r[3].value_or(""), std::nullopt, std::nullopt};
        if (r[4])
            kept.failures = long(failures);
        if (r[5])
            kept.runs = long(runs);
        pins.push_back(kept);
    }
    report = make_report(std::move(boards), pins);
    report.skipped = std::move(skipped);
    return true;
}

std::string report_text(const Report &r)
{
    std::string text;
    auto line = [&](const std::string &s) { text += s + "\n"; };
    auto counts_line = [&](const Counts &c) {
        return std::to_string(c.boards) + " boards, " + std::to_string(c.records) + " records, first-pass yield " +
               percent(c.first_pass, c.boards) + ", final yield " + percent(c.final_pass, c.boards) +
               ", ERROR rate " + percent(c.errors, c.records);
    };
    line("boards tested: " + std::to_string(r.all.boards));
    line("records: " + std::to_string(r.all.records));
    line("first-pass yield: " + percent(r.all.first_pass, r.all.boards) + " (" + std::to_string(r.all.first_pass) +
         " of " + std::to_string(r.all.boards) + ")");
    line("final yield: " + percent(r.all.final_pass, r.all.boards) + " (" + std::to_string(r.all.final_pass) +
         " of " + std::to_string(r.all.boards) + ")");
    char retests[32];
    snprintf(retests, sizeof retests, "%.2f", share(r.all.records - r.all.boards, r.all.boards));
    line(std::string("retests per board: ") + retests);
    line("ERROR rate: " + percent(r.all.errors, r.all.records) + " (" + std::to_string(r.all.errors) + " of " +
         std::to_string(r.all.records) + " records)");
    line("");
    line("faults, most boards first (of " + std::to_string(r.failed_records) + " failed records):");
    for (const Fault &f : r.pareto)
        line("  pin " + std::to_string(f.pin) + " " + f.fault_class + ": " + std::to_string(f.boards) + " (" +
             percent(f.boards, r.failed_records) + ")");
    line("");
    line("slots:");
    for (const Slot &s : r.slots)
        line("  " + s.location + (s.name.empty() ? "" : " (slot " + s.name + ")") + ": " +
             std::to_string(s.records) + " records, FAIL " + percent(s.fails, s.records) + ", ERROR " +
             percent(s.errors, s.records) +
             (s.insertions ? ", " + grouped_digits(*s.insertions) + " of " + grouped_digits(*s.rated_cycles) +
                                 " rated insertions"
                           : ""));
    for (const Slot &s : r.slots)
        if (s.flagged)
            line(slot_warning(s));
    line("");
    line("stations:");
    for (const auto &[station, c] : r.stations)
        line("  " + station + ": " + counts_line(c));
    line("days (UTC):");
    for (const auto &[day, c] : r.days)
        line("  " + day + ": " + counts_line(c));
    if (!r.intermittents.empty()) {
        line("");
        line("intermittent pins:");
        for (const auto &[board, pin] : r.intermittents)
            line("  " + board.dut_id + " at " + board.location + ": pin " + std::to_string(pin.pin) + " " +
                 pin.fault_class + " in " + std::to_string(pin.failures.value_or(0)) + " of " +
                 std::to_string(pin.runs.value_or(0)) + " runs");
    }
    return text;
}

std::string report_json(const Report &r)
{
    nlohmann::ordered_json doc = counts_json(r.all);
    doc["pareto"] = nlohmann::ordered_json::array();
    for (const Fault &f : r.pareto)
        doc["pareto"].push_back({{"pin", f.pin},
                                 {"class", f.fault_class},
                                 {"boards", f.boards},
                                 {"share", share(f.boards, r.failed_records)}});
    doc["slots"] = nlohmann::ordered_json::array();
    for (const Slot &s : r.slots) {
        nlohmann::ordered_json slot = {{"location", s.location},        {"records", s.records},
                                       {"fail_rate", share(s.fails, s.records)},
                                       {"error_rate", share(s.errors, s.records)},
                                       {"fails", s.fails},              {"others", s.others},
                                       {"others_failed", s.others_failed}, {"p_value", s.p_value},
                                       {"flagged", s.flagged}};
        if (s.flagged)
            slot["warning"] = slot_warning(s);
        if (!s.name.empty())
            slot["slot"] = s.name;
        if (s.insertions) {
            slot["insertions"] = *s.insertions;
            slot["rated_cycles"] = *s.rated_cycles;
        }
        doc["slots"].push_back(slot);
    }
    for (const char *key : {"stations", "days"}) {
        doc[key] = nlohmann::ordered_json::object();
        for (const auto &[name, c] : std::string(key) == "stations" ? r.stations : r.days)
            doc[key][name] = counts_json(c);
    }
    doc["intermittents"] = nlohmann::ordered_json::array();
    for (const auto &[board, pin] : r.intermittents)
        doc["intermittents"].push_back({{"dut_id", board.dut_id},
                                        {"location", board.location},
                                        {"record_id", board.record_id},
                                        {"pin", pin.pin},
                                        {"class", pin.fault_class},
                                        {"failures", pin.failures.value_or(0)},
                                        {"runs", pin.runs.value_or(0)}});
    return doc.dump(2);
}

// One figure a line: section, name, field, value.
std::string report_csv(const Report &r)
{
    std::string csv = "section,name,field,value\n";
    auto field = [](std::string text) {
        if (text.find_first_of(",\"\n\r") == std::string::npos)
            return text;
        std::string quoted = "\"";
        for (char c : text)
            quoted += c == '"' ? "\"\"" : std::string(1, c);
        return quoted + "\"";
    };
    auto add = [&](const std::string &section, const std::string &name, const std::string &key,
                   const nlohmann::ordered_json &value) {
        csv += field(section) + "," + field(name) + "," + field(key) + "," +
               field(value.is_string() ? value.get<std::string>() : value.dump()) + "\n";
    };
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(report_json(r));
    for (const auto &[key, value] : doc.items())
        if (!value.is_structured())
            add("line", "", key, value);
    for (const auto &f : doc["pareto"])
        for (const char *key : {"boards", "share"})
            add("pareto", "pin " + f["pin"].dump() + " " + f["class"].get<std::string>(), key, f[key]);
    for (const auto &s : doc["slots"])
        for (const auto &[key, value] : s.items())
            if (key != "location")
                add("slot", s["location"].get<std::string>(), key, value);
    for (const char *section : {"stations", "days"})
        for (const auto &[name, counts] : doc[section].items())
            for (const auto &[key, value] : counts.items())
                add(std::string(section) == "stations" ? "station" : "day", name, key, value);
    for (const auto &i : doc["intermittents"])
        add("intermittent", i["dut_id"].get<std::string>() + " pin " + i["pin"].dump(), "failures_of_runs",
            i["failures"].dump() + "/" + i["runs"].dump());
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

// "2026-12-09", "2026-12-09T14:30[:00]" in UTC, or Unix ms.
bool parse_time(const std::string &text, int64_t &millis)
{
    if (!text.empty() && text.size() <= 15 && text.find_first_not_of("0123456789") == std::string::npos) {
        millis = std::stoll(text);
        return true;
    }
    std::tm t{};
    bool ok = (text.size() == 10 || text.size() == 16 || text.size() == 19) && digits(text, 0, 4, t.tm_year) &&
              text[4] == '-' && digits(text, 5, 2, t.tm_mon) && text[7] == '-' && digits(text, 8, 2, t.tm_mday);
    if (ok && text.size() > 10)
        ok = text[10] == 'T' && digits(text, 11, 2, t.tm_hour) && text[13] == ':' && digits(text, 14, 2, t.tm_min);
    if (ok && text.size() > 16)
        ok = text[16] == ':' && digits(text, 17, 2, t.tm_sec);
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
    app.add_option("--since", since, "records that began at T or later (2026-12-09, 2026-12-09T14:30, or Unix ms)")
        ->type_name("T");
    app.add_option("--until", until, "records that began before T")->type_name("T");
    app.add_option("--station", filter.station_id, "one station's records")->type_name("ID");
    app.add_option("--lot", filter.lot, "one lot's records")->type_name("L");
    auto *as_json = app.add_flag("--json", json, "one JSON document");
    app.add_flag("--csv", csv, "CSV: section, name, field, value")->excludes(as_json);
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
    if (!db::parse_url(url_text, url, why) || !(database = db::open(url, why)) || !db::prepare_schema(*database, why) ||
        !read_report(*database, filter, report, why)) {
        fprintf(stderr, "wiretest-station report: %s\n", why.c_str());
        return exit_station;
    }
    for (const std::string &line : report.skipped)
        fprintf(stderr, "wiretest-station report: %s\n", line.c_str());
    std::string out = json ? report_json(report) + "\n" : csv ? report_csv(report) : report_text(report);
    fputs(out.c_str(), stdout);
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : exit_station;
}

} // namespace station
