// The diagnosis as the program prints it: in words for a person, as one JSON
// document for a test station, and the one line on standard error of a
// report that cannot be judged. Pure functions returning text.
#pragma once

#include "diagnosis.h"
#include "fault_model.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace diagnose {

// One line per pin that is not ok, a note on what a short test cannot see,
// and the verdict line last.
std::string words(const Diagnosis &diagnosis);

// One JSON document, without a line end.
std::string json(const Diagnosis &diagnosis);

// The document's rows and pins, for a record that holds them.
nlohmann::ordered_json rows_json(const Diagnosis &diagnosis);
nlohmann::ordered_json pins_json(const Diagnosis &diagnosis);
// The faults named and how sure: {"confidence": "one of 2", "candidates": [[...], [...]]}.
nlohmann::ordered_json faults_json(const Diagnosis &diagnosis);

// Why the report cannot be judged, in one line; empty for a pass or a fail.
std::string problem_line(const Diagnosis &diagnosis);

// Text the program read, as a JSON string may hold it: well-formed UTF-8,
// each ill-formed sequence (a stray byte, an overlong form, a surrogate, a
// cut-off sequence) replaced by one U+FFFD.
std::string valid_utf8(std::string_view text);

// A pattern set's dictionary as a table, one row per group of faults: in
// words, and as one JSON document without a line end.
std::string coverage_words(const Coverage &coverage, const std::string &set_name);
std::string coverage_json(const Coverage &coverage, const std::string &set_name);

extern const char usage_text[];

} // namespace diagnose
