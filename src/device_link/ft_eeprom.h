/*
 * The driver seam's EEPROM part, for wiretest-station's programming of a
 * chip's identity: the words of the chip's external EEPROM, one at a time,
 * and a new enumeration of the chip so that it takes up what was written.
 * They take a handle from the thirteen operations (any channel of the chip:
 * the EEPROM is the chip's, not a channel's). wiretest itself never calls
 * them; every driver offers them beside the thirteen, with C linkage and the
 * names and shapes of the chip maker's library:
 *  - drivers/sim: a simulated EEPROM per chip, of each part, with faults;
 *  - drivers/libftdi: the chip's vendor requests 0x90 (read word), 0x91
 *    (write word) and 0x92 (erase), and libusb's device reset;
 *  - drivers/ftd2xx_dll: the chip maker's library, loaded at run time; an
 *    older library without them answers FT_NOT_SUPPORTED.
 */
#ifndef WIRETEST_FT_EEPROM_H
#define WIRETEST_FT_EEPROM_H

#include "ft_driver.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Read the 16-bit word at word address into *value. The part wraps an
 * address past its end to its start, as a real part does; a chip with no
 * part fitted reads 0xFFFF or whatever its pins float to.
 */
FT_STATUS FT_ReadEE(FT_HANDLE handle, uint32_t word_address, uint16_t *value);

/* Write value at word address. Success says the chip took the request, not
 * that the part holds the word: read it back. */
FT_STATUS FT_WriteEE(FT_HANDLE handle, uint32_t word_address, uint16_t value);

/* Fill the whole part with 0xFFFF. */
FT_STATUS FT_EraseEE(FT_HANDLE handle);

/*
 * Make the chip leave the bus and enumerate again, reading its EEPROM anew:
 * it comes back at the same port, with the serial number its image now
 * holds, after a while that the caller waits for by listing (ft_locations.h).
 * The handle is of no more use but must still be closed with FT_Close, whose
 * status is then of no interest.
 */
FT_STATUS FT_CyclePort(FT_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif
