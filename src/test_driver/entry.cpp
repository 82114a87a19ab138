#include "entry.h"

#include "device_link/device_state.h"
#include "device_link/status_report.h"
#include "mpsse/settle_delay.h"
#include "report_format.h"
#include "wiring_run.h"

#include <stdio.h>
#include <string.h>

char serial_numbers[MAX_LISTED_DEVICES][SERIAL_NUMBER_SIZE];
char *serial_pointers[MAX_LISTED_DEVICES + 1];
int device_count = 0;
char printable_serial[SERIAL_NUMBER_SIZE];

static void print_usage(const char *program)
{
    printf(USAGE_SYNOPSIS_FORMAT, program);
    printf(USAGE_DEVICE_TEXT);
    printf(USAGE_SHORT_TEXT);
    printf(USAGE_DELAY_TEXT);
}

/* A serial number is text from the chip's EEPROM: its control characters,
 * escape sequences among them, would act on the operator's terminal. The
 * copy in printable_serial shows each of them as '?': the C0 controls, DEL,
 * and the bytes 0x80-0x9F, which a terminal that takes 8-bit controls reads
 * as C1 controls (0x9B starts a sequence as ESC [ does). The comparison is
 * on the unsigned byte, as char is signed on Linux and Windows alike. The
 * device is still opened by the name as listed. */
static const char *printable(const char *serial)
{
    int i = 0;
    for (; i < SERIAL_NUMBER_SIZE - 1 && serial[i] != '\0'; i++) {
        unsigned char c = (unsigned char)serial[i];
        printable_serial[i] = c < 0x20 || (c >= 0x7F && c <= 0x9F) ? '?' : serial[i];
    }
    printable_serial[i] = '\0';
    return printable_serial;
}

/* Boards whose EEPROMs were copied from one another share a serial number,
 * and opening by that name reaches whichever of them the driver finds first.
 * Names cut to the buffer's length compare as they were cut. */
static int is_listed_twice(int device, int listed)
{
    for (int i = 0; i < listed; i++)
        if (i != device && strcmp(serial_numbers[i], serial_numbers[device]) == 0)
            return 1;
    return 0;
}

/* List the attached devices into serial_numbers; -1 when there is none to pick. */
static int list_devices(void)
{
    for (int i = 0; i < MAX_LISTED_DEVICES; i++)
        serial_pointers[i] = serial_numbers[i];
    serial_pointers[MAX_LISTED_DEVICES] = nullptr;
    memset(serial_numbers, 0, sizeof(serial_numbers));
    device_count = 0;

    last_status = FT_ListDevices(serial_pointers, &device_count,
                                 FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER);
    if (last_status != FT_OK) {
        fprintf(stderr, "ERROR: FT_ListDevices\n");
        return -1;
    }
    if (device_count < 1) {
        fprintf(stderr, "ERROR: No FTDI devices found\n");
        return -1;
    }
    /* A serial number that fills its buffer arrives without its terminator. */
    for (int i = 0; i < MAX_LISTED_DEVICES; i++)
        serial_numbers[i][SERIAL_NUMBER_SIZE - 1] = '\0';

    printf(REPORT_LISTING_TEXT "\n");
    for (int i = 0; i < device_count && i < MAX_LISTED_DEVICES; i++)
        printf(REPORT_DEVICE_FORMAT, i, printable(serial_numbers[i]));
    return 0;
}

int wiretest_main(int argc, char *argv[])
{
    int short_test = 0;
    unsigned char device_digit = 0;
    short_delay = 0;
    reset_device_state();

    for (int i = 1; i < argc; i++) {
        const char *option = argv[i];
        if (option[0] != '-') {
            print_usage(argv[0]);
            return -2;
        }
        /* Only the letter counts: -d and -delay, -s and -short are alike. */
        switch (option[1]) {
        case 'd':
            short_delay = 1;
            break;
        case 'n':
            device_digit = (unsigned char)option[2];
            break;
        case 's':
            short_test = 1;
            break;
        default:
            print_usage(argv[0]);
            return -2;
        }
    }

    if (list_devices() != 0)
        return -1;

    /* Only the listed devices can be picked, however many the driver counts. */
    int selectable = device_count < MAX_LISTED_DEVICES ? device_count : MAX_LISTED_DEVICES;
    /* cppcheck-suppress knownConditionTrueFalse ; FT_ListDevices set device_count through its address */
    while (!(device_digit >= '0' && device_digit - '0' <= selectable - 1)) {
        int c = getchar();
        if (c == EOF) {
            fprintf(stderr, "ERROR: No device selected\n");
            return -1;
        }
        device_digit = (unsigned char)c;
    }
    int device = device_digit - '0';
    char *serial = serial_numbers[device];
    if (is_listed_twice(device, selectable)) {
        fprintf(stderr, "ERROR: more than one device has the serial number %s\n", printable(serial));
        return -1;
    }

    last_status = FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &device_handle);
    if (last_status != FT_OK) {
        report_status();
        fprintf(stderr, "ERROR: FT_OpenEx (%s)\n", printable(serial));
        return -1;
    }
    printf("%s", REPORT_BANNER);
    printf(REPORT_CONNECTED_FORMAT, printable(serial));

    return run_test(short_test);
}
