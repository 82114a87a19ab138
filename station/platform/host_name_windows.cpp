#include "host_name.h"

#include <windows.h>

namespace station {

std::string host_name()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : "unknown";
}

} // namespace station
