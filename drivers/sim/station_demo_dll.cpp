// The simulated ftd2xx.dll for wiretest-station.exe (station-sim-driver/)
// starts with the station's demo chips attached, as wiretest-station-sim
// does without options of its own.
#include "sim_control.h"

namespace {

const bool attached = (sim::attach_station_demo_chips(), true);

} // namespace
