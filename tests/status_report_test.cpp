// Status names: every value of the driver's table by name, nothing beyond it.
#include "expected_output.h"
#include "fixture.h"

#include "device_link/device_state.h"
#include "device_link/status_report.h"

namespace {

using expected::status_names;

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
        EXPECT_EQ(r.err, std::string(status_names[status]) + "\n");
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
