// The receive side of one open channel of the libftdi1 layer: a thread that
// reads the chip's bulk IN pipe in the background into a queue of the
// layer's own, which FT_GetQueueStatus and FT_Read serve.
//
// libftdi1 cannot say how many bytes wait in the chip, and the chip sends a
// part-filled packet only when its latency timer expires: a bulk read that
// finds nothing waits one timer length for the packet of status bytes alone.
// The chip maker's driver keeps reads pending all the time; this reader
// reads in rounds instead, so that an idle channel costs no processor time
// and wiretest's calls make the same USB transfers in the same order on
// every run.
//
// A round is a run of bulk IN transfers that ends with one that brings no
// data: the chip had nothing more to send when that transfer began. Rounds
// are asked for by
//  - opening (the first query or read starts it, so that bytes the chip held
//    before any write are found too);
//  - every write: its round starts one timer length after it (a read sent
//    sooner would only wait at the chip), or at once when a query or read
//    wants it, or when the write ends in send-immediate (0x87, in MPSSE
//    mode): the chip then sends what it holds at once, and a read already
//    waiting at it comes back with it;
//  - a query that follows no write since the last query or read: a caller
//    polling for an answer that comes late, or for bytes the chip sends on
//    its own. That round runs in the background; the query answers from
//    what has arrived;
//  - a read that finds fewer bytes than it asked for, one round after
//    another until its timeout.
// After a write that ends in send-immediate, a query or read waits for the
// first transfer after it that brings data rather than for the end of the
// round, and a short one begun after the write ends the round: the chip has
// sent what it held, and the empty transfer that ends other rounds would
// only cost a timer length, which a close would then wait out too. (A caller
// that wants more polls for the rest.)
// wiretest never sends 0x87: its transfers and waits are those above.
//
// A round asked by a poll or a read starts no sooner than one timer length
// after the last transfer that brought nothing began: a chip answers no
// faster, and the thread never spins on one that does.
//
// Threads. Every function here but the reader's own is called by the thread
// that makes the call on the channel's handle, one at a time per handle; the
// reader thread is the only other one. Both take the channel's lock for
// every field below it; the reader lets go of it while a transfer runs, and
// it never touches the libftdi1 context.
//
// Waits. The reader waits on the condition variable between rounds, and in
// libusb during a transfer, whose timeout is at most a second: it never
// spins, and stop() returns within that second. A query waits for the rounds
// it needs, and a read in all, at most the read timeout, or two latency
// periods where the timer is longer than that (the chip answers no sooner),
// counted from the later of the call and the beginning of the round it
// waits for; a round the reader has not begun, which it begins at once
// unless the machine starves it, is waited for a second more at most.
#ifndef WIRETEST_LIBFTDI_BACKGROUND_READER_H
#define WIRETEST_LIBFTDI_BACKGROUND_READER_H

#include "device_link/ft_driver.h"
#include "layer_clock.h"

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace libftdi_layer {

constexpr int DEFAULT_LATENCY_MS = 16; // the chip's own, until set
constexpr int DEFAULT_TIMEOUT_MS = 5000; // libftdi1's, until set

struct Receiver {
    // The bulk IN pipe, fixed at open: all of the USB side the reader touches.
    libusb_device_handle *usb = nullptr;
    unsigned char in_endpoint = 0;
    size_t packet_size = 512; // each packet starts with 2 status bytes

    std::mutex lock; // guards everything below
    std::condition_variable changed; // a round asked, done or due; bytes; close

    std::deque<uint8_t> queue; // received from the chip, not yet read; never dropped
    int read_timeout_ms = DEFAULT_TIMEOUT_MS;
    int latency_ms = DEFAULT_LATENCY_MS;
    size_t transfer_size = 4096;

    // Rounds are counted from 1 in the order they are asked.
    //  rounds_asked: how many have been asked; 1 at open.
    //  rounds_done:  every round up to this one is over: it is the value
    //                rounds_asked had when the transfer that ended the last
    //                round began, so whatever the chip had produced before
    //                the round with that number was asked is in the queue.
    //  rounds_owed:  the last round a query right after a write must wait
    //                for: the round of the last write that may be answered
    //                (or of the open). A write of MPSSE commands that never
    //                answer asks a round but owes none; a chip reset, which
    //                clears what the chip held, sets it to rounds_done.
    // rounds_owed <= rounds_asked and rounds_done <= rounds_asked always; a
    // round is pending while rounds_done < rounds_asked.
    uint64_t rounds_asked = 1;
    uint64_t rounds_done = 0;
    uint64_t rounds_owed = 1;
    Clock::time_point round_start = Clock::time_point::max(); // pending rounds start no sooner
    // When the reader began the first transfer of its latest round, and the
    // rounds_asked that round covers: a caller's wait for a round counts
    // from its beginning.
    Clock::time_point round_began{};
    uint64_t round_began_covers = 0;
    Clock::time_point last_empty_began{}; // the last transfer that brought nothing
    bool wrote_since_look = true; // a write (or the open) since the last query or read
    bool mpsse = false;           // bit mode MPSSE: written bytes are commands

    // Send-immediate: transfers that brought data, counted; their count just
    // before the last write that ended in 0x87, and that write's round.
    uint64_t data_transfers = 0;
    uint64_t data_before_immediate = 0;
    uint64_t immediate_round = 0;

    FT_STATUS failure = FT_OK; // of a background read, not yet reported
    std::string failure_cause; // libusb's words for it
    bool gone = false;         // the chip was unplugged: every later call says so
    bool closing = false;

    const ClockHooks *clock = nullptr; // a test's clock (layer_clock.h); null: the steady clock
    std::thread thread;
};

// Start the reader; false when no thread can be made.
bool start(Receiver &r);
// Stop it: it ends its transfer in progress, within a second, and returns.
void stop(Receiver &r);

// The status of a failed transfer or request on the channel: the chip is
// either gone (FT_DEVICE_NOT_FOUND, for good) or it refused (FT_IO_ERROR).
// Asks the USB stack; not under the lock.
FT_STATUS failure_status(Receiver &r, int libusb_error = 0);
bool gone(Receiver &r);

// What the handle's calls tell the reader: writing just before every
// write, wrote just after.
void writing(Receiver &r, const uint8_t *bytes, size_t count);
void wrote(Receiver &r, const uint8_t *bytes, size_t count);
void chip_reset(Receiver &r);
void set_read_timeout(Receiver &r, int ms);
void set_latency(Receiver &r, int ms);
void set_transfer_size(Receiver &r, size_t bytes);
void set_mpsse(Receiver &r, bool on);

// FT_GetQueueStatus and FT_Read on the queue.
FT_STATUS query(Receiver &r, uint32_t *count);
FT_STATUS read(Receiver &r, uint8_t *buffer, uint32_t count, uint32_t *delivered);

} // namespace libftdi_layer

#endif
