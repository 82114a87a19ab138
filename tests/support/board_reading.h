// A board's test run in this process, read back as the station reads its
// board processes' reports: both streams, in the order they were written.
#pragma once

#include "board_report.h"
#include "board_result.h"
#include "console.h"

station::BoardReport read_report(const console::Run &run);

// The board's result, as from a process that ended with exit_status.
station::BoardResult conclude(const console::Run &run, bool soak, int exit_status = 0);
