// Status names: every value of the driver's table by name, nothing beyond it.
#include "fixture.h"

#include "device_link/device_state.h"
#include "device_link/status_report.h"

namespace {

const char *const expected_names[] = {
    "FT_OK", "FT_INVALID_HANDLE", "FT_DEVICE_NOT_FOUND", "FT_DEVICE_NOT_OPENED",
    "FT_IO_ERROR", "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER",
    "FT_INVALID_BAUD_RATE", "FT_DEVICE_NOT_OPENED_FOR_ERASE",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE", "FT_FAILED_TO_WRITE_DEVICE",
    "FT_EEPROM_READ_FAILED", "FT_EEPROM_WRITE_FAILED", "FT_EEPROM_ERASE_FAILED",
    "FT_EEPROM_NOT_PRESENT", "FT_EEPROM_NOT_PROGRAMMED", "FT_INVALID_ARGS",
    "FT_NOT_SUPPORTED", "FT_OTHER_ERROR",
};

console::Run report(FT_STATUS status)
{
    last_status = status;
    return console::capture([] { report_status(); });
}

TEST(StatusReport, EveryKnownStatusPrintsItsNameOnStandardErrorOnly)
{
    for (FT_STATUS status = 0; status <= 18; status++) {
        SCOPED_TRACE(status);
        console::Run r = report(status);
        EXPECT_EQ(r.err, std::string(expected_names[status]) + "\n");
        EXPECT_EQ(r.out, "");
    }
}

TEST(StatusReport, UnknownStatusesPrintNothing)
{
    for (FT_STATUS status : {19u, 20u, 255u, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(status);
        console::Run r = report(status);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
    }
}

TEST(StatusReport, NamesMatchTheDriverHeaderConstants)
{
    // The header's constants and the printed names must not drift apart.
    const std::pair<FT_STATUS, const char *> pairs[] = {
        {FT_IO_ERROR, "FT_IO_ERROR\n"},
        {FT_DEVICE_NOT_FOUND, "FT_DEVICE_NOT_FOUND\n"},
        {FT_INVALID_HANDLE, "FT_INVALID_HANDLE\n"},
        {FT_OTHER_ERROR, "FT_OTHER_ERROR\n"},
        {FT_INSUFFICIENT_RESOURCES, "FT_INSUFFICIENT_RESOURCES\n"},
    };
    for (const auto &[status, name] : pairs)
        EXPECT_EQ(report(status).err, name);
}

} // namespace
