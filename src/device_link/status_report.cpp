#include "status_report.h"

#include "device_state.h"

#include <stdio.h>

/* Indexed by FT_STATUS value. */
static const char *const status_names[] = {
    "FT_OK",
    "FT_INVALID_HANDLE",
    "FT_DEVICE_NOT_FOUND",
    "FT_DEVICE_NOT_OPENED",
    "FT_IO_ERROR",
    "FT_INSUFFICIENT_RESOURCES",
    "FT_INVALID_PARAMETER",
    "FT_INVALID_BAUD_RATE",
    "FT_DEVICE_NOT_OPENED_FOR_ERASE",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE",
    "FT_FAILED_TO_WRITE_DEVICE",
    "FT_EEPROM_READ_FAILED",
    "FT_EEPROM_WRITE_FAILED",
    "FT_EEPROM_ERASE_FAILED",
    "FT_EEPROM_NOT_PRESENT",
    "FT_EEPROM_NOT_PROGRAMMED",
    "FT_INVALID_ARGS",
    "FT_NOT_SUPPORTED",
    "FT_OTHER_ERROR",
};

const char *ft_status_name(FT_STATUS status)
{
    return status < sizeof(status_names) / sizeof(status_names[0]) ? status_names[status] : 0;
}

void report_status(void)
{
    const char *name = ft_status_name(last_status);
    if (name)
        fprintf(stderr, "%s\n", name);
}
