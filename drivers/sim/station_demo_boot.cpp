// wiretest-station-sim starts with its demo chips attached, in every process:
// the station's own and each board's.
#include "sim_control.h"

namespace {

const bool attached = (sim::attach_station_demo_chips(), true);

} // namespace
