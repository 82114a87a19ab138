// The station's page as data: a tile for every slot, the session's counters
// and its last results. The outputs change it; the server sends it as JSON,
// whole, to each page at every change (a page opened late is up to date at
// once, and one that missed a change misses nothing).
#pragma once

#include "board_result.h"
#include "events.h"

#include <chrono>
#include <functional>
#include <cstdint>
#include <deque>
#include <vector>
#include <mutex>
#include <optional>
#include <string>

namespace station::page {

struct Identity {
    std::string station_id;
    std::string version;
    std::string fixture_id; // "" without a fixture
    int rows = 13;          // rows of the test each board runs
};

class PageState {
public:
    explicit PageState(Identity identity);

    void apply(const SlotEvent &event);
    // last: false for an attempt that is tested again, which counts in no
    // counter but shows among the last results. replaces: the board was
    // tested again on request, and this result counts in place of its last.
    void apply(const BoardResult &result, bool last, bool replaces = false);
    // Today's first-pass yield of this station from the line's database,
    // 0 to 1 as the report's; nullopt while it is not known.
    void first_pass_today(std::optional<double> yield);
    void session_ended();
    // A fault of the station's own, shown until the session ends.
    void station_fault(const std::string &why);

    // The state as JSON text and its version, which each change raises.
    std::string json(uint64_t &version);
    // The version the state is at now.
    uint64_t version();
    // Called at every change, with the state locked: to wake the server,
    // never to read the state. nullptr: none from now on.
    void watch(std::function<void()> changed);

private:
    struct Tile {
        std::string location;
        char channel = 'A';
        std::string slot;
        std::string state = "waiting"; // waiting, testing, PASS, FAIL, ERROR
        std::string serial, dut_id, label_waiting;
        int attempt = 0, row = 0;
        bool soak = false;
        int runs = 0, failed_runs = 0;
        std::vector<std::string> faults; // a FAIL's pins in wiretest-diagnose's words
        std::vector<diagnose::PinVerdict> pins; // a finished board's eight pin verdicts; none when no rows ran
        std::string reason, advice, cycle_note, label_reused;
        std::string eeprom_serial; // its EEPROM's serial after this test's programming; "" when none was
        bool serial_kept = false;  // the EEPROM already held it: a retest
        int64_t finished_millis = 0;
        std::string counted; // the outcome of the last board here that the counters hold; "" for none
    };
    struct Recent {
        int64_t millis;
        std::string slot, location, dut_id, outcome;
        char channel;
        int attempt;
    };
    static constexpr size_t recent_kept = 20;

    Tile &tile(const std::string &location, char channel, const std::string &slot);
    void changed(); // with mutex_ held

    const Identity identity_;
    std::mutex mutex_;
    std::function<void()> watcher_;
    uint64_t version_ = 1;
    bool ended_ = false;
    std::vector<Tile> tiles_;           // in the order the station first named them
    std::deque<Recent> recent_;         // newest first
    int tested_ = 0, passed_ = 0, failed_ = 0, errors_ = 0;
    std::optional<double> first_pass_today_;
    std::deque<std::string> faults_; // distinct, the latest last
    static constexpr size_t faults_kept = 5;
};

} // namespace station::page
