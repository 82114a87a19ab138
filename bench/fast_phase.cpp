// The test phase of wiretest-station --fast, in-process: the board at 1-1 is
// opened, set up and synchronised as the station does, then tested RUNS
// times with the pattern set SET (standard by default: bench_fast_phase RUNS [SET]); each run's span from just before the stream's write to the end of
// the reading of its answers is printed in ns, one a line, on standard
// output (the report goes to /dev/null). Built twice: on the simulated
// driver with the station's demo chips, and on the libftdi1 layer, run with
// the virtual USB bus first on the library path.
#include "fast_test.h"

#ifdef BENCH_SIM
#include "demo_chips.h"
#endif

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <unistd.h>
#include <vector>

namespace {
std::vector<long long> spans;
}

int main(int argc, char **argv)
{
    long runs = argc > 1 ? std::atol(argv[1]) : 1000;
#ifdef BENCH_SIM
    station::attach_demo_chips();
#endif
    spans.reserve(size_t(runs));
    station::fast_phase_observer = [](std::chrono::steady_clock::duration span) {
        spans.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(span).count());
    };
    int out = dup(1);
    if (out < 0 || !std::freopen("/dev/null", "w", stdout))
        return 2;
    station::FastOptions options;
    options.repeat = runs;
    std::optional<diagnose::PatternSet> set = diagnose::pattern_set_named(argc > 2 ? argv[2] : "standard");
    if (!set)
        return 2;
    options.patterns = *set;
    int status = station::test_board_fast("1-1", 'A', options);
    FILE *results = fdopen(out, "w");
    if (!results)
        return 2;
    for (long long ns : spans)
        std::fprintf(results, "%lld\n", ns);
    std::fclose(results);
    return status == 0 && long(spans.size()) == runs ? 0 : 1;
}
