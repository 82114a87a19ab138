// The table of chip kinds: a chip found by what it enumerates with on USB,
// by its device-information type and by its name is that one row.
#include "device_link/chip_kinds.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ChipKinds, UsbIdentityNamesTheKindOrNone)
{
    struct Case {
        uint16_t vendor, product, release;
        const char *kind; // nullptr: no kind here
    };
    for (const Case &c : {Case{0x0403, 0x6010, 0x0700, "FT2232H"}, Case{0x0403, 0x6010, 0x0500, "FT2232D"},
                          // A release not in the table: the product's first kind.
                          Case{0x0403, 0x6010, 0x0600, "FT2232H"}, Case{0x0403, 0x6011, 0x0800, "FT4232H"},
                          Case{0x0403, 0x6014, 0x0900, "FT232H"}, Case{0x0403, 0x6001, 0x0600, nullptr},
                          Case{0x1d6b, 0x6010, 0x0700, nullptr}}) {
        SCOPED_TRACE(std::to_string(c.vendor) + ":" + std::to_string(c.product) + "/" + std::to_string(c.release));
        const chip_facts *found = chip_by_usb(c.vendor, c.product, c.release);
        if (!c.kind)
            EXPECT_EQ(found, nullptr) << found->name;
        else
            EXPECT_STREQ(found ? found->name : "(none)", c.kind);
    }
}

TEST(ChipKinds, EachRowIsFoundByEveryKeyOfIt)
{
    for (const chip_facts &row : chip_table) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(&chip_facts_of(row.kind), &row);
        EXPECT_EQ(chip_by_name(row.name), &row);
        EXPECT_EQ(chip_by_info_type(row.info_type), &row);
        EXPECT_EQ(chip_by_usb(FTDI_VENDOR_ID, row.product_id, row.release), &row);
        EXPECT_LE(row.mpsse_channels, row.channels);
    }
    EXPECT_EQ(chip_by_name("FT232R"), nullptr);
}

} // namespace
