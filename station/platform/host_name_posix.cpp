#include "host_name.h"

#include <unistd.h>

namespace station {

std::string host_name()
{
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : "unknown";
}

} // namespace station
