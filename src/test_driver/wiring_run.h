/* The wiring test: drive patterns on the low GPIO byte, read the high byte
 * back after each, one row per pattern, and count the mismatches. */
#ifndef WIRETEST_WIRING_RUN_H
#define WIRETEST_WIRING_RUN_H

#include "report_format.h" /* format_bits and bit_text, which the rows are printed with */

#include <stdint.h>

/* Test the device in device_handle: 0 when the test ran to its end, whatever
 * it found; -1 when setup, synchronisation or preparation failed. */
int run_test(int short_test);

/* The first of the steps a test drives: the last SHORT_TEST_STEPS with
 * -short, else all. */
int first_test_step(int short_test);

/* The bytes the preparation of run_test sends in its exchanges, as one
 * stream for a caller that sends the test at once (the station's fast mode):
 * the low byte cleared, the high byte made an input port, the low byte
 * cleared again. Writes PREPARATION_SIZE bytes at `at`; returns how many. */
enum { PREPARATION_SIZE = 9 };
uint32_t put_preparation(unsigned char *at);

#endif
