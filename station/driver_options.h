// Options of the driver linked into the station, taken off its command line
// before the station reads it and handed on to each board's process: a
// simulated driver's chips that come and go must be the same in every
// process. Chosen at link time with the driver; real drivers have none.
#pragma once

#include <string>
#include <vector>

namespace station {

// Removes the driver's own options from argv (argc shrinks) and returns
// those to give each board's process.
std::vector<std::string> take_driver_options(int &argc, char **argv);

} // namespace station
