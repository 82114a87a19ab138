#include "exchanges.h"

#include "device_link/device_state.h"
#include "device_link/status_report.h"
#include "mpsse_commands.h"
#include "settle_delay.h"
#include "test_driver/report_format.h"

#include <stdio.h>

uint32_t put_set_low_byte(unsigned char *at, unsigned char value)
{
    at[0] = MPSSE_SET_BITS_LOW;
    at[1] = value;
    at[2] = GPIO_ALL_OUTPUTS;
    return 3;
}

uint32_t put_high_byte_inputs(unsigned char *at)
{
    at[0] = MPSSE_SET_BITS_HIGH;
    at[1] = 0x00;
    at[2] = GPIO_ALL_INPUTS;
    return 3;
}

uint32_t put_read_high_byte(unsigned char *at)
{
    at[0] = MPSSE_GET_BITS_HIGH;
    return 1;
}

uint32_t put_sync_at_once(unsigned char *at)
{
    at[0] = MPSSE_LOOPBACK_ON;
    at[1] = MPSSE_BAD_COMMAND;
    at[2] = MPSSE_LOOPBACK_OFF;
    at[3] = MPSSE_SEND_IMMEDIATE; /* last: the chip sends the answer without waiting for its timer */
    return SYNC_AT_ONCE_SIZE;
}

int write_command(uint32_t length)
{
    last_status = FT_Write(device_handle, command_buffer, length, &bytes_written);
    if (last_status != FT_OK) {
        report_status();
        return -1;
    }
    return 0;
}

int query_queue(void)
{
    last_status = FT_GetQueueStatus(device_handle, &queue_count);
    if (last_status != FT_OK) {
        report_status();
        return -1;
    }
    return 0;
}

FT_STATUS read_queue(uint32_t count)
{
    if (count > RECEIVE_BUFFER_SIZE)
        count = RECEIVE_BUFFER_SIZE;
    if (count > receive_extent)
        receive_extent = count;
    last_status = FT_Read(device_handle, receive_buffer, count, &bytes_read);
    /* A driver that claims more than it was asked for must not lead us past
     * the bytes it could have delivered. */
    if (last_status == FT_OK && bytes_read > count)
        bytes_read = count;
    return last_status;
}

/* A read whose failure fails the exchange. */
static int read_or_fail(uint32_t count)
{
    if (read_queue(count) != FT_OK) {
        report_status();
        return -1;
    }
    return 0;
}

/* Empty the receive queue; any failure fails the exchange. */
static int drain_or_fail(void)
{
    if (query_queue() != 0)
        return -1;
    if (queue_count != 0 && read_or_fail(queue_count) != 0)
        return -1;
    return 0;
}

int sync_mpsse(void)
{
    command_buffer[0] = MPSSE_LOOPBACK_ON;
    if (write_command(1) != 0)
        return -1;
    if (drain_or_fail() != 0)
        return -1;
    settle_delay.seconds = 0;
    wait_settle();

    /* A bad opcode makes the engine answer 0xFA and the opcode: once that is
     * read, the byte streams in both directions are known to be in step. */
    command_buffer[0] = MPSSE_BAD_COMMAND;
    if (write_command(1) != 0)
        return -1;
    settle_delay.seconds = 0;
    wait_settle();
    if (query_queue() != 0)
        return -1;
    if (read_or_fail(queue_count) != 0) /* even when nothing is queued */
        return -1;
    settle_delay.seconds = 2;
    wait_settle();

    command_buffer[0] = MPSSE_LOOPBACK_OFF;
    if (write_command(1) != 0)
        return -1;
    if (drain_or_fail() != 0)
        return -1;
    settle_delay.seconds = 0;
    wait_settle();
    return 0;
}

int set_low_byte(unsigned char value)
{
    if (write_command(put_set_low_byte(command_buffer, value)) != 0)
        return -1;
    settle_delay.seconds = 1;
    settle_delay.fraction = 0;
    wait_settle();

    if (query_queue() != 0)
        return -1;
    if (queue_count == 0)
        return 0;
    /* Nothing should be waiting here: whatever is, is an answer nobody read.
     * A failed read is reported and the exchange still counts as done. */
    if (read_queue(queue_count) != FT_OK) {
        report_status();
        return 0;
    }
    for (uint32_t i = 0; i < bytes_read; i++)
        print_stray_byte((int)i, receive_buffer[i]);
    return 0;
}

int read_high_byte(void)
{
    settle_delay.seconds = 1;
    settle_delay.fraction = 0;
    wait_settle();
    if (write_command(put_read_high_byte(command_buffer)) != 0)
        return -1;
    settle_delay.seconds = 1;
    settle_delay.fraction = 0;
    wait_settle();

    if (query_queue() != 0)
        return -1;
    if (queue_count == 0) {
        print_no_data();
        return -1;
    }
    /* The answer is the last byte queued; stale bytes ahead of it are read
     * and dropped, in several reads when they overflow receive_buffer. Each
     * read takes a whole buffer unless the queue ends first, so the count of
     * reads is bounded by what the queue reported. A read that delivers less
     * than it asked for found the queue ended: reading on would only wait
     * out the read timeout again and again. */
    int last_byte = -1;
    uint32_t remaining = queue_count;
    uint32_t reads_left = queue_count / RECEIVE_BUFFER_SIZE + 1;
    while (remaining > 0 && reads_left > 0) {
        uint32_t asked = remaining < RECEIVE_BUFFER_SIZE ? remaining : (uint32_t)RECEIVE_BUFFER_SIZE;
        if (read_or_fail(remaining) != 0)
            return -1;
        if (bytes_read == 0)
            break;
        last_byte = receive_buffer[bytes_read - 1];
        remaining -= bytes_read;
        reads_left--;
        if (bytes_read < asked)
            break;
    }
    return last_byte;
}
