/* Device failures are reported one way: the failing call's status name on
 * standard error, before the caller's own error line. */
#ifndef WIRETEST_STATUS_REPORT_H
#define WIRETEST_STATUS_REPORT_H

/* Print the name of last_status on standard error; nothing for values
 * beyond the known table. */
void report_status(void);

#endif
