#include "channel_setup.h"

#include "device_link/device_state.h"
#include "device_link/status_report.h"
#include "settle_delay.h"

#include <stdio.h>

/* Confirm the step whose status is in last_status, or report its failure. */
static int confirm_step(const char *success_line, const char *error_line)
{
    if (last_status != FT_OK) {
        report_status();
        fprintf(stderr, "%s", error_line);
        return -1;
    }
    printf("%s", success_line);
    return 0;
}

int setup_channel(void)
{
    last_status = FT_ResetDevice(device_handle);
    if (confirm_step("SUCCESS (reset)\n", "ERROR: can not reset\n") != 0)
        return -1;

    last_status = FT_SetUSBParameters(device_handle, 4096, 0);
    if (confirm_step("SUCCESS (usb parameters set)\n", "ERROR: can not set usb parameters\n") != 0)
        return -1;

    last_status = FT_SetChars(device_handle, 0, 0, 0, 0);
    if (confirm_step("SUCCESS (event chars disabled)\n", "ERROR: can not disable event chars\n") != 0)
        return -1;

    last_status = FT_SetTimeouts(device_handle, 10, 10);
    if (confirm_step("SUCCESS (timeouts set)\n", "ERROR: can not set timeouts\n") != 0)
        return -1;

    /* 2 ms instead of the chip's 16 ms default: answers come back promptly. */
    last_status = FT_SetLatencyTimer(device_handle, 2);
    if (confirm_step("SUCCESS (latency set)\n", "ERROR: can not set latency\n") != 0)
        return -1;

    last_status = FT_SetFlowControl(device_handle, FT_FLOW_NONE, 0x11, 0x13);
    if (confirm_step("SUCCESS (flow control disabled)\n", "ERROR: can not set flow controll\n") != 0)
        return -1;

    /* Mode 0 first: clears whatever mode an earlier program left the channel in. */
    last_status = FT_SetBitMode(device_handle, 0, FT_BITMODE_RESET);
    if (confirm_step("SUCCESS (MSSPE reset)\n", "ERROR: can not reset MPSSE\n") != 0)
        return -1;

    last_status = FT_SetBitMode(device_handle, 0, FT_BITMODE_MPSSE);
    if (confirm_step("SUCCESS (MPSSE on)\n", "ERROR: can not turn on MPSSE\n") != 0)
        return -1;

    settle_delay.seconds = 1;
    settle_delay.fraction = 0;
    wait_settle();
    return 0;
}
