// The loopback harness's fault model and its fault dictionary: eight nets,
// each from a driven low pin (ADBUS) to a receiving high pin (ACBUS); the
// classes of fault a net or a pair of nets can have; what each pattern of a
// pattern set reads with a fault; and, for a set, which faults it detects,
// which it locates (no other modelled fault reads alike) and which it
// confounds with which. No I/O.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace diagnose {

enum class FaultClass {
    stuck_0,          // net shorted to ground: overpowers its driver
    stuck_1,          // net shorted to the supply
    open_pulled_up,   // wire cut between the pins; the receiver follows its weak pull-up
    open_floating,    // wire cut, the receiver holds no level; the model reads it as 0
    bridge_and,       // two nets touch and 0 wins
    bridge_or,        // two nets touch and 1 wins
    bridge_dominant,  // two nets touch and the first net's driver wins
    bridge_resistive, // two nets touch through a resistance: each follows its own
                      // driver while both drive; a driven net pulls an undriven one
    crossed,          // two wires swapped
    misroute,         // the second net's receiver fed by the first net's driver
    bridge3_and,      // three nets touch and 0 wins
    bridge3_or,       // three nets touch and 1 wins
};

struct Fault {
    FaultClass kind = FaultClass::stuck_0;
    std::array<int, 3> nets{0, 0, 0}; // as many as the class touches, in the order its comment gives
};

// One modelled board: one fault, or two on separate nets.
struct FaultCase {
    std::vector<Fault> faults;
};

// One step of a pattern set: the low byte's value and direction (1 = driven,
// the rest inputs held by their pull-ups), and whether the driven byte's pin
// levels are read back as well as the receivers.
struct Step {
    uint8_t value = 0;
    uint8_t direction = 0xFF;
    bool read_back = false;
};

// What one step observes: the receivers, and the low pins when read back.
struct Observation {
    uint8_t high = 0;
    uint8_t low = 0;
    bool operator==(const Observation &o) const { return high == o.high && low == o.low; }
};

enum class PatternSet {
    standard, // the wiring test's thirteen patterns, all pins driven, receivers only
    locate,   // walking ones, then a constant-weight code; the driven byte read back each step
    deep,     // locate, then each net driven low alone with the others as inputs
};

// The name a user gives a set ("standard", "locate", "deep") and back.
const char *pattern_set_name(PatternSet set);
std::optional<PatternSet> pattern_set_named(std::string_view name);
std::vector<Step> pattern_steps(PatternSet set);
// Patterns as given by a user: bytes in hexadecimal, comma-separated, all pins
// driven, receivers only ("0x01,0x02,0xFF"); empty when the text is not that.
std::vector<Step> pattern_steps_from_text(std::string_view text);

// How long the deep set waits after making nets inputs before it reads them:
// the weak pull-ups (tens of kilo-ohms, wide tolerance) against tens of pF
// settle in microseconds; this leaves a wide margin.
constexpr uint32_t deep_settle_us = 1000;

// What the harness reads for one step with the faults of a case.
Observation observe(const std::vector<Fault> &faults, const Step &step);

const char *fault_class_name(FaultClass kind);
// The nets a fault touches, in the order its class's comment gives.
std::vector<int> fault_nets(const Fault &fault);
// "bridge wired-AND between nets 2 and 5".
std::string fault_text(const Fault &fault);
std::string case_text(const FaultCase &c);

// The modelled faults, grouped as the coverage table shows them. Each group
// holds the faults of one class on every net or set of nets, or two faults of
// one class on separate nets.
struct FaultGroup {
    std::string name;
    std::vector<FaultCase> cases;
};
std::vector<FaultGroup> modelled_faults();

// The signature of each case for a set of steps: detected (reads unlike a
// good board), and the other cases, anywhere in the groups, that read alike.
struct CaseSignature {
    size_t group = 0, index = 0;
    bool detected = false;
    std::vector<std::pair<size_t, size_t>> alike; // (group, index) of the cases it is confounded with
};

struct CoverageRow {
    std::string group;
    int cases = 0;
    int detected = 0;
    int located = 0;           // detected, and no other modelled case reads alike
    int apart_in_group = 0;    // detected, and no other case of its own group reads alike
    std::vector<std::string> confounded_with; // the groups its confounded cases come from
};

struct Coverage {
    std::vector<Step> steps;
    std::vector<FaultGroup> groups;
    std::vector<std::vector<CaseSignature>> signatures; // per group, per case
    std::vector<CoverageRow> rows;
};

Coverage coverage(const std::vector<Step> &steps, std::vector<FaultGroup> groups = modelled_faults());

// What a set of steps' observations say of a board: every modelled case that
// reads exactly so. Empty for a good board's observations or for ones no
// modelled case explains.
std::vector<FaultCase> candidates(const std::vector<Step> &steps, const std::vector<Observation> &observed);

} // namespace diagnose
