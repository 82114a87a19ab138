#include "sinks.h"

namespace station {

std::vector<std::unique_ptr<Output>> choose_outputs(const RunOptions &options, Screen &screen,
                                                    const StationFault &fault)
{
    std::vector<std::unique_ptr<Output>> outputs;
    if (!options.records_dir.empty())
        outputs.push_back(record_files_output(options));
    if (!options.db_url.empty())
        outputs.push_back(database_output(options, screen, fault));
    if (!options.junit_file.empty())
        outputs.push_back(junit_output(options));
    // Before the page: a board's result is counted by the time the page shows it.
    if (options.serve || options.metrics)
        outputs.push_back(metrics_output(options, screen));
    if (options.serve)
        outputs.push_back(page_output(options, screen));
    outputs.push_back(options.json ? json_line_output(screen) : line_output(screen));
    return outputs;
}

} // namespace station
