// wiretest-station report: its options, the times it reads, and the
// rendering it prints.
#include "report.h"

#include "board_result.h"
#include "utc_time.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <ctime>
#include <filesystem>

namespace station {

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
    millis = int64_t(utc_seconds(t)) * 1000;
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
