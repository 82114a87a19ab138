/* Device failures are reported one way: the failing call's status name on
 * standard error, before the caller's own error line. */
#ifndef WIRETEST_STATUS_REPORT_H
#define WIRETEST_STATUS_REPORT_H

#include "ft_driver.h"

/* The name of status, "FT_IO_ERROR" and the like; NULL for values beyond
 * the known table. */
const char *ft_status_name(FT_STATUS status);

/* Print the name of last_status on standard error; nothing for values
 * beyond the known table. */
void report_status(void);

#endif
