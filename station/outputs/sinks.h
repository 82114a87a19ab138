// The sinks, made as the command line's options ask: apart from the
// interface in outputs.h, which knows the model alone.
#pragma once

#include "outputs.h"
#include "run_options.h"
#include "screen.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace station {

// How an output tells of a fault of the station's own (a record the line's
// database refused): on the screen, to every output, in the exit status.
using StationFault = std::function<void(const std::string &why)>;

// The outputs options ask for, in the order each result reaches them:
// what keeps it first, what shows it last.
std::vector<std::unique_ptr<Output>> choose_outputs(const RunOptions &options, Screen &screen,
                                                    const StationFault &fault);

std::unique_ptr<Output> record_files_output(const RunOptions &options);
std::unique_ptr<Output> database_output(const RunOptions &options, Screen &screen, const StationFault &fault);
std::unique_ptr<Output> junit_output(const RunOptions &options);
std::unique_ptr<Output> page_output(const RunOptions &options, Screen &screen);
std::unique_ptr<Output> metrics_output(const RunOptions &options, Screen &screen);
std::unique_ptr<Output> line_output(Screen &screen);
std::unique_ptr<Output> json_line_output(Screen &screen);

// --forward: sends what waits in the outbox to the --db server; returns
// the exit status.
int forward_outbox(const RunOptions &options);

} // namespace station
