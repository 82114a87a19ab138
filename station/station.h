// wiretest-station's model, whole: which channels to test, what a board's
// report comes to, its record, and the files it is kept in.
#pragma once

#include "board_report.h"
#include "board_result.h"
#include "files.h"
#include "junit.h"
#include "outputs.h"
#include "printable.h"
#include "record.h"
#include "targets.h"

namespace station {

using companions::printable;

} // namespace station
