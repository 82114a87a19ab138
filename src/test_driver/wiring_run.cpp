#include "wiring_run.h"

#include "device_link/device_state.h"
#include "device_link/status_report.h"
#include "mpsse/channel_setup.h"
#include "mpsse/exchanges.h"
#include "mpsse/mpsse_commands.h"
#include "mpsse/settle_delay.h"
#include "report_format.h"
#include "wiring_patterns.h"

#include <stdio.h>

/* Drive one pattern, print its row; 1 when it did not come back unchanged. */
static int test_pattern(unsigned char pattern, int is_last_step)
{
    set_low_byte(pattern); /* a failure shows in the read-back */
    print_row_driven(pattern);
    int failed = print_row_read(pattern, read_high_byte());
    if (!is_last_step) {
        settle_delay.seconds = 0;
        settle_delay.fraction = FRACTION_PER_MS; /* 1 ms */
        wait_settle();
    }
    return failed;
}

/* Make the high byte an input port and clear the low byte; -1 on failure. */
static int prepare_high_byte(void)
{
    if (set_low_byte(0x00) != 0)
        return -1;

    if (write_command(put_high_byte_inputs(command_buffer)) != 0)
        return -1;
    settle_delay.seconds = 0;
    settle_delay.fraction = 10 * FRACTION_PER_MS;
    wait_settle();

    if (query_queue() != 0)
        return -1;
    if (queue_count != 0 && read_queue(queue_count) != FT_OK) {
        report_status();
        fprintf(stderr, "ERROR: can't read queue\n");
    }
    settle_delay.seconds = 0;
    settle_delay.fraction = FRACTION_PER_MS;
    wait_settle();

    set_low_byte(0x00); /* the first one already told whether the chip listens */
    return 0;
}

uint32_t put_preparation(unsigned char *at)
{
    uint32_t length = put_set_low_byte(at, 0x00);
    length += put_high_byte_inputs(at + length);
    return length + put_set_low_byte(at + length, 0x00);
}

int first_test_step(int short_test)
{
    return short_test ? FULL_TEST_STEPS - SHORT_TEST_STEPS : 0;
}

int run_test(int short_test)
{
    if (setup_channel() != 0)
        return -1;
    print_start();
    if (sync_mpsse() != 0)
        return -1;
    if (prepare_high_byte() != 0)
        return -1;

    int error_count = 0;
    for (int i = first_test_step(short_test); i < FULL_TEST_STEPS; i++)
        error_count += test_pattern(wiring_patterns[i], i == FULL_TEST_STEPS - 1);

    print_count(error_count);
    FT_Close(device_handle); /* nothing to do about a failure here */
    return 0;
}
