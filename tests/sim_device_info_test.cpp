// The simulated driver's device-information list and its opening by
// location id, which its ftd2xx.dll offers to wiretest.exe's loader.
#include "device_link/ft_device_info.h"
#include "sim_control.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct Entry {
    uint32_t flags, type, id, loc_id;
    std::string serial, description;
    bool operator==(const Entry &o) const
    {
        return flags == o.flags && type == o.type && id == o.id && loc_id == o.loc_id &&
               serial == o.serial && description == o.description;
    }
};

std::ostream &operator<<(std::ostream &out, const Entry &e)
{
    return out << std::hex << "{" << e.flags << ", " << e.type << ", " << e.id << ", 0x" << e.loc_id
               << ", \"" << e.serial << "\", \"" << e.description << "\"}";
}

std::vector<Entry> device_info_list()
{
    uint32_t count = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
    std::vector<Entry> entries;
    for (uint32_t i = 0; i < count; i++) {
        Entry e{};
        // Marked past the buffers' ends, to see the driver keeps within them.
        char serial[FT_INFO_SERIAL_SIZE + 1];
        char description[FT_INFO_DESCRIPTION_SIZE + 1];
        std::memset(serial, '#', sizeof serial);
        std::memset(description, '#', sizeof description);
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(FT_GetDeviceInfoDetail(i, &e.flags, &e.type, &e.id, &e.loc_id, serial, description,
                                         &handle),
                  FT_OK);
        EXPECT_EQ(serial[FT_INFO_SERIAL_SIZE], '#');
        EXPECT_EQ(description[FT_INFO_DESCRIPTION_SIZE], '#');
        e.serial.assign(serial, strnlen(serial, FT_INFO_SERIAL_SIZE));
        e.description = description;
        EXPECT_EQ(handle != nullptr, (e.flags & FT_FLAGS_OPENED) && e.serial != "WTHELD") << e;
        entries.push_back(e);
    }
    return entries;
}

FT_STATUS open_by_location(uint32_t loc_id, FT_HANDLE *handle)
{
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the id itself is the argument
    return FT_OpenEx(reinterpret_cast<void *>(uintptr_t(loc_id)), FT_OPEN_BY_LOCATION, handle);
}

class SimDeviceInfo : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim::reset();
        sim::attach("WTSIM001A"); // no location: not in the list
        sim::attach_chip("1-3.2", "WTLOC01", sim::ChipKind::FT2232H);
        sim::attach_chip("1-4", "", sim::ChipKind::FT4232H);
        sim::attach_chip("2-12", "WTHELD", sim::ChipKind::FT232H);
        sim::refuse_access("2-12", "held");
        sim::attach_chip("3-1.2.3.4.5.6", "WTSERIAL16CHARS", sim::ChipKind::FT2232D);
        sim::attach_chip("1-16", "WTPORT16", sim::ChipKind::FT232H);          // a number past 15
        sim::attach_chip("1-1.2.3.4.5.6.7", "WTDEEP", sim::ChipKind::FT232H); // 8 numbers
    }
};

TEST_F(SimDeviceInfo, ListsEachLocatedChannelWithAnIdOfItsLocationAndChannel)
{
    const std::vector<Entry> expected{
        {FT_FLAGS_HISPEED, FT_DEVICE_2232H, 0x04036010, 0x1321, "WTLOC01A", "FT2232H A"},
        {FT_FLAGS_HISPEED, FT_DEVICE_2232H, 0x04036010, 0x1322, "WTLOC01B", "FT2232H B"},
        {FT_FLAGS_HISPEED, FT_DEVICE_4232H, 0x04036011, 0x141, "", "FT4232H A"},
        {FT_FLAGS_HISPEED, FT_DEVICE_4232H, 0x04036011, 0x142, "", "FT4232H B"},
        {FT_FLAGS_HISPEED, FT_DEVICE_4232H, 0x04036011, 0x143, "", "FT4232H C"},
        {FT_FLAGS_HISPEED, FT_DEVICE_4232H, 0x04036011, 0x144, "", "FT4232H D"},
        {FT_FLAGS_HISPEED | FT_FLAGS_OPENED, FT_DEVICE_232H, 0x04036014, 0x2C1, "WTHELD", "FT232H"},
        // 16 bytes with the letter: no room for the terminator.
        {0, FT_DEVICE_2232C, 0x04036010, 0x31234561, "WTSERIAL16CHARSA", "FT2232D A"},
        {0, FT_DEVICE_2232C, 0x04036010, 0x31234562, "WTSERIAL16CHARSB", "FT2232D B"},
    };
    EXPECT_EQ(device_info_list(), expected);
    EXPECT_TRUE(sim::calls().empty());
}

TEST_F(SimDeviceInfo, OpensByLocationIdTheOneChannelThere)
{
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(open_by_location(0x1322, &handle), FT_OK);
    EXPECT_EQ(sim::calls().back().text, "0x1322");
    EXPECT_EQ(sim::calls().back().args, std::vector<uint64_t>{FT_OPEN_BY_LOCATION});
    // The handle is channel B's: its entry alone is marked open.
    std::vector<Entry> entries = device_info_list();
    ASSERT_EQ(entries.size(), 9u);
    for (const Entry &e : entries)
        EXPECT_EQ(bool(e.flags & FT_FLAGS_OPENED), e.loc_id == 0x1322 || e.loc_id == 0x2C1) << e;
    FT_HANDLE again = nullptr;
    EXPECT_EQ(open_by_location(0x1322, &again), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(FT_Close(handle), FT_OK);
    EXPECT_EQ(device_info_list()[1].flags, FT_FLAGS_HISPEED);

    const struct {
        uint32_t loc_id;
        FT_STATUS status;
    } others[] = {
        {0x2C1, FT_DEVICE_NOT_OPENED}, // refused
        {0x1323, FT_DEVICE_NOT_FOUND}, // no channel C
        {0x13, FT_DEVICE_NOT_FOUND},   // the chip's place without a channel
        {0x143, FT_DEVICE_NOT_FOUND},  // a channel without MPSSE
        {0, FT_DEVICE_NOT_FOUND},      // what the unlisted would have
    };
    for (const auto &other : others) {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(open_by_location(other.loc_id, &h), other.status) << std::hex << other.loc_id;
        EXPECT_EQ(h, nullptr);
    }
}

} // namespace
