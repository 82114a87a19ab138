/* Settle waits: the time the chip is given to act around its commands. */
#ifndef WIRETEST_SETTLE_DELAY_H
#define WIRETEST_SETTLE_DELAY_H

#include <stdint.h>

/* fraction counts in units of which 100000000 make one millisecond. */
struct DelayRecord {
    int32_t seconds;
    int32_t fraction;
};

enum { FRACTION_PER_MS = 100000000, SHORT_DELAY_MS = 10 };

extern DelayRecord settle_delay; /* the length of the next wait, set by each waiter */
extern int short_delay;          /* -delay: every wait is SHORT_DELAY_MS */
extern int settle_waits_off;     /* no wait at all: the station's fast mode,
                                    which waits on the chip's answers instead */

/* Sleep once, for settle_delay or, with short_delay set, SHORT_DELAY_MS. */
void wait_settle(void);

#endif
