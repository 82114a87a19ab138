// The waits of a run of wiretest, from the virtual clock's record: the
// engine on wiretest-sim's demo boards, each wait recorded instead of slept.
// bench/bench.py takes its floors from it, so that the schedule is written
// once, in the engine.
//
//   bench_wait_schedule WIRETEST_ARGUMENTS...
//
// prints "status=S waits=N total_ms=T" on standard output (the run's own
// report goes to /dev/null).
#include "test_driver/entry.h"
#include "virtual_clock.h"

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    int out = dup(1);
    if (out < 0 || !std::freopen("/dev/null", "w", stdout))
        return 2;
    vclock::reset();
    int status = wiretest_main(argc, argv);
    std::fflush(stdout);
    FILE *results = fdopen(out, "w");
    if (!results)
        return 2;
    std::fprintf(results, "status=%d waits=%zu total_ms=%llu\n", status, vclock::waits().size(),
                 static_cast<unsigned long long>(vclock::total_ms()));
    return std::fclose(results) == 0 ? 0 : 2;
}
