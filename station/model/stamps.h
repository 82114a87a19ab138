// What stamps a record or a session: its id and the time.
#pragma once

#include <cstdint>
#include <string>

namespace station {

// A new random UUID (version 4), as text.
std::string new_uuid();

// Unix time now, in milliseconds.
int64_t now_millis();

} // namespace station
