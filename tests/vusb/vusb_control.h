// Control of the virtual USB bus for tests that link it into their own
// process, in place of libusb-1.0.
#pragma once

extern "C" {

// Replace the bus by one built from these settings (the WIRETEST_VUSB
// syntax of virtual_usb.cpp). Devices listed from the old bus stay valid
// but are no longer attached.
void vusb_configure(const char *settings);

// The timeout, in ms, that the last control request and the last bulk
// transfer were given.
unsigned vusb_last_control_timeout();
unsigned vusb_last_bulk_timeout();

// 1 while the kernel's serial driver holds that interface of the chip at
// location (sio=1), 0 when not, -1 when there is no such chip or interface.
int vusb_serial_driver_bound(const char *location, int interface_number);

// 1 while a handle of this process claims that interface of the chip at
// location, 0 when none does, -1 when there is no such chip or interface.
int vusb_claimed(const char *location, int interface_number);

// Pull the chips out now: transfers waiting at them fail at once.
void vusb_unplug();

// Transfers made so far, control and bulk; IN transfers waiting right now for
// a chip's latency timer (latency=1).
int vusb_transfers();
int vusb_reads_waiting();

// libusb contexts made by libusb_init and not yet ended by libusb_exit.
int vusb_contexts_open();
}
