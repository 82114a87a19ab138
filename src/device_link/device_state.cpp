#include "device_state.h"

#include <string.h>

FT_HANDLE device_handle = nullptr;
FT_STATUS last_status = FT_OK;
unsigned char command_buffer[COMMAND_BUFFER_SIZE];
uint32_t bytes_written = 0;
unsigned char receive_buffer[RECEIVE_BUFFER_SIZE];
uint32_t queue_count = 0;
uint32_t bytes_read = 0;
uint32_t receive_extent = 0;

void reset_device_state(void)
{
    device_handle = nullptr;
    last_status = FT_OK;
    memset(command_buffer, 0, sizeof(command_buffer));
    bytes_written = 0;
    /* Only what a read may have written: the rest is as it was at the start,
     * and clearing all of it would touch every page of it. */
    memset(receive_buffer, 0, receive_extent);
    receive_extent = 0;
    queue_count = 0;
    bytes_read = 0;
}
