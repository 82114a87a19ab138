// Ctrl-C, SIGTERM and SIGHUP at a station. The first asks the station to
// finish the boards under test, write their records and stop; a board's
// process ignores it in a normal test and ends a soak after the run under
// way. The second stops at once: the boards' processes are killed and the
// station exits as soon as the records of boards that had finished are
// written, leaving no partial file (records are written whole or not at
// all). Each board's process runs in a process group of its own, so a
// signal sent to the station's whole group (systemd, `timeout`, `kill -TERM
// -PGID`) reaches the boards as the station passes it on, and a board that
// must end is ended with what it started.
#pragma once

#include <functional>

#ifndef _WIN32
#include <csignal>
#endif

namespace station {

// In the station's own process, before any board's process starts. A lost
// reader of standard output (SIGPIPE) becomes a write error: lost output,
// not the end of the station.
void handle_interrupts_in_station();

// In a board's process: a normal test goes on to its end; a soak stops after
// the run under way (soak_should_stop). Undoes what the station's handling
// left to the process (a copy made with fork() has it all).
void handle_interrupts_in_board(bool soak);

// Whether the first interrupt has come; the second.
bool interrupted();
bool interrupted_twice();

// Whether a soak's process was asked to stop.
bool soak_should_stop();

// Around the writing of a finished board's records: the second interrupt
// exits once they are whole, so that a board that had its result keeps its
// line and its row. begin_record_write is false after the second interrupt
// (nothing is to be written then); end_record_write may end the process.
bool begin_record_write();
void end_record_write();

// What to say when the first interrupt comes while boards are under test;
// announce_interrupt calls it once, with the number of boards under test.
void set_interrupt_announcer(std::function<void(int boards)> announcer);
void announce_interrupt();

#ifndef _WIN32
// Readable from the first interrupt on, for a reader that waits in poll().
int interrupt_notice_fd();

// SIGINT, SIGTERM and SIGHUP: what a board's process holds blocked until it
// has its handlers.
sigset_t interrupt_signals();
#endif

// A board's process while it runs, so that an interrupt reaches it (a second
// one kills it). The id is the pid (the leader of the board's process group),
// or the process handle on Windows.
void register_child(long long id);
void unregister_child(long long id);

} // namespace station
