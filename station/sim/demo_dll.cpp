// The simulated ftd2xx.dll for wiretest-station.exe (station-sim-driver/)
// starts with the station's demo chips attached, as wiretest-station-sim
// does without options of its own.
#include "demo_chips.h"

#include "sim_control.h"

namespace {

// Nobody reads the record of calls here, and a soak would make it grow
// without end.
const bool attached = (sim::keep_recent_calls(1024), station::attach_demo_chips(), true);

} // namespace
