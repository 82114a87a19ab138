// The libftdi1 layer on the real libftdi1 and the real libusb, whose Linux
// code finds, opens and talks to chips emulated behind usbfs
// (support/usbfs_bus.h): what the virtual bus, which stands in for libusb
// itself, cannot show.
#include "device_link/ft_driver.h"
#include "device_link/ft_locations.h"
#include "usbfs_bus.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class Usbfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = usbfs::unavailable_because();
        if (!why.empty())
            GTEST_SKIP() << why;
        bus_ = std::make_unique<usbfs::Bus>();
    }
    void TearDown() override
    {
        for (FT_HANDLE h : handles_)
            FT_Close(h);
        ft_release_listings();
        bus_.reset();
    }
    std::vector<ft_channel_info> listing()
    {
        std::vector<ft_channel_info> list(16);
        uint32_t count = 0;
        EXPECT_EQ(ft_list_channels(list.data(), uint32_t(list.size()), &count), FT_OK) << ft_last_cause();
        list.resize(std::min<size_t>(count, list.size()));
        return list;
    }
    FT_HANDLE open(const std::string &location, char channel)
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(ft_open_by_location(location.c_str(), channel, &h), FT_OK) << location << channel << ": " << ft_last_cause();
        if (h)
            handles_.push_back(h);
        return h;
    }
    // Commands out, and every answer byte they make back, as the tool reads them.
    std::vector<uint8_t> exchange(FT_HANDLE h, std::vector<uint8_t> commands, size_t answers)
    {
        uint32_t written = 0;
        EXPECT_EQ(FT_Write(h, commands.data(), uint32_t(commands.size()), &written), FT_OK) << ft_last_cause();
        std::vector<uint8_t> got(answers);
        uint32_t read = 0;
        EXPECT_EQ(FT_Read(h, got.data(), uint32_t(answers), &read), FT_OK) << ft_last_cause();
        got.resize(read);
        return got;
    }
    void mpsse_on(FT_HANDLE h)
    {
        ASSERT_EQ(FT_SetBitMode(h, 0, 0), FT_OK);
        ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK) << ft_last_cause();
    }

    std::unique_ptr<usbfs::Bus> bus_;
    std::vector<FT_HANDLE> handles_;
};

TEST_F(Usbfs, ListsEveryMpsseChannelAtThePortPathLibusbReadsFromSysfs)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT2232H, "WT01"));
    bus_->plug(usbfs::chip_at("1-4.2", ChipKind::FT4232H, ""));
    bus_->plug(usbfs::chip_at("1-4.3.1", ChipKind::FT232H, "WT03"));
    std::vector<std::string> seen;
    for (const ft_channel_info &c : listing())
        seen.push_back(std::string(c.location) + ":" + c.channel + " " + c.chip + " '" + c.serial + "' " +
                       (c.access == FT_OK ? "ok" : c.access_note));
    EXPECT_EQ(seen, (std::vector<std::string>{"1-1:A FT2232H 'WT01' ok", "1-1:B FT2232H 'WT01' ok",
                                              "1-4.2:A FT4232H '' ok", "1-4.2:B FT4232H '' ok",
                                              "1-4.3.1:A FT232H 'WT03' ok"}));
}

} // namespace

// The bus answers usbfs only to a program under umockdev's preload: start
// again under umockdev-wrapper where it is installed.
int main(int argc, char **argv)
{
    if (!usbfs::unavailable_because().empty() && !std::getenv("WIRETEST_USBFS_WRAPPED")) {
        setenv("WIRETEST_USBFS_WRAPPED", "1", 1);
        std::vector<char *> args = {const_cast<char *>("umockdev-wrapper")};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        execvp(args[0], args.data()); // returns only where there is no umockdev
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
