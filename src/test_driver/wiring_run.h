/* The wiring test: drive patterns on the low GPIO byte, read the high byte
 * back after each, one row per pattern, and count the mismatches. */
#ifndef WIRETEST_WIRING_RUN_H
#define WIRETEST_WIRING_RUN_H

enum { BIT_TEXT_SIZE = 9 };

extern char bit_text[BIT_TEXT_SIZE]; /* the eight bits of the last format_bits */
extern const char banner_line[];     /* a blank line, then a rule of 54 equals signs */

/* Test the device in device_handle: 0 when the test ran to its end, whatever
 * it found; -1 when setup, synchronisation or preparation failed. */
int run_test(int short_test);

/* The low eight bits of x as 1s and 0s, most significant first, in bit_text. */
const char *format_bits(int x);

#endif
