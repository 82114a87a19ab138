// wiretest-station report as a line engineer reads it: one line of known
// answers, stored through the station's own store path into SQLite and
// into a real PostgreSQL server, the same figures out of each in text,
// JSON and CSV; boards without identity, a retested bad board beside a bad
// slot, a reader that may only SELECT, and databases the report must not
// create or trust.
#include "database.h"
#include "postgres_server.h"
#include "process.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>

namespace {

const std::string program = WIRETEST_STATION_SIM;
const int64_t dec_9 = 1796774400000LL, dec_10 = dec_9 + 24LL * 3600 * 1000; // 2026, midnight UTC

std::unique_ptr<station::db::Database> open_db(const std::string &url_text)
{
    station::db::Url url;
    std::string why;
    EXPECT_TRUE(station::db::parse_url(url_text, url, why)) << why;
    auto database = station::db::open(url, why);
    EXPECT_TRUE(database) << why;
    return database;
}

// A record as a station writes it; fault: "PIN CLASS" of a FAIL.
struct Attempt {
    std::string station, fixture, slot, location, label, serial;
    bool serial_shared;
    const char *outcome;
    std::string fault;
    int64_t insertions = 0, rated_cycles = 0;
    nlohmann::json identity = nullptr; // the record's "identity", where the station programmed the EEPROM
};

// Stores the attempts in order, a second apart from start.
void store(const std::string &url, const std::vector<Attempt> &attempts, int64_t start)
{
    auto database = open_db(url);
    std::string why;
    ASSERT_TRUE(database && station::db::prepare_schema(*database, why)) << why;
    static int n = 0;
    for (const Attempt &a : attempts) {
        nlohmann::json pins = nlohmann::json::array();
        for (int p = 0; p < 8; p++) {
            bool bad = !a.fault.empty() && a.fault[0] - '0' == p;
            pins.push_back({{"pin", p}, {"status", bad ? a.fault.substr(2) : "ok"}, {"with", nlohmann::json::array()}});
        }
        nlohmann::json record = {{"record_id", "r" + std::to_string(n)}, {"dut_id", "-"}, {"station_id", a.station},
                                 {"location", a.location}, {"channel", "A"}, {"serial", a.serial},
                                 {"test", "full"}, {"mode", "fast"}, {"start_time_millis", start + 1000L * n},
                                 {"end_time_millis", start + 1000L * n}, {"outcome", a.outcome}, {"pins", pins},
                                 {"lot", a.station == "line2-st3" ? "41" : "42"}};
        n++;
        for (auto [key, value] : {std::pair{"fixture_id", a.fixture}, {"slot", a.slot}, {"label", a.label}})
            if (!value.empty())
                record[key] = value;
        if (a.serial_shared)
            record["serial_shared"] = true;
        if (!a.identity.is_null())
            record["identity"] = a.identity;
        if (a.rated_cycles) {
            record["insertions"] = a.insertions;
            record["rated_cycles"] = a.rated_cycles;
        }
        const std::string session = nlohmann::json{{"session_id", a.station}, {"station_id", a.station},
                                                    {"started_millis", start}, {"version", "v"}, {"options", ""}}
                                        .dump();
        ASSERT_TRUE(station::db::store_record(*database, session, record.dump(), why)) << why;
    }
}

// Station line2-st3 with fixture FX-07 on Dec 9, lot 41: slot 3 at 1-4.2
// fails 14 of its 60 boards' first tests (pin 3 stuck-0), slots 4-7 fail 3
// of 240 (pin 5 stuck-1), and board B1 fails 22 times in slot 1. Station
// line2-st4 without a fixture on Dec 10, lot 42: three blank EEPROMs, a
// serial copied onto two chips, a board that passed its retest after an
// ERROR, and one that passed at its third test.
void store_the_line(const std::string &url)
{
    std::vector<Attempt> st3;
    st3.reserve(300);
    for (int i = 0; i < 60; i++)
        st3.push_back({"line2-st3", "FX-07", "3", "1-4.2", "", "A" + std::to_string(i), false,
                       i < 14 ? "FAIL" : "PASS", i < 14 ? "3 stuck-0" : "", 99941 + i, 100000});
    for (int i = 0; i < 240; i++)
        st3.push_back({"line2-st3", "FX-07", std::to_string(4 + i % 4), "1-4." + std::to_string(3 + i % 4), "",
                       "O" + std::to_string(i), false, i < 3 ? "FAIL" : "PASS", i < 3 ? "5 stuck-1" : "", 50 + i,
                       100000});
    for (int i = 0; i < 22; i++)
        st3.push_back({"line2-st3", "FX-07", "1", "1-1", "B1", "", false, "FAIL", "3 stuck-0"});
    store(url, st3, dec_9);
    store(url,
          {{"line2-st4", "", "", "1-1", "", "", false, "PASS", ""},
           {"line2-st4", "", "", "1-2", "", "", false, "PASS", ""},
           {"line2-st4", "", "", "1-3", "", "", false, "PASS", ""},
           {"line2-st4", "", "", "1-1", "", "DUP", true, "FAIL", "0 stuck-1"},
           {"line2-st4", "", "", "1-2", "", "DUP", true, "PASS", ""},
           {"line2-st4", "", "", "1-3", "", "E1", false, "ERROR", ""},
           {"line2-st4", "", "", "1-3", "", "E1", false, "PASS", ""},
           {"line2-st4", "", "", "1-4", "L1", "", false, "FAIL", "0 stuck-1"},
           {"line2-st4", "", "", "1-4", "L1", "", false, "FAIL", "0 stuck-1"},
           {"line2-st4", "", "", "1-4", "L1", "", false, "PASS", ""}},
          dec_10);
}

class StationReport : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override
    {
        if (std::string(GetParam()) == "sqlite") {
            url = "sqlite:" + dir / "line.db";
        } else {
            std::string why;
            ASSERT_TRUE(server.start(why)) << why;
            url = server.url();
        }
    }
    process::Result report(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"report", "--db", url});
        return process::run(program, args);
    }
    TempDir dir{"wiretest-report"};
    postgres::Server server;
    std::string url;
};

// One figure as each output gives it.
struct Figure {
    std::string text_line, json_pointer;
    nlohmann::json json;
    std::string csv_line;
};

TEST_P(StationReport, TheLinesKnownAnswersComeOutAlikeInTextJsonAndCsv)
{
    store_the_line(url);
    const std::string flag = "check the fixture FX-07 slot 3 (station line2-st3, at 1-4.2): 14 of 60 boards failed "
                             "their first test here, 4 of 241 at its other slots";
    const Figure figures[] = {
        {"boards tested: 308 (distinct boards, by label or unique serial)", "/boards", 308, "line,,,,,boards,308"},
        {"records: 332 (one for each test of a board)", "/records", 332, "line,,,,,records,332"},
        {"first-pass yield: 93.2% (287 of 308 boards passed their first test)", "/first_pass_yield", 287.0 / 308,
         "line,,,,,first_pass,287"},
        {"second-pass yield: 93.5% (288 of 308 boards passed by their second test)", "/second_pass_yield",
         288.0 / 308, "line,,,,,second_pass,288"},
        {"last-pass yield: 93.8% (289 of 308 boards passed their last test)", "/last_pass_yield", 289.0 / 308,
         "line,,,,,last_pass,289"},
        {"retests per board: 0.08", "/retests_per_board", 24.0 / 308, "line,,,,,retests_per_board,0.07792207792207792"},
        {"ERROR rate: 0.3% (1 of 332 records)", "/error_rate", 1.0 / 332, "line,,,,,errors,1"},
        {"5 records without a label or a unique serial: each counted as its own board; scan labels or program serials",
         "/records_without_identity", 5, "line,,,,,records_without_identity,5"},
        // The Pareto counts boards: B1's 22 FAILs are one board.
        {"faults, most boards first (of 20 failed boards, 42 failed records):", "/failed_boards", 20,
         "line,,,,,failed_records,42"},
        {"  pin 3 stuck-0: 15 boards (75.0%), 36 records", "/pareto/0/boards", 15, "pareto,pin 3 stuck-0,,,,records,36"},
        {"  pin 5 stuck-1: 3 boards (15.0%), 3 records", "/pareto/1/class", "stuck-1", "pareto,pin 5 stuck-1,,,,boards,3"},
        {"  pin 0 stuck-1: 2 boards (10.0%), 3 records", "/pareto/2/records", 3, "pareto,pin 0 stuck-1,,,,share,0.1"},
        // B1 retested in slot 1 is one board there; slot 3 is flagged.
        {"  station line2-st3, fixture FX-07, slot 1 at 1-1: 1 board (22 records), FAIL 100.0%, ERROR 0.0%",
         "/slots/0/flagged", false, "slot,1-1,line2-st3,FX-07,1,flagged,false"},
        {"  station line2-st3, fixture FX-07, slot 3 at 1-4.2: 60 boards (60 records), FAIL 23.3%, ERROR 0.0%, "
         "100,000 of 100,000 rated insertions (due: change its contacts)",
         "/slots/1/due", true, "slot,1-4.2,line2-st3,FX-07,3,due,true"},
        {flag, "/slots/1/warning", flag, "slot,1-4.2,line2-st3,FX-07,3,warning,\"" + flag + "\""},
        {"  station line2-st3, fixture FX-07, slot 4 at 1-4.3: 60 boards (60 records), FAIL 1.7%, ERROR 0.0%, "
         "286 of 100,000 rated insertions",
         "/slots/2/flagged", false, "slot,1-4.3,line2-st3,FX-07,4,flagged,false"},
        {"  station line2-st4 at 1-1: 2 boards (2 records), FAIL 50.0%, ERROR 0.0%", "/slots/6/station", "line2-st4",
         "slot,1-1,line2-st4,,,fails,1"},
        {"  line2-st4: 7 boards, 10 records, first-pass yield 57.1%, second-pass 71.4%, last-pass 85.7%, retests per "
         "board 0.43, ERROR rate 10.0% of records",
         "/stations/line2-st4/boards", 7, "station,line2-st4,,,,boards,7"},
        {"  2026-12-09: 301 boards, 322 records, first-pass yield 94.0%, second-pass 94.0%, last-pass 94.0%, "
         "retests per board 0.07, ERROR rate 0.0% of records",
         "/days/2026-12-09/records", 322, "day,2026-12-09,,,,first_pass,283"},
        {"  42: 7 boards, 10 records, first-pass yield 57.1%, second-pass 71.4%, last-pass 85.7%, retests per board "
         "0.43, ERROR rate 10.0% of records",
         "/lots/42/last_pass", 6, "lot,42,,,,errors,1"},
    };
    process::Result text = report({}), json = report({"--json"}), csv = report({"--csv"});
    for (const process::Result *r : {&text, &json, &csv}) {
        EXPECT_EQ(r->exit_status, 0) << r->err;
        EXPECT_EQ(r->err, "");
    }
    nlohmann::json doc = nlohmann::json::parse(json.out);
    for (const Figure &f : figures) {
        EXPECT_NE(("\n" + text.out).find("\n" + f.text_line + "\n"), std::string::npos) << f.text_line << "\n" << text.out;
        EXPECT_EQ(doc.at(nlohmann::json::json_pointer(f.json_pointer)), f.json) << f.json_pointer;
        EXPECT_NE(csv.out.find("\n" + f.csv_line + "\n"), std::string::npos) << f.csv_line << "\n" << csv.out;
    }
    // One flag only: neither B1's slot nor the good ones.
    EXPECT_EQ(text.out.find("check the fixture"), text.out.rfind("check the fixture")) << text.out;

    // A period given with an offset: Dec 10 from 02:00 at +02:00 is its midnight UTC.
    for (const char *since : {"2026-12-10T00:00:00Z", "2026-12-10T02:00+02:00", "2026-12-09T19:00-05:00"}) {
        process::Result later = report({"--since", since, "--json"});
        EXPECT_EQ(nlohmann::json::parse(later.out)["boards"], 7) << since << later.err;
    }
    process::Result one_station = report({"--station", "line2-st3", "--lot", "41", "--until", "2026-12-10"});
    EXPECT_NE(one_station.out.find("\nrecords: 322 "), std::string::npos) << one_station.out;
    EXPECT_EQ(one_station.out.find("without a label"), std::string::npos) << one_station.out;
    process::Result none = report({"--station", "other", "--since", "2026-12-09"});
    EXPECT_NE(none.out.find("boards tested: 0 "), std::string::npos) << none.out;
}

// The programming of EEPROMs counted from the records' identities: boards
// programmed, retests that kept their serial, serials spent on failures
// and the failures by step; a station or a database without identities
// reports as it did before them.
TEST_P(StationReport, ProgrammedBoardsSpentSerialsAndFailuresByStepAreCounted)
{
    auto id = [](const char *allocated, bool written, bool verified, bool kept, const char *failed_step) {
        nlohmann::json i = {{"serial_before", ""}, {"written", written}, {"verified", verified}, {"kept", kept}};
        if (*allocated)
            i["allocated"] = allocated;
        if (*failed_step)
            i["failed_step"] = failed_step, i["failed_word"] = 5;
        return i;
    };
    auto at = [](const char *station, const char *serial, const char *outcome, nlohmann::json identity) {
        return Attempt{station, "", "", "1-1", "", serial, false, outcome, "", 0, 0, std::move(identity)};
    };
    store(url,
          {at("st1", "WT1", "PASS", id("WT1", true, true, false, "")),
           at("st1", "WT2", "PASS", id("WT2", true, true, false, "")),
           at("st1", "WT1", "PASS", id("", false, false, true, "")),
           at("st1", "", "ERROR", id("WT3", true, false, false, "verify")),
           at("st1", "", "ERROR", id("WT4", false, false, false, "write")),
           at("st1", "", "ERROR", id("WT5", true, false, false, "verify")),
           at("st1", "", "ERROR", id("", false, false, false, "read")), // no EEPROM: no serial taken
           at("plain", "P1", "PASS", nullptr)},
          dec_9);
    const Figure figures[] = {
        {"boards programmed: 2 (EEPROM written and verified; 1 retested kept their serial)", "/programming/programmed",
         2, "programming,,,,,programmed,2"},
        {"serials spent: 3 (taken for boards whose programming failed)", "/programming/serials_spent", 3,
         "programming,,,,,serials_spent,3"},
        {"programming failures: 4 (verify 2, read 1, write 1)", "/programming/failures",
         {{"verify", 2}, {"read", 1}, {"write", 1}}, "programming_failure,verify,,,,records,2"},
    };
    process::Result text = report({}), json = report({"--json"}), csv = report({"--csv"});
    for (const process::Result *r : {&text, &json, &csv})
        EXPECT_EQ(r->exit_status, 0) << r->err;
    nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["programming"]["identity_records"], 7);
    for (const Figure &f : figures) {
        EXPECT_NE(("\n" + text.out).find("\n" + f.text_line + "\n"), std::string::npos) << f.text_line << "\n" << text.out;
        EXPECT_EQ(doc.at(nlohmann::json::json_pointer(f.json_pointer)), f.json) << f.json_pointer;
        EXPECT_NE(csv.out.find("\n" + f.csv_line + "\n"), std::string::npos) << f.csv_line << "\n" << csv.out;
    }

    // A station that programs nothing: no programming in any output.
    process::Result plain = report({"--station", "plain"}), plain_json = report({"--station", "plain", "--json"}),
                    plain_csv = report({"--station", "plain", "--csv"});
    EXPECT_EQ(plain.out.find("programm"), std::string::npos) << plain.out;
    EXPECT_FALSE(nlohmann::json::parse(plain_json.out).contains("programming")) << plain_json.out;
    EXPECT_EQ(plain_csv.out.find("programm"), std::string::npos) << plain_csv.out;

    // A database from before identities: the same report without their lines.
    std::string why;
    ASSERT_TRUE(open_db(url)->exec("DROP TABLE board_identities", why)) << why;
    process::Result before = report({});
    EXPECT_EQ(before.exit_status, 0) << before.err;
    std::string expected = text.out;
    for (const Figure &f : figures)
        expected.erase(expected.find(f.text_line + "\n"), f.text_line.size() + 1);
    EXPECT_EQ(before.out, expected);
}

// The yield as the schema's views gives it: the report's own figures, so
// that a dashboard over the line's database and the report agree.
TEST_P(StationReport, TheYieldViewsGiveTheReportsFigures)
{
    store_the_line(url);
    process::Result json = report({"--json"});
    ASSERT_EQ(json.exit_status, 0) << json.err;
    const nlohmann::json doc = nlohmann::json::parse(json.out);
    auto database = open_db(url);
    ASSERT_TRUE(database);
    std::string why;
    std::vector<station::db::Row> rows;
    const std::vector<std::string> counts = {"boards", "records", "first_pass", "second_pass", "last_pass", "fails",
                                             "errors", "first_pass_yield", "second_pass_yield", "last_pass_yield"};
    std::string columns;
    for (const std::string &c : counts)
        columns += ", " + c;
    // Each view's groups, named as the report's JSON names them.
    const struct {
        const char *view, *key, *section;
    } groups[] = {
        {"yield_by_station", "station_id", "stations"},
        {"yield_by_lot", "lot", "lots"},
        {"yield_by_day", "CASE day_start_millis WHEN 1796774400000 THEN '2026-12-09' WHEN 1796860800000 THEN "
                         "'2026-12-10' END",
         "days"},
    };
    for (const auto &g : groups) {
        ASSERT_TRUE(database->query(std::string("SELECT ") + g.key + columns + " FROM " + g.view, {}, rows, why))
            << why;
        ASSERT_EQ(rows.size(), doc[g.section].size()) << g.view;
        for (const station::db::Row &row : rows) {
            const nlohmann::json &wanted = doc[g.section].at(row[0].value_or("?"));
            for (size_t i = 0; i < counts.size(); i++)
                EXPECT_NEAR(std::stod(row[i + 1].value_or("nan")), wanted[counts[i]].get<double>(), 1e-12)
                    << g.view << " " << *row[0] << " " << counts[i];
        }
    }
    ASSERT_TRUE(database->query("SELECT station_id, fixture_id, location, slot, boards, records, fails, errors, "
                                "first_pass, first_pass_yield FROM yield_by_slot",
                                {}, rows, why))
        << why;
    ASSERT_EQ(rows.size(), doc["slots"].size());
    for (const station::db::Row &row : rows) {
        const nlohmann::json *wanted = nullptr;
        for (const nlohmann::json &s : doc["slots"])
            if (s["station"] == *row[0] && s["fixture"] == *row[1] && s["location"] == *row[2])
                wanted = &s;
        ASSERT_TRUE(wanted) << *row[0] << " " << *row[2];
        EXPECT_EQ(row[3].value_or(""), (*wanted)["slot"]);
        long boards = (*wanted)["boards"], fails = (*wanted)["fails"], errors = (*wanted)["errors"];
        EXPECT_EQ(std::vector<std::string>(
                      {*row[4], *row[5], *row[6], *row[7], std::to_string(boards - fails - errors)}),
                  std::vector<std::string>({std::to_string(boards), (*wanted)["records"].dump(),
                                            std::to_string(fails), std::to_string(errors), *row[8]}))
            << *row[2];
        EXPECT_NEAR(std::stod(*row[9]), 1 - (*wanted)["fail_rate"].get<double>() - (*wanted)["error_rate"].get<double>(),
                    1e-12);
    }
    ASSERT_TRUE(database->query("SELECT pin, \"class\", boards, records FROM fault_pareto ORDER BY boards DESC, "
                                "records DESC",
                                {}, rows, why))
        << why;
    ASSERT_EQ(rows.size(), doc["pareto"].size());
    for (size_t i = 0; i < rows.size(); i++)
        EXPECT_EQ(nlohmann::json({std::stoi(*rows[i][0]), *rows[i][1], std::stol(*rows[i][2]), std::stol(*rows[i][3])}),
                  nlohmann::json({doc["pareto"][i]["pin"], doc["pareto"][i]["class"], doc["pareto"][i]["boards"],
                                  doc["pareto"][i]["records"]}));

    // The shipped dashboard's panels over the line's PostgreSQL draw these views.
    if (std::string(GetParam()) == "postgresql") {
        std::ifstream file(std::string(WIRETEST_SOURCE_DIR) + "/packaging/grafana/wiretest-station-dashboard.json");
        const nlohmann::json dashboard = nlohmann::json::parse(file);
        int panels = 0;
        for (const nlohmann::json &panel : dashboard["panels"])
            if (panel["datasource"]["type"] == "postgres") {
                // Grafana's one macro there, as it expands it for the days stored.
                std::string sql = panel["targets"][0]["rawSql"];
                const std::string macro = "$__unixEpochFilter(\"time\")";
                if (size_t at = sql.find(macro); at != std::string::npos)
                    sql.replace(at, macro.size(), "\"time\" BETWEEN " + std::to_string(dec_9 / 1000) + " AND " +
                                                      std::to_string(dec_10 / 1000));
                ASSERT_TRUE(database->query(sql, {}, rows, why)) << panel["title"] << ": " << why;
                EXPECT_FALSE(rows.empty()) << panel["title"];
                panels++;
            }
        EXPECT_EQ(panels, 5);
    }
}

// The line's database is read by a role that may only SELECT; one without
// the station's tables is refused with exit 2, and left as it was.
TEST_P(StationReport, AReaderNeedsOnlySelectAndADatabaseWithoutRecordsIsRefused)
{
    if (std::string(GetParam()) == "sqlite")
        std::ofstream(dir / "line.db").flush(); // an empty file: a database without tables
    process::Result empty = report({});
    EXPECT_EQ(empty.exit_status, 2);
    EXPECT_EQ(empty.out, "");
    EXPECT_NE(empty.err.find("holds no station's records"), std::string::npos) << empty.err;
    if (std::string(GetParam()) == "sqlite") {
        EXPECT_EQ(std::filesystem::file_size(dir / "line.db"), 0u); // read, not written
    }

    store(url, {{"st", "", "", "1-1", "", "", false, "PASS", ""}}, dec_9);
    if (std::string(GetParam()) == "postgresql") {
        std::string why;
        auto owner = open_db(url);
        ASSERT_TRUE(owner->exec("CREATE ROLE reader LOGIN", why) &&
                    owner->exec("GRANT SELECT ON ALL TABLES IN SCHEMA public TO reader", why))
            << why;
        url.replace(url.find("user=postgres"), 13, "user=reader");
    }
    process::Result read = report({});
    EXPECT_EQ(read.exit_status, 0) << read.err;
    EXPECT_NE(read.out.find("1 record without a label or a unique serial: each counted as its own board; scan "
                            "labels or program serials\n"),
              std::string::npos)
        << read.out;
}

INSTANTIATE_TEST_SUITE_P(BothDatabases, StationReport, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<const char *> &info) { return std::string(info.param); });

TEST(StationReportSqlite, AMissingFileOrOneThatIsNoDatabaseIsRefusedAndNothingIsCreated)
{
    TempDir dir{"wiretest-report"};
    std::ofstream(dir / "garbage.db") << std::string(4096, 'x');
    const std::pair<std::string, std::string> cases[] = {
        {"missing.db", "sqlite:" + dir / "missing.db" + ": no such file (the report reads a database, never creates one)\n"},
        {"garbage.db", "sqlite:" + dir / "garbage.db" + ": holds no station's records (file is not a database)\n"},
    };
    for (const auto &[file, message] : cases) {
        process::Result r = process::run(program, {"report", "--db", "sqlite:" + dir / file});
        EXPECT_EQ(r.exit_status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "wiretest-station report: " + message);
    }
    std::vector<std::string> left;
    for (const auto &entry : std::filesystem::directory_iterator(dir.path))
        left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"garbage.db"});
}

// A value the report cannot use costs its row and one line, never the
// report; a schema newer than it reads, the report.
TEST(StationReportSqlite, ADamagedRowIsSkippedWithALineNamingIt)
{
    TempDir dir{"wiretest-report"};
    const std::string url = "sqlite:" + dir / "line.db";
    store(url, {{"st", "", "", "1-1", "", "S1", false, "PASS", ""}, {"st", "", "", "1-2", "", "S2", false, "FAIL", "2 stuck-0"}},
          dec_9);
    std::string why;
    auto database = open_db(url);
    std::vector<station::db::Row> ids;
    ASSERT_TRUE(database->query("SELECT record_id FROM boards ORDER BY serial", {}, ids, why)) << why;
    ASSERT_TRUE(database->exec("UPDATE boards SET start_time_millis = 'abc' WHERE serial = 'S1'", why) &&
                database->exec("UPDATE pins SET pin = 'x' WHERE status = 'stuck-0'", why))
        << why;
    process::Result r = process::run(program, {"report", "--db", url});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "wiretest-station report: skipped a row of boards (record_id " + *ids.at(0).at(0) +
                         "): its start_time_millis is 'abc', not a whole number\n"
                         "wiretest-station report: skipped a row of pins (record_id " + *ids.at(1).at(0) +
                         ", pin x): its pin is 'x', not a whole number\n")
        << r.err;
    EXPECT_NE(r.out.find("boards tested: 1 "), std::string::npos) << r.out;

    const std::string newer_version = std::to_string(station::db::schema_version + 1);
    ASSERT_TRUE(database->exec("UPDATE schema_version SET version = " + newer_version, why)) << why;
    process::Result newer = process::run(program, {"report", "--db", url});
    EXPECT_EQ(newer.exit_status, 2);
    EXPECT_EQ(newer.err, "wiretest-station report: " + url +
                             ": the database's schema is version " + newer_version + ", newer than this report's (" +
                             std::to_string(station::db::schema_version) + ")\n");
}

// The demo station's chips, tested twice: a blank EEPROM and the two chips
// with one copied serial are boards of their own at each test.
TEST(StationReportSqlite, BlankAndCopiedSerialsAreNeverMergedIntoOneBoard)
{
    TempDir dir{"wiretest-report"};
    const std::string url = "sqlite:" + dir / "line.db";
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(process::run(program, {"--all", "--fast", "--db", url}).exit_status, 1);
    process::Result r = process::run(program, {"report", "--db", url});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    // 1-1, 1-2, 1-3.2 and 1-6 twice each; 1-3.1 (blank), 1-4 and 1-5 (one serial) each time anew.
    for (const char *line : {"boards tested: 10 ", "records: 14 ",
                             "6 records without a label or a unique serial: each counted as its own board"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
}

} // namespace
