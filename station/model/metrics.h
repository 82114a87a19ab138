// The station's numbers for a line's monitoring: what /metrics serves, in
// the OpenMetrics text format or Prometheus's older one. One registry for
// the process: the metrics output feeds it the boards, and the outputs that
// write somewhere say there what they failed to write.
//
// Serials and record ids go only into exemplars, never into labels: the
// series stay bounded by the slots, the pins and the fault classes.
#pragma once

#include <cstdint>
#include <string>

namespace station {
struct BoardResult;
struct RunContext;
} // namespace station

namespace station::metrics {

// The sinks whose write failures are counted.
extern const char *const sinks[4]; // "records", "junit", "database", "cycles"

// Once, before the first board: the station's name and how its boards are tested.
void start(const RunContext &context);

// A board's slot: its fixture's name for it, else its location.
std::string slot_label(const std::string &slot, const std::string &location);

// A slot the station tests or waits on: its boards' counters start at 0,
// so that Prometheus's increase() counts the first board there too.
void watched(const std::string &slot_label);
// A slot whose board's test began.
void testing(const std::string &slot_label);
// A record: one attempt at a board. last: its board's last attempt for now.
void finished(const BoardResult &result, bool last);
// The session ends or was interrupted: the station is stopping.
void stopping();

// A record, a JUnit file, a database row or a slot's count not written.
void write_failed(const char *sink);
// The outbox of the line's database: records waiting, the oldest one's
// finish time (0: none waits), records the server refused, set aside.
void outbox(long waiting, int64_t oldest_millis, long refused);

// Whether a scraper's Accept header asks for the Prometheus text format
// rather than OpenMetrics.
bool wants_prometheus_text(const std::string &accept);
extern const char openmetrics_type[];
extern const char prometheus_type[];

// The exposition, now.
std::string exposition(bool openmetrics);

// Forgets everything: for tests that feed the registry themselves.
void reset();

} // namespace station::metrics
