/* The Windows sleep's choice of waiter, for the sleep probe that runs it
 * under test. The tool itself calls only platform_sleep_ms. */
#ifndef WIRETEST_SLEEP_WINDOWS_H
#define WIRETEST_SLEEP_WINDOWS_H

/* From now on wait as where the high-resolution timer is refused. */
void platform_sleep_refuse_high_resolution_timer(void);

/* The waiter in use: the high-resolution timer or the fallback. */
const char *platform_sleep_method(void);

#endif
