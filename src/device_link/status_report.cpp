#include "status_report.h"

#include "device_state.h"

#include <stdio.h>

/* Indexed by FT_STATUS value. */
static const char *const status_lines[] = {
    "FT_OK\n",
    "FT_INVALID_HANDLE\n",
    "FT_DEVICE_NOT_FOUND\n",
    "FT_DEVICE_NOT_OPENED\n",
    "FT_IO_ERROR\n",
    "FT_INSUFFICIENT_RESOURCES\n",
    "FT_INVALID_PARAMETER\n",
    "FT_INVALID_BAUD_RATE\n",
    "FT_DEVICE_NOT_OPENED_FOR_ERASE\n",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE\n",
    "FT_FAILED_TO_WRITE_DEVICE\n",
    "FT_EEPROM_READ_FAILED\n",
    "FT_EEPROM_WRITE_FAILED\n",
    "FT_EEPROM_ERASE_FAILED\n",
    "FT_EEPROM_NOT_PRESENT\n",
    "FT_EEPROM_NOT_PROGRAMMED\n",
    "FT_INVALID_ARGS\n",
    "FT_NOT_SUPPORTED\n",
    "FT_OTHER_ERROR\n",
};

void report_status(void)
{
    if (last_status < sizeof(status_lines) / sizeof(status_lines[0]))
        fprintf(stderr, "%s", status_lines[last_status]);
}
