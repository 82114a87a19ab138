// The EEPROM images the station writes, checked by libftdi1's own decoder,
// and the decoding, checksum and size detection the station relies on.
#include "eeprom_image.h"

#include <ftdi.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using eeprom::Part;

const eeprom::Strings profile{"Wiretest Line", "Bench board", "WT2650-000042"};

struct Case {
    ChipKind kind;
    ftdi_chip_type libftdi_type;
    Part part;
};

std::vector<uint8_t> bytes_of(const std::vector<uint16_t> &words)
{
    std::vector<uint8_t> bytes;
    for (uint16_t w : words) {
        bytes.push_back(uint8_t(w));
        bytes.push_back(uint8_t(w >> 8));
    }
    return bytes;
}

class LibftdiDecodes : public testing::TestWithParam<Case> {};

TEST_P(LibftdiDecodes, TheProfilesStringsAndTheChipsIds)
{
    const Case c = GetParam();
    std::string problem;
    std::vector<uint16_t> words = eeprom::build(c.kind, c.part, profile, &problem);
    ASSERT_EQ(problem, "");
    const eeprom::PartFacts &part = eeprom::part_facts(c.part);
    ASSERT_EQ(words.size(), size_t(part.checked_words));

    std::unique_ptr<ftdi_context, void (*)(ftdi_context *)> ftdi(ftdi_new(), ftdi_free);
    ASSERT_TRUE(ftdi);
    ftdi->type = c.libftdi_type;
    // libftdi1 takes the image's size from the part its own build was told
    // of. Its defaults are set before it fails to find strings on a device.
    ftdi_eeprom_initdefaults(ftdi.get(), nullptr, nullptr, nullptr);
    ASSERT_EQ(ftdi_set_eeprom_value(ftdi.get(), CHIP_TYPE, part.type_byte), 0);
    ASSERT_GE(ftdi_eeprom_build(ftdi.get()), 0);
    // As libftdi1 reads a chip: 256 bytes, the part's addresses wrapping.
    std::vector<uint16_t> read(128);
    for (size_t address = 0; address < read.size(); address++)
        read[address] = address % size_t(part.words) < words.size() ? words[address % size_t(part.words)] : 0xFFFF;
    std::vector<uint8_t> bytes = bytes_of(read);
    ASSERT_EQ(ftdi_set_eeprom_buf(ftdi.get(), bytes.data(), int(bytes.size())), 0);
    ASSERT_EQ(ftdi_eeprom_decode(ftdi.get(), 0), 0) << ftdi_get_error_string(ftdi.get());

    char manufacturer[64], product[64], serial[64];
    ASSERT_EQ(ftdi_eeprom_get_strings(ftdi.get(), manufacturer, sizeof manufacturer, product, sizeof product,
                                      serial, sizeof serial),
              0);
    EXPECT_EQ(manufacturer, profile.manufacturer);
    EXPECT_EQ(product, profile.product);
    EXPECT_EQ(serial, profile.serial);
    const chip_facts &chip = chip_facts_of(c.kind);
    int value = 0;
    ASSERT_EQ(ftdi_get_eeprom_value(ftdi.get(), VENDOR_ID, &value), 0);
    EXPECT_EQ(value, FTDI_VENDOR_ID);
    ASSERT_EQ(ftdi_get_eeprom_value(ftdi.get(), PRODUCT_ID, &value), 0);
    EXPECT_EQ(value, chip.product_id);
    ASSERT_EQ(ftdi_get_eeprom_value(ftdi.get(), CHIP_TYPE, &value), 0);
    EXPECT_EQ(value, part.type_byte);
    ASSERT_EQ(ftdi_get_eeprom_value(ftdi.get(), USE_SERIAL, &value), 0);
    EXPECT_EQ(value, 1);

    // And our own decoder agrees.
    eeprom::Decoded ours = eeprom::decode(c.part, words, &profile);
    EXPECT_EQ(ours.state, eeprom::State::ours);
    EXPECT_EQ(ours.strings.serial, profile.serial);
    EXPECT_EQ(ours.type_byte, part.type_byte);
    EXPECT_EQ(ours.release, chip.release);
}

INSTANTIATE_TEST_SUITE_P(
    EveryKindAndPart, LibftdiDecodes,
    testing::Values(Case{ChipKind::FT2232H, TYPE_2232H, Part::c46}, Case{ChipKind::FT2232H, TYPE_2232H, Part::c56},
                    Case{ChipKind::FT2232H, TYPE_2232H, Part::c66}, Case{ChipKind::FT4232H, TYPE_4232H, Part::c46},
                    Case{ChipKind::FT4232H, TYPE_4232H, Part::c56}, Case{ChipKind::FT232H, TYPE_232H, Part::c46},
                    Case{ChipKind::FT232H, TYPE_232H, Part::c66}));

TEST(EepromImage, EveryChangedWordBreaksTheChecksumAndTheStateFollows)
{
    std::string problem;
    std::vector<uint16_t> words = eeprom::build(ChipKind::FT2232H, Part::c46, profile, &problem);
    ASSERT_FALSE(words.empty());
    eeprom::Strings other = profile;
    other.product = "Another board";
    EXPECT_EQ(eeprom::decode(Part::c46, words, &other).state, eeprom::State::foreign);
    EXPECT_EQ(eeprom::decode(Part::c46, words).state, eeprom::State::foreign);
    for (size_t i = 0; i < words.size(); i++) {
        std::vector<uint16_t> changed = words;
        changed[i] ^= 0x0100;
        SCOPED_TRACE("word " + std::to_string(i));
        EXPECT_EQ(eeprom::decode(Part::c46, changed, &profile).state, eeprom::State::invalid);
    }
    // A write cut off before its last word, the checksum, leaves the old one.
    std::vector<uint16_t> cut = words;
    cut.back() = 0xFFFF;
    EXPECT_EQ(eeprom::decode(Part::c46, cut, &profile).state, eeprom::State::invalid);
    EXPECT_EQ(eeprom::decode(Part::c46, std::vector<uint16_t>(64, 0xFFFF), &profile).state, eeprom::State::blank);
}

TEST(EepromImage, StringsThatDoNotFitAreRefusedWithTheReason)
{
    const struct Refusal {
        eeprom::Strings strings;
        const char *reason;
    } refusals[] = {
        {{"M", "P", "WT2650-0000000042"}, "longer than 16"},
        {{std::string(32, 'm'), std::string(14, 'p'), "S1"}, "more than its 100"},
        {{"M\xc3\xa9", "P", "S"}, "printable ASCII"},
    };
    for (const Refusal &r : refusals) {
        SCOPED_TRACE(r.reason);
        std::string problem;
        EXPECT_TRUE(eeprom::build(ChipKind::FT232H, Part::c66, r.strings, &problem).empty());
        EXPECT_NE(problem.find(r.reason), std::string::npos) << problem;
    }
    // The most that fits: 47 characters in all.
    std::string problem;
    EXPECT_FALSE(eeprom::build(ChipKind::FT232H, Part::c46, {std::string(29, 'm'), "p", std::string(16, 's')},
                               &problem)
                     .empty())
        << problem;
}

TEST(EepromImage, ThePartIsToldByWhereItsAddressesWrap)
{
    std::string problem;
    for (Part part : {Part::c46, Part::c56, Part::c66}) {
        const eeprom::PartFacts &facts = eeprom::part_facts(part);
        std::vector<uint16_t> image = eeprom::build(ChipKind::FT2232H, part, profile, &problem);
        image.resize(size_t(facts.words), 0xFFFF);
        std::vector<uint16_t> read(256);
        for (size_t address = 0; address < read.size(); address++)
            read[address] = image[address % size_t(facts.words)];
        EXPECT_EQ(eeprom::part_from_wrap(read), part) << facts.name;
    }
    EXPECT_EQ(eeprom::part_from_wrap(std::vector<uint16_t>(256, 0xFFFF)), Part::none);
}

} // namespace
