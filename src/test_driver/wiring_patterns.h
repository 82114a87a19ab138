/* The patterns the wiring test drives on the low GPIO byte, in order. The
 * test and every reader of its report take them from this one table. */
#ifndef WIRETEST_WIRING_PATTERNS_H
#define WIRETEST_WIRING_PATTERNS_H

enum {
    FULL_TEST_STEPS = 13,  /* nine walking steps, then the four fixed patterns */
    SHORT_TEST_STEPS = 4,  /* -short: the last four only */
};

extern const unsigned char wiring_patterns[FULL_TEST_STEPS];

#endif
