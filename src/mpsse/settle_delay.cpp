#include "settle_delay.h"

#include "platform/platform_sleep.h"

DelayRecord settle_delay = {0, 0};
int short_delay = 0;
int settle_waits_off = 0;

void wait_settle(void)
{
    if (settle_waits_off)
        return;
    if (short_delay) {
        platform_sleep_ms(SHORT_DELAY_MS);
        return;
    }
    /* A zero-length wait still goes to the OS; it is the platform's to treat. */
    int64_t ms = (int64_t)settle_delay.seconds * 1000 + settle_delay.fraction / FRACTION_PER_MS;
    platform_sleep_ms(ms > 0 ? (uint32_t)ms : 0);
}
