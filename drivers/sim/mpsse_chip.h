// A model of one MPSSE channel of an FTDI high-speed chip and of the board
// wired to its two GPIO bytes. Shared by the simulated driver and by the
// virtual USB chip, so both answer the same commands the same way.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <set>
#include <vector>

namespace chip {

// How the board wires the high GPIO byte (ACBUS) to the low one (ADBUS).
// Pins are numbered 0 to 7 within each byte; by default high pin i is wired
// to low pin i. Faults are data, so that a test describes a board, not the
// answers it expects.
struct Wiring {
    std::array<int, 8> partner{0, 1, 2, 3, 4, 5, 6, 7}; // low pin wired to high pin i
    uint8_t open = 0;          // high pins whose wire is cut
    uint8_t idle_level = 0xFF; // what an undriven high input reads (1: pull-up)
    uint8_t stuck_low = 0;     // high pins' nets held at 0 whatever drives them (a short to a rail,
                               // which overpowers the low pin's driver too)
    uint8_t stuck_high = 0;
    uint8_t inverted = 0;      // high pins that read their net inverted
    // How two touching nets settle. Only drivers count: a driver overpowers
    // the weak pull-ups, which hold the nets when neither is driven.
    enum class Bridge {
        wired_and, // 0 wins
        wired_or,  // 1 wins
        dominant,  // the first net's driver wins while it drives
        resistive, // each net follows its own driver; an undriven one follows the other's
    };
    struct Short {
        int a, b; // two high pins whose nets touch
        Bridge kind;
    };
    std::vector<Short> shorts; // on the nets, so the low pins read them back too
    // A wire that comes and goes (a cracked joint, a loose crimp): open in
    // about one read of one_in, the reads picked by a generator seeded with
    // seed, so that a run repeats exactly. Open, it reads idle.
    struct Flaky {
        int high_pin;
        int one_in;
        uint32_t seed;
        int idle;
    };
    std::vector<Flaky> flaky;
    // Pull-ups too weak for the host's settle wait: a net its low pin stops
    // driving keeps the level last driven for this many reads (0x81 or 0x83)
    // before it reads what holds it. 0: settled by the first read.
    int settle_reads = 0;

    Wiring &open_wire(int high_pin, int idle);
    Wiring &stick(int high_pin, int level);
    Wiring &short_nets(int a, int b, bool wired_or);
    Wiring &bridge(int a, int b, Bridge kind);
    Wiring &swap(int a, int b);
    // High pin's wire comes from another low pin, whose driver it follows.
    Wiring &wire(int high_pin, int low_pin);
    Wiring &invert(int high_pin);
    Wiring &flake(int high_pin, int one_in, uint32_t seed, int idle = 0);
};

// Faults of the chip's answers rather than of the board.
struct AnswerFaults {
    bool drop_every_high_read = false;  // 0x83 never answers
    std::set<int> dropped_high_reads;   // these 0x83 commands (counting from 1) never answer
};

class MpsseChannel {
public:
    Wiring wiring;
    AnswerFaults faults;

    // Bit mode 0 holds the engine in reset and clears it; 2 lets it run.
    void set_bit_mode(uint8_t mask, uint8_t mode);
    // The chip's reset: the engine stops, as after power-up.
    void reset();
    // Bytes from the host. In MPSSE mode they are commands, which may be split
    // across writes; answers are appended to answers. Otherwise they would go
    // out of the UART and nothing comes back.
    void write(const uint8_t *data, size_t count, std::deque<uint8_t> &answers);

    // The pin levels as the chip samples them. A driven low pin reads the
    // level of its net (0x81), which a short to a rail or a bridge may force.
    uint8_t low_pins() const;
    uint8_t high_pins() const;

    bool mpsse_on() const { return mpsse_; }
    bool loopback() const { return loopback_; }
    uint8_t low_value() const { return low_value_; }
    uint8_t low_direction() const { return low_dir_; }
    uint8_t high_value() const { return high_value_; }
    uint8_t high_direction() const { return high_dir_; }
    int high_reads() const { return high_reads_; }
    int send_immediates() const { return send_immediates_; } // 0x87 commands run

private:
    void execute(std::deque<uint8_t> &answers);
    void count_read();
    // The level a high pin's low pin drives; -1 when it is an input.
    int drive_of(int high_pin) const;
    // The level on a high pin's net at its driver's side: a short to a rail,
    // else the drivers as the bridges on it combine them; -1 when nothing drives it.
    int net_drive(int high_pin) const;
    // net_drive, or the high pin's idle level (its pull-up) when nothing drives it.
    int net_level(int high_pin) const;

    bool mpsse_ = false;
    bool loopback_ = false;
    uint8_t low_value_ = 0, low_dir_ = 0, high_value_ = 0, high_dir_ = 0;
    int high_reads_ = 0;
    int send_immediates_ = 0;
    std::vector<uint8_t> pending_; // a command still waiting for its payload
    uint8_t flaky_open_ = 0;       // flaky wires open for the read under way
    uint8_t held_ = 0;             // the level each low pin drove last, which an unsettled net keeps
    std::array<int, 8> reads_undriven_{}; // reads since each low pin became an input
    std::vector<uint32_t> flaky_state_; // each flaky wire's generator, seeded at its first read
};

} // namespace chip
