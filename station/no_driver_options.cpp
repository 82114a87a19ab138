// Real chips: the driver takes no options of its own.
#include "driver_options.h"

namespace station {

std::vector<std::string> take_driver_options(int & /*argc*/, char ** /*argv*/) { return {}; }

} // namespace station
