/*
 * The driver seam's second part, for wiretest-station: every MPSSE channel
 * attached, with the place its chip is plugged, and opening a channel by that
 * place. Fresh boards have blank or copied serial numbers, so a production
 * fixture can only tell its slots apart by where they are plugged.
 *
 * wiretest itself never calls these; every driver offers them beside the
 * thirteen operations of ft_driver.h, with C linkage:
 *  - drivers/sim: the simulated chips, each attached at a location of its own;
 *  - drivers/libftdi: libusb's bus and port numbers, "1-4.2" as Linux's sysfs,
 *    lsusb -t and udev's KERNELS write them;
 *  - drivers/ftd2xx_dll: the chip maker's device-information list and its
 *    open-by-location, with the location id printed as "0x" and hex digits.
 *
 * A handle from ft_open_by_location is used with the thirteen operations like
 * one from FT_OpenEx, and closed with FT_Close.
 */
#ifndef WIRETEST_FT_LOCATIONS_H
#define WIRETEST_FT_LOCATIONS_H

#include "ft_driver.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    FT_LOCATION_SIZE = 32, /* "3-1.3.2.4.1.7.7" and the like, zero-terminated */
    FT_CHIP_SERIAL_SIZE = 64,
    FT_CHIP_KIND_SIZE = 16,
    FT_ACCESS_NOTE_SIZE = 96
};

/* One MPSSE channel of an attached chip. Every text is zero-terminated. */
typedef struct {
    char location[FT_LOCATION_SIZE]; /* where the chip is plugged */
    char channel;                    /* 'A' to 'D' */
    char serial[FT_CHIP_SERIAL_SIZE]; /* the chip's serial number without the
                                         channel letter; "" when it has none */
    char chip[FT_CHIP_KIND_SIZE];    /* "FT2232H", "FT4232H", "FT232H", "FT2232D" */
    FT_STATUS access;                /* FT_OK when it looks openable, else why not */
    char access_note[FT_ACCESS_NOTE_SIZE]; /* in words, when access is not FT_OK:
                                              "no permission", "in use by another program" */
    uint32_t instance;               /* changes each time a chip is plugged in (the USB
                                        device address); 0 where the driver cannot tell */
} ft_channel_info;

/*
 * List the MPSSE channels attached, opening none of them for use: up to
 * capacity entries into list, and the number found into *count (which may
 * exceed capacity). Channels of one chip are listed together, A first.
 * Safe beside calls on open handles from other threads.
 */
FT_STATUS ft_list_channels(ft_channel_info *list, uint32_t capacity, uint32_t *count);

/*
 * Open channel ('A' to 'D') of the chip at location, as written in the
 * listing, and set *handle. FT_DEVICE_NOT_FOUND when no chip with that
 * channel is plugged there, FT_DEVICE_NOT_OPENED when it may not be opened
 * (no permission, or another program holds it).
 */
FT_STATUS ft_open_by_location(const char *location, char channel, FT_HANDLE *handle);

/*
 * Wait up to timeout_ms for a chip to arrive or leave, without using the
 * processor: *changed is 1 when one did (list again to see which), 0 when
 * the time passed quietly. A driver that is told of no arrivals returns
 * FT_NOT_SUPPORTED at once, and the caller lists every so often instead
 * (the chip maker's library on Windows; the libftdi1 layer where libusb has
 * no hotplug events).
 */
FT_STATUS ft_wait_for_change(uint32_t timeout_ms, int *changed);

/*
 * Let go of what the listings keep between calls (the libftdi1 layer: its
 * libusb context, and with it libusb's own thread), so that a process with
 * no handle open may copy itself with fork() and the copy open a chip with
 * a USB stack of its own; the next listing starts anew. Call it with no
 * other call of the driver running. Nothing to do for the other drivers.
 */
void ft_release_listings(void);

/*
 * Why the calling thread's last call of the driver failed, in the words of
 * the library below it ("libusb: LIBUSB_ERROR_PIPE", "libftdi1: unable to
 * set latency timer"), for an operator's eyes; "" when that call succeeded
 * or its library gave no cause. The libftdi1 layer alone has one to give.
 */
const char *ft_last_cause(void);

#ifdef __cplusplus
}
#endif

#endif
