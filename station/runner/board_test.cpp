#include "board_test.h"

#include "device_link/device_state.h"
#include "device_link/ft_locations.h"
#include "device_link/status_report.h"
#include "mpsse/settle_delay.h"
#include "test_driver/report_format.h"
#include "test_driver/wiring_run.h"

#include <cstdio>

namespace station {

namespace {

// After a failed open or step: why the driver's library says it failed, for
// the station's reason and the operator.
void report_cause()
{
    const char *cause = ft_last_cause();
    if (cause && cause[0])
        fprintf(stderr, "cause: %s\n", cause);
}

} // namespace

int open_board(const char *location, char channel, bool short_waits)
{
    short_delay = short_waits ? 1 : 0;
    reset_device_state();
    last_status = ft_open_by_location(location, channel, &device_handle);
    if (last_status != FT_OK) {
        report_status();
        fprintf(stderr, "ERROR: can not open channel %c at %s\n", channel, location);
        report_cause();
        return -1;
    }
    printf(REPORT_BANNER);
    printf(REPORT_SUCCESS_PREFIX "Connected to channel %c at %s)\n", channel, location);
    return 0;
}

int test_board(const char *location, char channel, bool short_test, bool short_waits)
{
    settle_waits_off = 0;
    if (open_board(location, channel, short_waits) != 0)
        return -1;
    int status = run_test(short_test ? 1 : 0);
    if (status != 0)
        report_cause();
    return status;
}

} // namespace station
