#include "wiring_test.h"

#include "device_link/device_state.h"
#include "device_link/status_report.h"
#include "mpsse/channel_setup.h"
#include "mpsse/exchanges.h"
#include "mpsse/mpsse_commands.h"
#include "mpsse/settle_delay.h"

#include <stdio.h>

char bit_text[BIT_TEXT_SIZE];

const char banner_line[] = "\n======================================================\n";

/* Walking one, then all low: each low pin is seen high on its own. The ninth
 * step drives 1 << 8, which is 0x00 in a byte. */
enum { WALKING_STEPS = 9 };
static const unsigned char fixed_patterns[] = {0xAA, 0x55, 0x00, 0xFF};
enum { FIXED_STEPS = sizeof(fixed_patterns) };

const char *format_bits(int x)
{
    int mask = 0x80;
    for (int i = 0; i < 8; i++, mask >>= 1)
        bit_text[i] = (x & mask) == mask ? '1' : '0';
    bit_text[8] = '\0';
    return bit_text;
}

/* Drive one pattern, print its row; 1 when it did not come back unchanged. */
static int test_pattern(unsigned char pattern, int is_last_step)
{
    set_low_byte(pattern); /* a failure shows in the read-back */
    printf("\t%s\t", format_bits(pattern));
    int value = read_high_byte();
    printf("%s\n", format_bits(value));
    if (!is_last_step) {
        settle_delay.seconds = 0;
        settle_delay.fraction = FRACTION_PER_MS; /* 1 ms */
        wait_settle();
    }
    return value != pattern;
}

/* Make the high byte an input port and clear the low byte; -1 on failure. */
static int prepare_high_byte(void)
{
    if (set_low_byte(0x00) != 0)
        return -1;

    command_buffer[0] = MPSSE_SET_BITS_HIGH;
    command_buffer[1] = 0x00;
    command_buffer[2] = GPIO_ALL_INPUTS;
    if (write_command(3) != 0)
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

int run_test(int short_test)
{
    if (setup_channel() != 0)
        return -1;
    printf("START TESTING\n");
    printf("%s", banner_line);
    if (sync_mpsse() != 0)
        return -1;
    if (prepare_high_byte() != 0)
        return -1;

    int error_count = 0;
    if (!short_test) {
        for (int k = 0; k < WALKING_STEPS; k++)
            error_count += test_pattern((unsigned char)(1 << k), 0);
    }
    for (int i = 0; i < FIXED_STEPS; i++)
        error_count += test_pattern(fixed_patterns[i], i == FIXED_STEPS - 1);

    printf("Testing complete, errors: %i\n", error_count);
    FT_Close(device_handle); /* nothing to do about a failure here */
    return 0;
}
