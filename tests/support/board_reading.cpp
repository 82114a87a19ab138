#include "board_reading.h"

#include <sstream>

station::BoardReport read_report(const console::Run &run)
{
    station::BoardReport report;
    std::string all;
    for (const auto &piece : run.sequence)
        all += piece.second;
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);)
        report.add_line(line);
    return report;
}

station::BoardResult conclude(const console::Run &run, bool soak, int exit_status)
{
    station::BoardResult result;
    read_report(run).conclude(result, exit_status, soak);
    return result;
}
