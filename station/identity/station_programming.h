// The station's programming of each board's identity after its test, as
// --product asks: the board's record carries what became of it.
#pragma once

#include "product_profile.h"
#include "programming.h"

#include <optional>
#include <string>

namespace station {
struct RunOptions;
struct BoardResult;
} // namespace station

namespace identity {

// Reads the profile of --product FILE for a run with that lot and station;
// false with why.
bool load_station_identity(const std::string &file, const SerialContext &context, StationIdentity &identity,
                           std::string &why);

// After its test: the board programmed when the profile says so (after a
// PASS, or always), its record's identity set; a failed programming makes
// the board's outcome an ERROR with the step and the word. Boards are
// programmed one at a time: they share the station's serials.
void program_after_test(const station::RunOptions &options, station::BoardResult &result);

} // namespace identity
