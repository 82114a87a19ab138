// The background reader of the libftdi1 layer (background_reader.h says what
// it keeps and when it reads).
#include "background_reader.h"
#include "failure_cause.h"
#include "mpsse/mpsse_commands.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <vector>

namespace libftdi_layer {

namespace {

// Bounds of the receive side. The chip answers every bulk IN transfer within
// its latency timer, with an empty packet at the least.
constexpr int MAX_TRANSFERS_PER_ROUND = 256;      // a chip that never stops sending
constexpr size_t QUEUE_LIMIT = size_t(1) << 20;   // stop reading, never drop

// A background read waits at least two timer lengths, since the chip answers
// within one and a shorter timeout would cut off an answer on its way; and at
// most a second, so that stop() never waits long for a silent chip.
constexpr int MAX_BACKGROUND_TIMEOUT_MS = 1000;

// The reader begins a round that a caller waits for at once; a caller waits
// this much longer for a round not begun yet, which only a starved thread
// comes near, before it gives up on it.
constexpr int UNBEGUN_ROUND_GRACE_MS = 1000;

using Hold = std::unique_lock<std::mutex>;
using std::chrono::milliseconds;

std::atomic<const ClockHooks *> clock_for_new_channels{nullptr};

Clock::time_point now(const Receiver &r) { return r.clock ? r.clock->now() : Clock::now(); }

// Wait on r.changed, or through the test's clock: until woken or deadline.
void wait_until(Receiver &r, Hold &hold, Clock::time_point deadline)
{
    if (r.clock)
        r.clock->wait_until(hold, deadline);
    else if (deadline == Clock::time_point::max())
        r.changed.wait(hold);
    else
        r.changed.wait_until(hold, deadline);
}

void wake(Receiver &r)
{
    r.changed.notify_all();
    if (r.clock)
        r.clock->wake();
}

// The reader's next step: a transfer of a round that may start now, or the
// end. Waits for it on the condition variable.
bool wait_for_round(Receiver &r, Hold &hold)
{
    for (;;) {
        if (r.closing)
            return false;
        bool wanted = r.rounds_done < r.rounds_asked && !r.gone;
        if (wanted && now(r) >= r.round_start)
            return true;
        // Idle (no round wanted): a call or stop() wakes it.
        wait_until(r, hold, wanted ? r.round_start : Clock::time_point::max());
    }
}

// Strip the 2 status bytes that start every packet and queue the rest.
// Returns the count of data bytes.
size_t queue_payload(Receiver &r, const std::vector<uint8_t> &transfer, size_t length)
{
    size_t data = 0;
    for (size_t at = 0; at < length; at += r.packet_size) {
        size_t end = std::min(at + r.packet_size, length);
        if (end - at > 2) {
            r.queue.insert(r.queue.end(), transfer.begin() + long(at + 2), transfer.begin() + long(end));
            data += end - at - 2;
        }
    }
    return data;
}

// The thread behind each open channel: bulk IN transfers, a round at a time.
void read_in_background(Receiver &r)
{
    std::vector<uint8_t> transfer;
    int transfers_in_round = 0;
    Hold hold(r.lock);
    while (wait_for_round(r, hold)) {
        uint64_t covers = r.rounds_asked; // what an empty answer to this transfer proves
        Clock::time_point began = now(r);
        if (transfers_in_round == 0) {
            r.round_began = began;
            r.round_began_covers = covers;
            wake(r);
        }
        size_t data = 0;
        FT_STATUS failure = FT_OK;
        std::string cause;
        bool short_transfer = true;
        if (r.queue.size() < QUEUE_LIMIT) {
            transfer.resize(r.transfer_size);
            int timeout = std::clamp(r.read_timeout_ms, 2 * r.latency_ms, MAX_BACKGROUND_TIMEOUT_MS);
            hold.unlock();
            int received = 0;
            int result = libusb_bulk_transfer(r.usb, r.in_endpoint, transfer.data(), int(transfer.size()),
                                              &received, timeout);
            // A timeout is a chip with nothing to say; what came before it counts.
            if (result < 0 && result != LIBUSB_ERROR_TIMEOUT) {
                failure = failure_status(r, result);
                cause = libusb_cause(result);
            }
            hold.lock();
            data = queue_payload(r, transfer, size_t(std::max(received, 0)));
            short_transfer = size_t(std::max(received, 0)) < transfer.size();
        }
        transfers_in_round++;
        if (failure != FT_OK) {
            r.failure = failure;
            r.failure_cause = cause;
        }
        if (data == 0)
            r.last_empty_began = began;
        else
            r.data_transfers++;
        // After a send-immediate the chip sent what it held: a short transfer
        // with data that began after that write (it covers the write's
        // round) ends the round. The empty one that would end it otherwise
        // only waits out the chip's timer, and a close would wait for it.
        bool sent_what_it_held = data > 0 && short_transfer && covers == r.immediate_round;
        if (failure != FT_OK || data == 0 || sent_what_it_held || transfers_in_round >= MAX_TRANSFERS_PER_ROUND ||
            r.queue.size() >= QUEUE_LIMIT) {
            r.rounds_done = covers;
            transfers_in_round = 0;
        }
        wake(r);
    }
}

// How long a query waits for its rounds, and a read in all: the read
// timeout, or two timer lengths where that is longer, as the chip answers a
// transfer no sooner than its timer and a round ends with an empty one.
milliseconds wait_limit(const Receiver &r)
{
    return milliseconds(std::max(r.read_timeout_ms, 2 * r.latency_ms));
}

// Wait until the rounds up to target are done, starting a pending one now:
// at most the wait limit from the later of the call and the beginning of the
// round that covers target, so that a loaded machine, which may begin the
// round late, does not cut it short. false when the chip is gone.
bool finish_rounds(Receiver &r, Hold &hold, uint64_t target, Clock::time_point called)
{
    if (r.rounds_done < target) {
        r.round_start = std::min(r.round_start, now(r));
        wake(r);
    }
    // The chip sent what it held at the send-immediate: data after it is the answer.
    auto answered_at_once = [&] {
        return target == r.immediate_round && r.data_transfers > r.data_before_immediate;
    };
    while (r.rounds_done < target && !answered_at_once() && !r.gone) {
        Clock::time_point deadline = r.round_began_covers >= target
                                         ? std::max(called, r.round_began) + wait_limit(r)
                                         : called + wait_limit(r) + milliseconds(UNBEGUN_ROUND_GRACE_MS);
        if (now(r) >= deadline)
            break;
        wait_until(r, hold, deadline);
    }
    return !r.gone;
}

// Ask one more round, to start when the chip could next have something:
// no sooner than one timer length after the last transfer that found nothing.
void ask_paced_round(Receiver &r)
{
    r.rounds_asked++;
    r.round_start = std::max(now(r), r.last_empty_began + milliseconds(r.latency_ms));
    wake(r);
}

// Whether the chip may answer these bytes in MPSSE mode: anything but a run
// of commands that set pins or the loopback, which never answer.
bool may_answer(const uint8_t *bytes, size_t count)
{
    for (size_t at = 0; at < count;) {
        switch (bytes[at]) {
        case MPSSE_SET_BITS_LOW:
        case MPSSE_SET_BITS_HIGH:
            at += 3; // the opcode, the value and the direction
            break;
        case MPSSE_LOOPBACK_ON:
        case MPSSE_LOOPBACK_OFF:
            at += 1;
            break;
        default:
            return true;
        }
    }
    return false;
}

// A write of MPSSE commands whose last is send-immediate. Under the lock.
bool ends_in_send_immediate(const Receiver &r, const uint8_t *bytes, size_t count)
{
    return r.mpsse && count > 0 && bytes[count - 1] == MPSSE_SEND_IMMEDIATE;
}

// The failure of a background read, reported once; a gone chip for good.
FT_STATUS take_failure(Receiver &r)
{
    FT_STATUS failure = r.gone ? FT_STATUS(FT_DEVICE_NOT_FOUND) : r.failure;
    if (failure != FT_OK)
        failure_cause() = r.failure_cause; // the caller's thread
    r.failure = FT_OK;
    r.failure_cause.clear();
    return failure;
}



} // namespace

void use_clock(const ClockHooks *hooks) { clock_for_new_channels = hooks; }

bool start(Receiver &r)
{
    r.clock = clock_for_new_channels;
    if (r.clock)
        r.clock->thread_begins();
    try {
        r.thread = std::thread([&r] {
            read_in_background(r);
            if (r.clock)
                r.clock->thread_ends();
        });
    } catch (const std::system_error &) {
        if (r.clock)
            r.clock->thread_ends();
        return false;
    }
    return true;
}

void stop(Receiver &r)
{
    {
        std::lock_guard<std::mutex> hold(r.lock);
        r.closing = true;
    }
    wake(r);
    if (r.clock)
        r.clock->joining();
    r.thread.join();
}

FT_STATUS failure_status(Receiver &r, int libusb_error)
{
    int configuration = 0;
    bool gone_now = libusb_error == LIBUSB_ERROR_NO_DEVICE ||
                    libusb_get_configuration(r.usb, &configuration) == LIBUSB_ERROR_NO_DEVICE;
    std::lock_guard<std::mutex> hold(r.lock);
    r.gone = r.gone || gone_now;
    if (r.gone)
        wake(r); // waiting calls end at once
    return r.gone ? FT_DEVICE_NOT_FOUND : FT_IO_ERROR;
}

bool gone(Receiver &r)
{
    std::lock_guard<std::mutex> hold(r.lock);
    return r.gone;
}

// Before a write that ends in send-immediate: data that comes from here on
// came with it or after it reached the chip.
void writing(Receiver &r, const uint8_t *bytes, size_t count)
{
    std::lock_guard<std::mutex> hold(r.lock);
    if (ends_in_send_immediate(r, bytes, count))
        r.data_before_immediate = r.data_transfers;
}

void wrote(Receiver &r, const uint8_t *bytes, size_t count)
{
    // The answers are on their way: a round collects them once the chip's
    // latency timer lets them out, or at once after a send-immediate.
    std::lock_guard<std::mutex> hold(r.lock);
    r.rounds_asked++;
    if (!r.mpsse || may_answer(bytes, count))
        r.rounds_owed = r.rounds_asked;
    bool immediate = ends_in_send_immediate(r, bytes, count);
    if (immediate)
        r.immediate_round = r.rounds_asked;
    r.round_start = now(r) + milliseconds(immediate ? 0 : r.latency_ms);
    r.wrote_since_look = true;
    wake(r);
}

void chip_reset(Receiver &r)
{
    std::lock_guard<std::mutex> hold(r.lock);
    r.rounds_owed = r.rounds_done; // the chip holds nothing from before
}

void set_read_timeout(Receiver &r, int ms)
{
    std::lock_guard<std::mutex> hold(r.lock);
    r.read_timeout_ms = ms;
}

void set_latency(Receiver &r, int ms)
{
    std::lock_guard<std::mutex> hold(r.lock);
    r.latency_ms = ms;
}

void set_transfer_size(Receiver &r, size_t bytes)
{
    std::lock_guard<std::mutex> hold(r.lock);
    r.transfer_size = bytes;
}

void set_mpsse(Receiver &r, bool on)
{
    std::lock_guard<std::mutex> hold(r.lock);
    r.mpsse = on;
}

// Right after a write, the rounds it owes (all of them once the write's round
// is due), so that whatever the chip sent before the caller's settle wait
// began is counted; a query right after commands without an answer answers
// from memory, as waiting would only wait at the chip for an empty packet.
// A query that follows no write is a poll: it asks a round in the background
// when none is pending and answers from what has arrived, so that a caller
// polling finds a late answer within a few timer lengths.
FT_STATUS query(Receiver &r, uint32_t *count)
{
    Hold hold(r.lock);
    bool pending = r.rounds_done < r.rounds_asked;
    if (!r.wrote_since_look && !pending) {
        ask_paced_round(r);
    } else {
        Clock::time_point called = now(r);
        finish_rounds(r, hold, called >= r.round_start ? r.rounds_asked : r.rounds_owed, called);
    }
    r.wrote_since_look = false;
    FT_STATUS status = take_failure(r);
    if (status != FT_OK)
        return status;
    *count = uint32_t(std::min<size_t>(r.queue.size(), UINT32_MAX));
    return FT_OK;
}

// The rounds asked before the read first, then one round after another until
// the bytes asked for are there or the read timeout ends.
FT_STATUS read(Receiver &r, uint8_t *buffer, uint32_t count, uint32_t *delivered)
{
    Hold hold(r.lock);
    Clock::time_point called = now(r);
    bool attached = finish_rounds(r, hold, r.rounds_asked, called);
    Clock::time_point deadline = called + wait_limit(r);
    while (attached && r.failure == FT_OK && r.queue.size() < count && now(r) < deadline) {
        if (r.rounds_done >= r.rounds_asked)
            ask_paced_round(r);
        uint64_t target = r.rounds_asked;
        while (!(r.rounds_done >= target || r.queue.size() >= count || r.gone || r.failure != FT_OK) &&
               now(r) < deadline)
            wait_until(r, hold, deadline);
        attached = !r.gone;
    }
    r.wrote_since_look = false;
    FT_STATUS status = take_failure(r);
    if (status != FT_OK)
        return status; // what was queued stays queued
    size_t n = std::min<size_t>(count, r.queue.size());
    std::copy_n(r.queue.begin(), n, buffer);
    r.queue.erase(r.queue.begin(), r.queue.begin() + long(n));
    *delivered = uint32_t(n);
    return FT_OK;
}

} // namespace libftdi_layer
