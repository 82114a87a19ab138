// Ctrl-C and SIGTERM at a station. The first asks the station to finish the
// boards under test, write their records and stop; a board's process ignores
// it in a normal test and ends a soak after the run under way. The second
// stops at once: the boards' processes are killed and the station exits,
// leaving no partial file (records are written whole or not at all).
#pragma once

namespace station {

// In the station's own process, before any board's process starts.
void handle_interrupts_in_station();

// In a board's process: a normal test goes on to its end; a soak stops after
// the run under way (soak_should_stop).
void handle_interrupts_in_board(bool soak);

// Whether the first interrupt has come.
bool interrupted();

// Whether a soak's process was asked to stop.
bool soak_should_stop();

// A board's process while it runs, so that an interrupt reaches it (a second
// one kills it). The id is the pid, or the process handle on Windows.
void register_child(long long id);
void unregister_child(long long id);

} // namespace station
