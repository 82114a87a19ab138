// Serials never given twice: the template, the counter in one SQLite file
// shared by two stations, blocks from a PostgreSQL server that goes away,
// and the serial a failed programming spends.
#include "board_identity.h"
#include "postgres_server.h"
#include "sim_control.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace {

using station::db::Database;

// 2026-12-10 05:30 UTC: ISO week 50.
const identity::SerialContext context{"L7", "st2", 1796880600};

TEST(SerialTemplate, FieldsExpandAndMalformedTemplatesAreRefused)
{
    const struct Case {
        const char *serial_template;
        long long seq;
        const char *serial; // "" when refused
        const char *why;
    } cases[] = {
        {"WT{yy}{ww}-{seq:06}", 42, "WT2650-000042", ""},
        {"{lot}{station}{yyyy}{mm}{dd}{seq}", 7, "L7st2202612107", ""},
        {"B{seq:3}", 12345, "B12345", ""},
        {"WT{yy}", 1, "", "has no {seq}"},
        {"WT{week}{seq}", 1, "", "no field {week}"},
        {"WT{seq", 1, "", "without its '}'"},
        {"WT{seq:x}", 1, "", "the width"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serial_template);
        std::string why;
        EXPECT_EQ(identity::expand_serial(c.serial_template, c.seq, context, why), c.serial);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
    }    // ISO weeks at the turn of a year.
    const struct Week {
        std::time_t when;
        const char *serial;
    } weeks[] = {{1798804800, "2753-1"}, {1798459200, "2653-1"}, {1609675200, "2153-1"}};
    for (const Week &w : weeks) {
        std::string why;
        EXPECT_EQ(identity::expand_serial("{yy}{ww}-{seq}", 1, {"", "", w.when}, why), w.serial) << w.when;
    }
}

TEST(ProductProfile, IsCheckedAgainstTheEepromWhenRead)
{
    identity::ProductProfile profile;
    std::string why;
    ASSERT_TRUE(identity::parse_product_profile(
        "[product]\nmanufacturer = \"Wiretest\"\nproduct = \"Bench\"\nprogram = \"always\"\n", "p.toml", context,
        profile, why))
        << why;
    EXPECT_TRUE(profile.always);
    EXPECT_EQ(profile.serial_template, "WT{yy}{ww}-{seq:06}");
    const struct Refusal {
        const char *toml, *why;
    } refusals[] = {
        {"[fixture]\n", "p.toml: no [product] table"},
        {"[product]\nmanufacturer = \"M\"\n", "needs manufacturer and product"},
        {"[product]\nmanufacturer = \"M\"\nproduct = \"P\"\nserial = \"{lot}-{station}-{yyyy}{mm}{dd}-{seq:06}\"\n",
         "longer than 16 characters"},
        {"[product]\nmanufacturer = \"A rather long maker's name here\"\nproduct = \"And its product\"\n",
         "more than its 100"},
        {"[product]\nmanufacturer = \"M\"\nproduct = \"P\"\nprogram = \"sometimes\"\n", "[product] program"},
        {"[product]\nmanufacturer = \"M\"\nproduct = \"P\"\nvendor_id = 1\n", "[product] vendor_id: not a key"},
    };
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.toml);
        identity::ProductProfile refused;
        EXPECT_FALSE(identity::parse_product_profile(r.toml, "p.toml", context, refused, why));
        EXPECT_NE(why.find(r.why), std::string::npos) << why;
    }
}

std::unique_ptr<Database> open_file(const std::string &path)
{
    std::string why;
    auto db = station::db::open_sqlite(path, why);
    EXPECT_TRUE(db) << why;
    return db;
}

std::string take(identity::SerialAllocator &serials, const std::string &location, std::string &why)
{
    std::string serial;
    auto serial_of = [](long long seq, std::string &why) { return identity::expand_serial("S{seq}", seq, context, why); };
    return serials.take("S{seq}", location, serial_of, serial, why) ? serial : "";
}

// Two stations, each on a thread of its own, taking count serials at once.
std::vector<std::string> take_at_once(identity::SerialAllocator &a, identity::SerialAllocator &b, int count)
{
    std::vector<std::string> taken[2];
    auto station = [&](identity::SerialAllocator &serials, std::vector<std::string> &mine) {
        for (int i = 0; i < count; i++) {
            std::string why, serial = take(serials, "1-1", why);
            EXPECT_NE(serial, "") << why;
            mine.push_back(serial);
        }
    };
    std::thread first(station, std::ref(a), std::ref(taken[0]));
    std::thread second(station, std::ref(b), std::ref(taken[1]));
    first.join();
    second.join();
    taken[0].insert(taken[0].end(), taken[1].begin(), taken[1].end());
    return taken[0];
}

TEST(Serials, TwoStationsOnOneSqliteFileNeverTakeOneSerialTwice)
{
    TempDir dir{"wiretest-serials"};
    auto one = open_file(dir / "line.db"), other = open_file(dir / "line.db");
    identity::SerialAllocator a(*one, nullptr, "a"), b(*other, nullptr, "b");
    std::vector<std::string> taken = take_at_once(a, b, 80);
    std::set<std::string> distinct(taken.begin(), taken.end());
    EXPECT_EQ(distinct.size(), 160u);
    EXPECT_TRUE(distinct.count("S1") && distinct.count("S160"));
    std::vector<station::db::Row> rows;
    std::string why;
    ASSERT_TRUE(one->query("SELECT COUNT(DISTINCT serial), COUNT(*) FROM serial_assignments WHERE state = 'assigned'",
                           {}, rows, why))
        << why;
    EXPECT_EQ(rows[0][0], "160");
    EXPECT_EQ(rows[0][1], "160");
}

TEST(Serials, StationsCutOffFromTheServerGoOnWithTheirBlocksAndNeverShareANumber)
{
    postgres::Server server;
    TempDir dir{"wiretest-serials"};
    std::string why;
    ASSERT_TRUE(server.start(why)) << why;
    station::db::Url url;
    ASSERT_TRUE(station::db::parse_url(server.url(), url, why)) << why;
    auto connect = [&](std::string &why) { return station::db::open_postgresql(url, why); };
    auto journal_a = open_file(dir / "a.db"), journal_b = open_file(dir / "b.db");
    identity::SerialAllocator a(*journal_a, connect, "a", 5), b(*journal_b, connect, "b", 5);
    std::vector<std::string> taken;
    for (int i = 0; i < 3; i++)
        for (identity::SerialAllocator *serials : {&a, &b})
            taken.push_back(take(*serials, "1-1", why));

    // Cut off: each station takes the two numbers left in its block, then none.
    ASSERT_TRUE(server.stop(why)) << why;
    for (identity::SerialAllocator *serials : {&a, &b}) {
        for (int i = 0; i < 2; i++) {
            std::string serial = take(*serials, "1-1", why);
            EXPECT_NE(serial, "") << why;
            taken.push_back(serial);
        }
        EXPECT_EQ(take(*serials, "1-1", why), "");
        EXPECT_NE(why.find("none could be reserved from the server"), std::string::npos) << why;
    }
    ASSERT_TRUE(server.restart(why)) << why;
    std::vector<std::string> later = take_at_once(a, b, 30);
    taken.insert(taken.end(), later.begin(), later.end());
    std::set<std::string> distinct(taken.begin(), taken.end());
    EXPECT_EQ(distinct.size(), taken.size());
    EXPECT_EQ(distinct.size(), 70u);
    EXPECT_EQ(distinct.count(""), 0u);
}

TEST(Serials, AFailedProgrammingSpendsItsSerialAndARetestTakesNone)
{
    TempDir dir{"wiretest-serials"};
    auto journal = open_file(dir / "station.db");
    identity::SerialAllocator serials(*journal, nullptr, "st2");
    identity::ProductProfile profile;
    profile.manufacturer = "Wiretest";
    profile.product = "Bench";
    identity::Request request;
    request.location = "1-1";
    request.chip = "FT2232H";
    request.comeback_ms = 5000;

    sim::reset();
    sim::attach_chip("1-1", "", ChipKind::FT2232H);
    sim::fit_eeprom("1-1", eeprom::Part::c46);
    sim::fail_eeprom_write("1-1", 9);
    identity::Outcome failed = identity::program_board(request, profile, context, serials);
    EXPECT_EQ(failed.failure.step, "write");
    EXPECT_EQ(failed.allocated, "WT2650-000001");

    sim::reset();
    sim::attach_chip("1-1", "", ChipKind::FT2232H);
    sim::fit_eeprom("1-1", eeprom::Part::c46);
    identity::Outcome programmed = identity::program_board(request, profile, context, serials);
    EXPECT_FALSE(programmed.failure.failed()) << programmed.failure.describe();
    EXPECT_EQ(programmed.serial_after, "WT2650-000002");
    identity::Outcome retest = identity::program_board(request, profile, context, serials);
    EXPECT_TRUE(retest.kept);
    EXPECT_EQ(retest.serial_after, "WT2650-000002");

    std::vector<station::db::Row> rows;
    std::string why;
    ASSERT_TRUE(journal->query("SELECT serial, state FROM serial_assignments ORDER BY seq", {}, rows, why)) << why;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (station::db::Row{"WT2650-000001", "spent"}));
    EXPECT_EQ(rows[1], (station::db::Row{"WT2650-000002", "programmed"}));
}

} // namespace
