// The diagnosis as the program prints it: in words for a person, as one JSON
// document for a test station, and the one line on standard error of a
// report that cannot be judged. Pure functions returning text.
#pragma once

#include "diagnosis.h"

#include <string>

namespace diagnose {

// One line per pin that is not ok, a note on what a short test cannot see,
// and the verdict line last.
std::string words(const Diagnosis &diagnosis);

// One JSON document, without a line end.
std::string json(const Diagnosis &diagnosis);

// Why the report cannot be judged, in one line; empty for a pass or a fail.
std::string problem_line(const Diagnosis &diagnosis);

extern const char usage_text[];

} // namespace diagnose
