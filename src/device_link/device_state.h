/*
 * Process-wide device state: the open device, the status of the last device
 * call, and the buffers and counts of the byte exchanges with the MPSSE.
 */
#ifndef WIRETEST_DEVICE_STATE_H
#define WIRETEST_DEVICE_STATE_H

#include "ft_driver.h"

#include <stdint.h>

enum { RECEIVE_BUFFER_SIZE = 65536, COMMAND_BUFFER_SIZE = 3 };

extern FT_HANDLE device_handle;   /* the device opened by the entry function */
extern FT_STATUS last_status;     /* result of the last device call but FT_Close */
extern unsigned char command_buffer[COMMAND_BUFFER_SIZE]; /* MPSSE bytes to write */
extern uint32_t bytes_written;    /* reported by FT_Write, never examined */
extern unsigned char receive_buffer[RECEIVE_BUFFER_SIZE];
extern uint32_t queue_count;      /* bytes waiting, as FT_GetQueueStatus last said */
extern uint32_t bytes_read;       /* bytes the last FT_Read delivered */
extern uint32_t receive_extent;   /* how far into receive_buffer a read may have
                                     written since the last reset */

/* Back to the state of a freshly started process. */
void reset_device_state(void);

#endif
