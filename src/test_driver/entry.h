/* The program's entry: options, device listing, selection and opening. */
#ifndef WIRETEST_ENTRY_H
#define WIRETEST_ENTRY_H

enum { MAX_LISTED_DEVICES = 10, SERIAL_NUMBER_SIZE = 64 };

extern char serial_numbers[MAX_LISTED_DEVICES][SERIAL_NUMBER_SIZE];
extern char *serial_pointers[MAX_LISTED_DEVICES + 1]; /* null-terminated, for FT_ListDevices */
extern int device_count;
extern char printable_serial[SERIAL_NUMBER_SIZE]; /* a serial number as it is printed */

/* Run the tool: 0 after a completed test, -1 after a device or setup
 * failure, -2 after a usage error. */
int wiretest_main(int argc, char *argv[]);

#endif
