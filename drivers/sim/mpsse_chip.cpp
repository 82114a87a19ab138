// The MPSSE command processor after the chip maker's published command set,
// and the board's wiring between the two GPIO bytes.
#include "mpsse_chip.h"

#include <utility>

namespace chip {
namespace {

bool bit(uint8_t byte, int pin) { return (byte >> pin) & 1; }

// Payload length of each opcode the model knows; -1 for a bad opcode.
// Opcodes with bit 7 clear clock serial data, which the model does not
// emulate: they are consumed on their own.
int payload_length(uint8_t opcode)
{
    switch (opcode) {
    case 0x80: case 0x82:            // set GPIO: value, direction
    case 0x86:                       // clock divisor: low, high
    case 0x8F: case 0x9C: case 0x9D: // clock pulses: length low, high
    case 0x9E:                       // drive-zero mask: low, high
        return 2;
    case 0x8E:                       // clock bits: length
        return 1;
    case 0x81: case 0x83:            // read GPIO
    case 0x84: case 0x85:            // loopback on, off
    case 0x87:                       // send immediate
    case 0x88: case 0x89:            // wait on I/O high, low
    case 0x8A: case 0x8B:            // clock divide by 5 off, on
    case 0x8C: case 0x8D:            // 3-phase clocking on, off
    case 0x96: case 0x97:            // adaptive clocking on, off
        return 0;
    default:
        return (opcode & 0x80) ? -1 : 0;
    }
}

} // namespace

Wiring &Wiring::open_wire(int high_pin, int idle)
{
    open |= uint8_t(1u << high_pin);
    idle_level = idle ? uint8_t(idle_level | (1u << high_pin)) : uint8_t(idle_level & ~(1u << high_pin));
    return *this;
}

Wiring &Wiring::stick(int high_pin, int level)
{
    (level ? stuck_high : stuck_low) |= uint8_t(1u << high_pin);
    return *this;
}

Wiring &Wiring::short_nets(int a, int b, bool wired_or)
{
    return bridge(a, b, wired_or ? Bridge::wired_or : Bridge::wired_and);
}

Wiring &Wiring::bridge(int a, int b, Bridge kind)
{
    shorts.push_back({a, b, kind});
    return *this;
}

Wiring &Wiring::swap(int a, int b)
{
    std::swap(partner[a], partner[b]);
    return *this;
}

Wiring &Wiring::wire(int high_pin, int low_pin)
{
    partner[high_pin] = low_pin;
    return *this;
}

Wiring &Wiring::invert(int high_pin)
{
    inverted |= uint8_t(1u << high_pin);
    return *this;
}

Wiring &Wiring::flake(int high_pin, int one_in, uint32_t seed, int idle)
{
    flaky.push_back({high_pin, one_in, seed, idle});
    return *this;
}

void MpsseChannel::set_bit_mode(uint8_t /*mask*/, uint8_t mode)
{
    if (mode == 0) {
        reset();
        return;
    }
    mpsse_ = (mode == 2);
}

void MpsseChannel::reset()
{
    mpsse_ = false;
    loopback_ = false;
    low_value_ = low_dir_ = high_value_ = high_dir_ = 0; // all pins inputs
    held_ = 0;
    reads_undriven_.fill(1 << 30); // settled long ago
    pending_.clear();
}

void MpsseChannel::write(const uint8_t *data, size_t count, std::deque<uint8_t> &answers)
{
    if (!mpsse_)
        return;
    for (size_t i = 0; i < count; i++) {
        pending_.push_back(data[i]);
        int length = payload_length(pending_[0]);
        if (length < 0 || pending_.size() == size_t(length) + 1) {
            execute(answers);
            pending_.clear();
        }
    }
}

void MpsseChannel::execute(std::deque<uint8_t> &answers)
{
    uint8_t opcode = pending_[0];
    switch (opcode) {
    case 0x80:
        for (int pin = 0; pin < 8; pin++)
            if (bit(low_dir_, pin) && !bit(pending_[2], pin)) { // made an input: its net holds on a while
                reads_undriven_[pin] = 0;
                held_ = uint8_t((held_ & ~(1u << pin)) | (bit(low_value_, pin) << pin));
            }
        low_value_ = pending_[1];
        low_dir_ = pending_[2];
        return;
    case 0x82:
        high_value_ = pending_[1];
        high_dir_ = pending_[2];
        return;
    case 0x81:
        answers.push_back(low_pins());
        count_read();
        return;
    case 0x83:
        high_reads_++;
        if (faults.drop_every_high_read || faults.dropped_high_reads.count(high_reads_))
            return;
        // The flaky wires open or not for this read; a generator of their
        // own, not the C library's, so that nothing else moves them.
        flaky_state_.resize(wiring.flaky.size());
        flaky_open_ = 0;
        for (size_t i = 0; i < wiring.flaky.size(); i++) {
            const Wiring::Flaky &f = wiring.flaky[i];
            uint32_t &x = flaky_state_[i];
            if (x == 0) // not seeded yet: xorshift never comes back to 0
                x = f.seed | 1u;
            x ^= x << 13, x ^= x >> 17, x ^= x << 5; // xorshift32
            if (f.one_in > 0 && x % uint32_t(f.one_in) == 0)
                flaky_open_ |= uint8_t(1u << f.high_pin);
        }
        answers.push_back(high_pins());
        count_read();
        flaky_open_ = 0;
        return;
    case 0x84:
        loopback_ = true;
        return;
    case 0x85:
        loopback_ = false;
        return;
    case 0x87:
        send_immediates_++;
        return;
    default:
        if (payload_length(opcode) < 0) {
            answers.push_back(0xFA); // bad command, then the opcode itself
            answers.push_back(opcode);
        }
        return;
    }
}

void MpsseChannel::count_read()
{
    for (int &reads : reads_undriven_)
        reads += reads < (1 << 30); // long settled stays settled
}

int MpsseChannel::drive_of(int high_pin) const
{
    int low_pin = wiring.partner[high_pin];
    if (bit(low_dir_, low_pin))
        return bit(low_value_, low_pin);
    // Not settled yet: the charge of the level last driven, which nothing overpowers here.
    return reads_undriven_[low_pin] < wiring.settle_reads ? bit(held_, low_pin) : -1;
}

int MpsseChannel::net_level(int high_pin) const
{
    int level = net_drive(high_pin);
    return level >= 0 ? level : bit(wiring.idle_level, high_pin);
}

int MpsseChannel::net_drive(int high_pin) const
{
    if (bit(wiring.stuck_low, high_pin))
        return 0;
    if (bit(wiring.stuck_high, high_pin))
        return 1;
    int own = drive_of(high_pin), level = own;
    for (const Wiring::Short &s : wiring.shorts) {
        int other = s.a == high_pin ? s.b : s.b == high_pin ? s.a : -1;
        if (other < 0)
            continue;
        int theirs = drive_of(other);
        switch (s.kind) {
        case Wiring::Bridge::wired_and:
            if (theirs >= 0)
                level = level < 0 ? theirs : (level & theirs);
            break;
        case Wiring::Bridge::wired_or:
            if (theirs >= 0)
                level = level < 0 ? theirs : (level | theirs);
            break;
        case Wiring::Bridge::dominant:
            level = drive_of(s.a) >= 0 ? drive_of(s.a) : drive_of(s.b);
            break;
        case Wiring::Bridge::resistive:
            if (own < 0)
                level = theirs;
            break;
        }
    }
    return level;
}

uint8_t MpsseChannel::high_pins() const
{
    uint8_t levels = 0;
    for (int pin = 0; pin < 8; pin++) {
        int level;
        if (bit(wiring.stuck_low, pin)) {
            level = 0;
        } else if (bit(wiring.stuck_high, pin)) {
            level = 1;
        } else if (bit(high_dir_, pin)) {
            level = bit(high_value_, pin); // an output reads back its own level
        } else {
            level = net_level(pin);
            if (bit(flaky_open_, pin)) {
                for (const Wiring::Flaky &f : wiring.flaky)
                    if (f.high_pin == pin)
                        level = f.idle;
            } else if (bit(wiring.open, pin)) {
                level = bit(wiring.idle_level, pin);
            }
            if (bit(wiring.inverted, pin))
                level = !level;
        }
        levels |= uint8_t(level << pin);
    }
    return levels;
}

uint8_t MpsseChannel::low_pins() const
{
    uint8_t levels = 0;
    for (int pin = 0; pin < 8; pin++) {
        int level = bit(low_dir_, pin) ? bit(low_value_, pin) : 1; // undriven: the pull-up
        for (int high = 0; high < 8; high++) {
            if (wiring.partner[high] != pin)
                continue;
            if (!bit(low_dir_, pin) && !bit(wiring.open, high) && bit(high_dir_, high))
                level = bit(high_value_, high); // driven from the high side
            else if (net_drive(high) >= 0)
                level = net_drive(high); // the net it drives, as shorts and bridges hold it
            break;
        }
        levels |= uint8_t(level << pin);
    }
    return levels;
}

} // namespace chip
