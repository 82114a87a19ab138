#include "commands.h"

#include "cycle_counts.h"
#include "printable.h"
#include "targets.h"

#include <cstdio>

namespace station {

int reset_cycles(const RunOptions &options, const std::string &slot)
{
    for (const FixtureSlot &unrated : options.fixture.slots)
        if (unrated.name == slot && unrated.rated_cycles <= 0) {
            printf("slot %s: no rated_cycles in %s: its insertions are not counted, there is nothing to reset\n",
                   companions::printable(slot).c_str(), companions::printable(options.fixture.path).c_str());
            return exit_passed;
        }
    CycleCounts cycles;
    std::string why;
    if (!cycles.load(options.fixture.path, false, why) || !cycles.reset(slot, why)) {
        fprintf(stderr, "wiretest-station: %s\n", why.c_str());
        return exit_station;
    }
    printf("slot %s: insertions counted from 0\n", companions::printable(slot).c_str());
    return exit_passed;
}

int list_station(bool json)
{
    std::vector<Channel> channels;
    std::string error;
    if (!list_channels(channels, error)) {
        fprintf(stderr, "wiretest-station: %s\n", error.c_str());
        return exit_station;
    }
    if (json) {
        printf("%s\n", listing_json(channels).c_str());
    } else {
        for (const Channel &c : channels)
            printf("%s\n", listing_line(c).c_str());
        if (channels.empty())
            fprintf(stderr, "wiretest-station: no chip with an MPSSE is plugged in\n");
    }
    return 0;
}

} // namespace station
