// Which channels to test: the driver's listing, and the boards a command
// line names by location or serial number.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace station {

// One MPSSE channel as the driver lists it.
struct Channel {
    std::string location;
    char channel = 'A';
    std::string serial; // "" when the chip has none
    std::string chip;
    bool openable = true;
    std::string access_note; // why not, when not openable
    uint32_t instance = 0;   // changes with each plugging-in; 0 where not known
    bool serial_shared = false; // another chip of the same listing has its serial (a copied EEPROM)
};

// "1-1 A WTST0001", "1-3.1 A -": a board as the station's lines name it.
std::string board_words(const Channel &board);

// The driver's listing; false with why in error when it failed.
bool list_channels(std::vector<Channel> &channels, std::string &error);

// One line of --list, and the JSON array of --list --json.
std::string listing_line(const Channel &channel);
std::string listing_json(const std::vector<Channel> &channels);

// What the command line asks to test.
struct Selection {
    bool all = false;
    std::vector<std::string> ports;
    std::vector<std::string> serials;
    char channel = 'A';
    std::vector<char> port_channels{}; // each port's own channel where not 0 (a fixture's slot)
};

// A board to test, or a target that names no single board (error set).
struct Target {
    Channel board;
    std::string error;
};

// Whether text has the shape of a location as the drivers list them:
// "BUS-PORT[.PORT...]" in digits, or "0x" and hex digits (Windows).
bool is_location(const std::string &text);

// Whether a wiring test of the chip's MPSSE channels means anything: the
// quad chip's have no high GPIO byte to read the wiring back on.
bool has_high_byte(const std::string &chip);

// Why the channel's wiring cannot be tested; "" when it can.
std::string untestable_reason(const Channel &channel);

// What --all says of a channel it passes over for that.
std::string passed_over_note(const Channel &channel);

// The channel tested at the selection's port number port.
char port_channel(const Selection &selection, size_t port);

// The targets in the order asked for: every channel of the listing with
// --all, each --port, then each --serial; a board named twice is tested once.
// A channel that cannot be tested is an error when named; --all passes it
// over and says so in passed_over.
std::vector<Target> select_targets(const std::vector<Channel> &channels, const Selection &selection,
                                   std::vector<std::string> *passed_over = nullptr);

} // namespace station
