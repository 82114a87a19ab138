/*
 * The driver seam: the thirteen operations of the chip's driver library that
 * wiretest calls, declared with C linkage so that any library offering them
 * can be linked in: the simulated chip (drivers/sim), the layer over libftdi1
 * (drivers/libftdi), or the chip maker's own library where that is in use.
 *
 * Every operation returns an FT_STATUS; FT_OK (0) is success. Counts are
 * unsigned 32-bit. The contract each driver must keep is written beside each
 * declaration.
 *
 * Threads: every driver lets the operations be called from several threads
 * at once on different handles, and FT_ListDevices (and the listings of
 * ft_locations.h) beside them, as the chip maker's library does; the calls
 * on one handle come from one thread at a time, FT_Close included. wiretest
 * calls from one thread; a station tests boards in parallel. drivers/sim
 * runs every operation under one lock, drivers/libftdi locks its listing and
 * its set of open handles (libftdi_layer.h says how), and
 * drivers/ftd2xx_dll loads the library once and then passes each call on.
 *
 * On x64 Windows these declarations match the chip maker's ftd2xx.dll as
 * they stand: there is one calling convention, its DWORD and ULONG are 32-bit
 * unsigned like our counts and FT_STATUS, and FT_HANDLE is a pointer. 32-bit
 * Windows would need the library's __stdcall, and is not built.
 */
#ifndef WIRETEST_FT_DRIVER_H
#define WIRETEST_FT_DRIVER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#error "32-bit Windows: the driver library's operations are __stdcall there"
#endif

typedef void *FT_HANDLE;
typedef uint32_t FT_STATUS;

enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18
};

#define FT_OPEN_BY_SERIAL_NUMBER 1u
#define FT_LIST_ALL 0x20000000u
#define FT_FLOW_NONE 0x0000u

#define FT_BITMODE_RESET 0x00u /* bit mode 0: MPSSE held in reset */
#define FT_BITMODE_MPSSE 0x02u

/*
 * With flags FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER: list_arg is an array of
 * pointers to 64-byte buffers ended by a null pointer, count_arg points at a
 * 32-bit device count. Sets the count to the number of devices attached and
 * copies device i's serial number, zero-terminated where it fits, into buffer
 * i. A driver never writes through the null pointer that ends the array.
 */
FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags);

/* With FT_OPEN_BY_SERIAL_NUMBER: open the device whose serial number is the
 * zero-terminated text at what, and set *handle. */
FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle);

/* Reset the chip's side of the channel. */
FT_STATUS FT_ResetDevice(FT_HANDLE handle);

/* USB transfer sizes in bytes; 0 leaves a size as it is. */
FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t in_size,
                              uint32_t out_size);

/* Event and error characters and whether each is enabled. */
FT_STATUS FT_SetChars(FT_HANDLE handle, unsigned char event_char,
                      unsigned char event_enable, unsigned char error_char,
                      unsigned char error_enable);

/* Read and write timeouts in milliseconds. */
FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout_ms,
                         uint32_t write_timeout_ms);

/* Latency timer in milliseconds: how long the chip holds a part-filled
 * packet before sending it to the host. */
FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char latency_ms);

/* Flow control mode and the XON and XOFF characters. */
FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short flow,
                            unsigned char xon, unsigned char xoff);

/* Bit mode: FT_BITMODE_RESET or FT_BITMODE_MPSSE; mask is the pin
 * direction mask of the bit-bang modes. */
FT_STATUS FT_SetBitMode(FT_HANDLE handle, unsigned char mask,
                        unsigned char mode);

/* Send count bytes to the chip; *written gets the count sent. */
FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count,
                   uint32_t *written);

/* *rx_count gets the number of bytes received and waiting to be read. */
FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *rx_count);

/* Read up to count bytes into buffer; *read gets the count delivered. A read
 * that finds fewer bytes, or none, within the read timeout still succeeds. */
FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count,
                  uint32_t *read);

/* Close the device; the handle is invalid afterwards. */
FT_STATUS FT_Close(FT_HANDLE handle);

#ifdef __cplusplus
}
#endif

#endif
