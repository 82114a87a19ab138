/* The wiring test: drive patterns on the low GPIO byte, read the high byte
 * back after each, one row per pattern, and count the mismatches. */
#ifndef WIRETEST_WIRING_RUN_H
#define WIRETEST_WIRING_RUN_H

#include "report_format.h" /* format_bits and bit_text, which the rows are printed with */

/* Test the device in device_handle: 0 when the test ran to its end, whatever
 * it found; -1 when setup, synchronisation or preparation failed. */
int run_test(int short_test);

#endif
