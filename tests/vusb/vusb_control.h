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
// Threads in libusb_handle_events_* right now: a hotplug wait has begun.
int vusb_events_waiting();

// libusb contexts made by libusb_init and not yet ended by libusb_exit.
int vusb_contexts_open();

// The stepped clock. Turned on, it is the bus's clock, and the clock of the
// code under test that waits through it: it stands still while any thread
// taking part runs, and when every one of them waits, it steps at once to the
// earliest moment one of them waits for. So what a wait of 50 ms lets
// through, and how long a call took, come out as on an idle machine however
// loaded this one is. It starts at the steady clock's time when turned on.
// The threads taking part: the one that turns it on, and those counted by
// vusb_clock_thread_begins (called by the thread that starts them) until
// they call vusb_clock_thread_ends. They wait only through vusb_clock_wait,
// wake each other through vusb_clock_notify, which wakes every waiter, and a
// thread about to join one that ends says so first (vusb_clock_joining).
// Turned off: the steady clock, and these do nothing.
void vusb_clock_stepped(int on);
long long vusb_clock_now_ns();
// Let go of lock (unlock(lock), unless null) and wait until a notify or the
// clock reaches deadline_ns (negative: no deadline); then relock(lock). It
// may return sooner: the caller looks again at what it waits for.
void vusb_clock_wait(long long deadline_ns, void (*unlock)(void *), void (*relock)(void *), void *lock);
// The calling thread waits ms on the clock (on the steady clock, sleeps).
void vusb_clock_sleep_ms(unsigned ms);
void vusb_clock_notify();
void vusb_clock_thread_begins();
void vusb_clock_thread_ends();
void vusb_clock_joining();
}
