// What is happening at a slot before its board's result, for whatever
// shows the station as it works: the outputs and the page.
#pragma once

#include <string>

namespace station {

struct SlotEvent {
    enum Kind {
        watched,       // a slot the station tests or waits on, before any board
        testing,       // a board's test began or moved on
        label_waiting, // a scanned label waits there for the slot's next board
    };
    Kind kind = watched;
    std::string location;
    char channel = 'A';
    std::string slot;     // the fixture's name for it; "" without one
    // Initialised here so that events written as {kind, location, channel, slot} stay whole.
    std::string serial{}; // testing: the board's
    std::string label{};  // testing: the board's, scanned; label_waiting: the label ("" once taken)
    int attempt = 0;      // testing, as BoardResult's
    int row = 0;        // testing: rows answered so far
    bool soak = false;  // testing: runs over and over, counted below
    int runs = 0, failed_runs = 0;
};

} // namespace station
