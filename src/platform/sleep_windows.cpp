#include "platform_sleep.h"

#include <windows.h>

void platform_sleep_ms(uint32_t ms)
{
    Sleep(ms);
}
