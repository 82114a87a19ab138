/* The one door to the operating system's sleep. Tests link a virtual clock
 * in its place. */
#ifndef WIRETEST_PLATFORM_SLEEP_H
#define WIRETEST_PLATFORM_SLEEP_H

#include <stdint.h>

/* Sleep at least ms milliseconds; a signal does not cut the wait short. */
void platform_sleep_ms(uint32_t ms);

#endif
