/* Command exchanges with the MPSSE: synchronisation, driving the low GPIO
 * byte and sampling the high one. */
#ifndef WIRETEST_EXCHANGES_H
#define WIRETEST_EXCHANGES_H

#include "device_link/ft_driver.h"

#include <stdint.h>

/* Synchronise with the MPSSE after setup; 0 or -1. */
int sync_mpsse(void);

/* Drive value on the low GPIO byte, all pins outputs; list on standard error
 * any bytes found waiting afterwards. 0 or -1. */
int set_low_byte(unsigned char value);

/* Sample the high GPIO byte: its level (0 to 255) or -1. */
int read_high_byte(void);

/* The commands the exchanges above send, for a caller that sends them in a
 * stream of its own (the station's fast mode): each writes one command at
 * `at` and returns its length. */
uint32_t put_set_low_byte(unsigned char *at, unsigned char value);
uint32_t put_high_byte_inputs(unsigned char *at);
uint32_t put_read_high_byte(unsigned char *at);

/* The synchronisation in one write that the chip answers at once: loopback
 * on, the bad opcode, loopback off, send-immediate. The answer is
 * SYNC_ANSWER_SIZE bytes: MPSSE_BAD_COMMAND_ANSWER, then the bad opcode. */
enum { SYNC_AT_ONCE_SIZE = 4, SYNC_ANSWER_SIZE = 2 };
uint32_t put_sync_at_once(unsigned char *at);

/* Write the first length bytes of command_buffer; a failure is reported by
 * name and gives -1. */
int write_command(uint32_t length);

/* Ask how many bytes are waiting (queue_count); a failure is reported by
 * name and gives -1. */
int query_queue(void);

/* FT_Read of count bytes into receive_buffer, never more than it holds; the
 * status is stored and returned, and bytes_read never exceeds what was asked. */
FT_STATUS read_queue(uint32_t count);

#endif
