/*
 * The FTDI chips with an MPSSE engine that this system knows, in one table:
 * what each driver lists a channel's kind by, what a chip enumerates with on
 * USB, which of its channels carry an MPSSE, and whether those read back a
 * high GPIO byte. The simulated driver, the libftdi1 layer, the ftd2xx.dll
 * loader, the station and the tests' virtual USB bus all go by it.
 */
#ifndef WIRETEST_CHIP_KINDS_H
#define WIRETEST_CHIP_KINDS_H

#include "ft_device_info.h"

#include <stdint.h>

/* The kinds, in the order of chip_table. */
enum class ChipKind { FT2232H, FT4232H, FT232H, FT2232D };

/* FTDI's USB vendor id, the same for every kind. */
constexpr uint16_t FTDI_VENDOR_ID = 0x0403;

struct chip_facts {
    const char *name;     /* as the listings give it (ft_channel_info.chip) */
    ChipKind kind;
    uint32_t info_type;   /* the type of its entries in the device-information list */
    int channels;         /* channels A, B, ... in all; one: named without a letter */
    int mpsse_channels;   /* how many of them, from A on, carry an MPSSE engine */
    uint16_t product_id;  /* USB idProduct */
    uint16_t release;     /* USB bcdDevice: the FT2232D shares the FT2232H's product id */
    bool high_speed;      /* USB 2.0 high speed; the FT2232D is full speed */
    bool high_byte;       /* its MPSSE channels read their high GPIO byte back */
};

/* FT4232H: only A and B have an MPSSE, and no high byte; C and D are UARTs.
 * FT2232D: channel B has no MPSSE. */
inline constexpr chip_facts chip_table[] = {
    {"FT2232H", ChipKind::FT2232H, FT_DEVICE_2232H, 2, 2, 0x6010, 0x0700, true, true},
    {"FT4232H", ChipKind::FT4232H, FT_DEVICE_4232H, 4, 2, 0x6011, 0x0800, true, false},
    {"FT232H", ChipKind::FT232H, FT_DEVICE_232H, 1, 1, 0x6014, 0x0900, true, true},
    {"FT2232D", ChipKind::FT2232D, FT_DEVICE_2232C, 2, 1, 0x6010, 0x0500, false, true},
};

/* The facts of kind. */
const chip_facts &chip_facts_of(ChipKind kind);

/* The kind a USB device enumerates as: the one of its product id and
 * release, else the first of its product id (a release not in the table);
 * NULL for a device of no kind here. */
const chip_facts *chip_by_usb(uint16_t vendor_id, uint16_t product_id, uint16_t release);

/* The kind of a device-information list entry's type; NULL for none here. */
const chip_facts *chip_by_info_type(uint32_t info_type);

/* The kind named as the listings name it; NULL for a name not in the table. */
const chip_facts *chip_by_name(const char *name);

/* Whether channel letter ('A', 'B', ...) of the chip carries an MPSSE. */
bool chip_channel_has_mpsse(const chip_facts &chip, char letter);

#endif
