// The station's parts that its in-process tests reach in one include: the
// model (the channels to test, what a board's report comes to, its record),
// the files records are kept in, and the outputs with their sinks.
#pragma once

#include "board_report.h"
#include "board_result.h"
#include "files.h"
#include "junit.h"
#include "outputs.h"
#include "sinks.h"
#include "printable.h"
#include "record.h"
#include "targets.h"

namespace station {

using companions::printable;

} // namespace station
