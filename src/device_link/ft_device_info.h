/*
 * The chip maker's device-information list and its opening by location, as
 * ftd2xx.dll offers them on Windows: what drivers/ftd2xx_dll builds the
 * station's listing and opening by location on (ft_locations.h), and what the
 * simulated driver offers in its own ftd2xx.dll. wiretest never calls them,
 * and the loader takes them as optional: older libraries lack them.
 *
 * The list has one entry per channel; an entry's serial number carries the
 * channel letter as FT_ListDevices gives it, and its location id names that
 * one channel.
 */
#ifndef WIRETEST_FT_DEVICE_INFO_H
#define WIRETEST_FT_DEVICE_INFO_H

#include "ft_driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/* FT_OpenEx's flag: what holds the location id itself, cast to a pointer. */
#define FT_OPEN_BY_LOCATION 4u

/* The flags of an entry. */
#define FT_FLAGS_OPENED 1u  /* a process has the channel open */
#define FT_FLAGS_HISPEED 2u /* a high-speed chip */

/* The types of an entry that have an MPSSE engine. */
enum {
    FT_DEVICE_2232C = 4, /* FT2232C and FT2232D */
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8
};

enum {
    FT_INFO_SERIAL_SIZE = 16,     /* the serial number buffer of an entry */
    FT_INFO_DESCRIPTION_SIZE = 64 /* the description buffer of an entry */
};

/* Build the list of the channels attached, and set *count to its length. */
FT_STATUS FT_CreateDeviceInfoList(uint32_t *count);

/*
 * Entry index of the list last built: flags, type, USB id (vendor id in the
 * high 16 bits, product id in the low), location id, serial number and
 * description (zero-terminated where they fit), and a handle, which this
 * system never uses.
 */
FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t *flags, uint32_t *type, uint32_t *id,
                                 uint32_t *loc_id, char *serial, char *description,
                                 FT_HANDLE *handle);

#ifdef __cplusplus
}
#endif

#endif
