// The simulated ftd2xx.dll for wiretest-station.exe (station-sim-driver/)
// starts with the station's demo chips attached, as wiretest-station-sim
// does without options of its own.
#include "sim_control.h"

namespace {

// Nobody reads the record of calls here, and a soak would make it grow
// without end.
const bool attached = (sim::keep_recent_calls(1024), sim::attach_station_demo_chips(), true);

} // namespace
