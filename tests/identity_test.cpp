// A board's identity programmed on the simulated chips: every part, a
// retest, a foreign image, and a fault at every step.
#include "database.h"
#include "process.h"
#include "programming.h"
#include "sim_control.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace {

using eeprom::Part;

const eeprom::Strings profile{"Wiretest Line", "Bench board", ""};

struct Programming : testing::Test {
    int allocated = 0;
    identity::Request request;

    void SetUp() override
    {
        sim::reset();
        allocated = 0;
        request = identity::Request{};
        request.location = "1-1";
        request.chip = "FT2232H";
        request.profile = profile;
        request.comeback_ms = 5000;
        request.allocate = [this](std::string &) { return "WT2650-" + std::to_string(100 + ++allocated); };
    }

    void plug(Part part, const std::string &serial = "", ChipKind kind = ChipKind::FT2232H)
    {
        sim::attach_chip("1-1", serial, kind);
        if (serial.empty())
            sim::fit_eeprom("1-1", part);
        request.chip = chip_facts_of(kind).name;
    }

    // The serial the chip at 1-1 is listed with now.
    static std::string listed_serial()
    {
        ft_channel_info list[8];
        uint32_t count = 0;
        EXPECT_EQ(ft_list_channels(list, 8, &count), FT_OK);
        for (uint32_t i = 0; i < count && i < 8; i++)
            if (std::string(list[i].location) == "1-1" && list[i].channel == 'A')
                return list[i].serial;
        return "(not listed)";
    }
};

TEST_F(Programming, ABlankChipOfEachPartIsFoundAgainWithItsNewSerial)
{
    for (Part part : {Part::c46, Part::c56, Part::c66}) {
        for (ChipKind kind : {ChipKind::FT2232H, ChipKind::FT232H}) {
            SCOPED_TRACE(std::string(eeprom::part_facts(part).name) + " on " + chip_facts_of(kind).name);
            SetUp();
            plug(part, "", kind);
            ASSERT_EQ(listed_serial(), "");
            identity::Outcome out = identity::program(request);
            ASSERT_FALSE(out.failure.failed()) << out.failure.describe();
            EXPECT_EQ(out.part, eeprom::part_facts(part).name);
            EXPECT_EQ(out.state, "blank");
            EXPECT_EQ(out.serial_before, "");
            EXPECT_EQ(out.serial_after, "WT2650-101");
            EXPECT_TRUE(out.written && out.verified && !out.kept);
            EXPECT_EQ(listed_serial(), "WT2650-101");
            // The part holds the image, the checksum valid, and its words past
            // the checked area untouched.
            std::vector<uint16_t> words = sim::eeprom_words("1-1");
            eeprom::Decoded held = eeprom::decode(part, words, &profile);
            EXPECT_EQ(held.state, eeprom::State::ours);
            EXPECT_EQ(held.checksum, out.checksum);
            for (size_t i = size_t(eeprom::part_facts(part).checked_words); i < words.size(); i++)
                ASSERT_EQ(words[i], 0xFFFF) << "word " << i;
        }
    }
}

TEST_F(Programming, ARetestKeepsItsSerialAndAForeignImageIsRefusedUnlessAsked)
{
    plug(Part::c56);
    ASSERT_FALSE(identity::program(request).failure.failed());
    identity::Outcome again = identity::program(request);
    EXPECT_FALSE(again.failure.failed()) << again.failure.describe();
    EXPECT_TRUE(again.kept);
    EXPECT_FALSE(again.written);
    EXPECT_EQ(again.serial_after, "WT2650-101");
    EXPECT_EQ(allocated, 1);

    SetUp();
    plug(Part::c56, "COPIED01"); // an image of another maker, serial COPIED01
    std::vector<uint16_t> before = sim::eeprom_words("1-1");
    identity::Outcome refused = identity::program(request);
    EXPECT_EQ(refused.failure.step, "refused");
    EXPECT_EQ(refused.state, "foreign");
    EXPECT_EQ(refused.serial_before, "COPIED01");
    EXPECT_NE(refused.advice.find("--reprogram"), std::string::npos);
    EXPECT_EQ(sim::eeprom_words("1-1"), before);
    EXPECT_EQ(allocated, 0);
    request.reprogram = true;
    identity::Outcome rewritten = identity::program(request);
    EXPECT_FALSE(rewritten.failure.failed()) << rewritten.failure.describe();
    EXPECT_EQ(rewritten.serial_before, "COPIED01");
    EXPECT_EQ(listed_serial(), "WT2650-101");
}

TEST_F(Programming, EachFaultIsAFailureWithItsStepAndWordAndTheSerialSpent)
{
    const struct Fault {
        const char *name;
        std::function<void()> inject;
        const char *step;
        int word;
        bool spent;
    } faults[] = {
        {"no EEPROM", [] { sim::fit_eeprom("1-1", Part::none); }, "detect", -1, false},
        {"write refused at word 5", [] { sim::fail_eeprom_write("1-1", 5); }, "write", 5, true},
        {"power cut before the checksum", [] { sim::fail_eeprom_write("1-1", 63); }, "write", 63, true},
        {"read-back differs", [] { sim::flip_eeprom_bits("1-1", 0x20, 0x0400); }, "verify", 0x20, true},
        {"never comes back", [] { sim::eeprom_return_after("1-1", 0, true); }, "find again", -1, true},
        {"comes back too late", [] { sim::eeprom_return_after("1-1", 60000); }, "find again", -1, true},
        {"read fails", [] { sim::inject(sim::fail(sim::Op::ReadEE, 3, FT_EEPROM_READ_FAILED)); }, "read", 2,
         false},
        {"reset fails", [] { sim::inject(sim::fail(sim::Op::CyclePort, 1, FT_IO_ERROR)); }, "reset", -1, true},
    };
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.name);
        SetUp();
        request.comeback_ms = 300;
        plug(Part::c46);
        f.inject();
        identity::Outcome out = identity::program(request);
        EXPECT_EQ(out.failure.step, f.step) << out.failure.describe();
        EXPECT_EQ(out.failure.word, f.word);
        EXPECT_FALSE(out.advice.empty());
        EXPECT_EQ(out.allocated, f.spent ? "WT2650-101" : "");
    }
    // Cut off before its checksum, the image is invalid: the chip starts
    // with its defaults and no serial, never with half an image.
    SetUp();
    plug(Part::c46);
    sim::fail_eeprom_write("1-1", 63);
    identity::program(request);
    EXPECT_EQ(eeprom::decode(Part::c46, sim::eeprom_words("1-1"), &profile).state, eeprom::State::invalid);
}

TEST_F(Programming, AChipSlowToComeBackIsWaitedFor)
{
    plug(Part::c66);
    sim::eeprom_return_after("1-1", 150);
    identity::Outcome out = identity::program(request);
    EXPECT_FALSE(out.failure.failed()) << out.failure.describe();
    EXPECT_EQ(out.serial_after, "WT2650-101");
}

} // namespace

namespace {

// wiretest-station eeprom as a shell runs it, on the station's simulated chips.
process::Result station_eeprom(std::vector<std::string> args)
{
    args.insert(args.begin(), "eeprom");
    return process::run(WIRETEST_STATION_SIM, args);
}

TEST(EepromCommand, ReadsAndDecodesWithoutWritingAndErasesOnlyWhenConfirmed)
{
    process::Result json = station_eeprom({"--port", "1-2", "--json"});
    ASSERT_EQ(json.exit_status, 0) << json.err;
    nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["serial"], "WTST0002");
    EXPECT_EQ(doc["part"], "93C56");
    EXPECT_EQ(doc["state"], "programmed");
    EXPECT_EQ(doc["checksum_valid"], true);
    EXPECT_EQ(doc["product_id"], "0x6010");

    const struct Run {
        std::vector<std::string> args;
        int exit_status;
        const char *out, *err;
    } runs[] = {
        {{"--port", "1-1"}, 0, "1-1 A FT2232H: EEPROM 93C56, programmed\n  manufacturer  FTDI", ""},
        {{"--port", "1-1", "--sim-eeprom", "1-1=93C46"}, 0, "EEPROM blank: every word reads 0xFFFF", ""},
        {{"--port", "1-1", "--sim-eeprom", "1-1=none"}, 0, "EEPROM blank", ""},
        {{"--port", "1-1", "--erase"}, 2, "", "add --yes to confirm"},
        {{"--port", "1-1", "--erase", "--yes"}, 0, "EEPROM erased\n1-1 A FT2232H: EEPROM blank", ""},
        {{"--port", "9-9"}, 2, "", "no chip is plugged at 9-9"},
        {{}, 2, "", "--port is required"},
    };
    for (const Run &r : runs) {
        process::Result result = station_eeprom(r.args);
        SCOPED_TRACE(testing::PrintToString(r.args));
        EXPECT_EQ(result.exit_status, r.exit_status) << result.err;
        EXPECT_NE(result.out.find(r.out), std::string::npos) << result.out;
        EXPECT_NE(result.err.find(r.err), std::string::npos) << result.err;
        if (r.exit_status != 0) {
            EXPECT_EQ(result.out, "");
        }
    }
}

} // namespace

namespace {

// wiretest-station-sim --product: the station programs each board after its
// test, records what became of it, and keeps the serials in --db.
TEST(StationProduct, ABoardThatPassesIsProgrammedAndEveryFailureIsAnErrorWithItsSerialSpent)
{
    TempDir dir{"wiretest-product"};
    {
        std::ofstream profile(dir / "product.toml");
        profile << "[product]\nmanufacturer = \"Wiretest\"\nproduct = \"Bench\"\n";
    }
    const struct Run {
        std::vector<std::string> args;
        const char *outcome;
        const char *failed_step; // "" when it did not fail; nullptr: not programmed at all
        int exit_status;
        bool allocated;
    } runs[] = {
        {{"--port", "1-3.1", "--sim-eeprom", "1-3.1=93C46"}, "PASS", "", 0, true},
        {{"--port", "1-1"}, "ERROR", "refused", 3, false},
        {{"--port", "1-2"}, "FAIL", nullptr, 1, false},
        {{"--port", "1-3.1", "--sim-eeprom", "1-3.1=93C66,fail-write=7"}, "ERROR", "write", 3, true},
    };
    std::vector<std::string> allocated;
    for (const Run &r : runs) {
        SCOPED_TRACE(testing::PrintToString(r.args));
        std::vector<std::string> args = {"--fast", "--json", "--db", "sqlite:" + dir / "line.db", "--product",
                                         dir / "product.toml"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        process::Result result = process::run(WIRETEST_STATION_SIM, args);
        EXPECT_EQ(result.exit_status, r.exit_status) << result.err;
        nlohmann::json record = nlohmann::json::parse(result.out);
        EXPECT_EQ(record["outcome"], r.outcome);
        if (!r.failed_step) {
            EXPECT_FALSE(record.contains("identity"));
            continue;
        }
        nlohmann::json identity = record["identity"];
        EXPECT_EQ(identity.value("failed_step", ""), r.failed_step);
        EXPECT_EQ(identity.contains("allocated"), r.allocated);
        if (r.allocated)
            allocated.push_back(identity["allocated"]);
        if (std::string(r.failed_step).empty()) {
            EXPECT_EQ(identity["serial_after"], identity["allocated"]);
            EXPECT_EQ(record["serial"], identity["allocated"]);
            EXPECT_EQ(identity["eeprom"], "93C46");
            EXPECT_EQ(identity["state"], "blank");
            EXPECT_EQ(identity["verified"], true);
        } else {
            EXPECT_NE(record["reason"].get<std::string>().find("EEPROM " + std::string(r.failed_step)),
                      std::string::npos)
                << record["reason"];
        }
    }
    // Two serials, one after the other, the second spent by its failed write.
    ASSERT_EQ(allocated.size(), 2u);
    EXPECT_EQ(allocated[0].substr(allocated[0].size() - 7), "-000001");
    EXPECT_EQ(allocated[1].substr(allocated[1].size() - 7), "-000002");
    std::string why;
    auto db = station::db::open_sqlite(dir / "line.db", why);
    ASSERT_TRUE(db) << why;
    std::vector<station::db::Row> rows;
    ASSERT_TRUE(db->query("SELECT serial, state FROM serial_assignments ORDER BY seq", {}, rows, why)) << why;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (station::db::Row{allocated[0], "programmed"}));
    EXPECT_EQ(rows[1], (station::db::Row{allocated[1], "spent"}));
    // And each board's identity beside its record.
    ASSERT_TRUE(db->query("SELECT b.outcome, i.state, i.serial_after, i.verified, i.failed_step, i.failed_word "
                          "FROM board_identities i JOIN boards b ON b.record_id = i.record_id "
                          "ORDER BY b.start_time_millis",
                          {}, rows, why))
        << why;
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (station::db::Row{"PASS", "blank", allocated[0], "1", std::nullopt, std::nullopt}));
    EXPECT_EQ(rows[1], (station::db::Row{"ERROR", "foreign", "", "0", "refused", std::nullopt}));
    EXPECT_EQ(rows[2], (station::db::Row{"ERROR", "blank", "", "0", "write", "7"}));
}

} // namespace
