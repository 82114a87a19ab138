// Fuzz target: the entry function on the simulated driver. The input chooses
// the boards attached (serial numbers of any length, wiring faults, answers
// that never come), faults of any driver call (statuses, counts reported
// instead of the true ones, stale bytes), the arguments and standard input.
// Each run must end within its bounds and keep the tool's promises.
#include "fuzz_input.h"

#include "console.h"
#include "diagnosis.h"
#include "expected_output.h"
#include "sim_control.h"
#include "virtual_clock.h"

#include <algorithm>

namespace {

void attach_boards(FuzzInput &in)
{
    int boards = in.byte() % 13; // more than the ten the listing holds
    for (int i = 0; i < boards; i++) {
        std::string serial = in.text(72); // longer than the 64-byte buffers
        chip::Wiring wiring;
        wiring.open = in.byte();
        wiring.idle_level = in.byte();
        wiring.stuck_low = in.byte();
        sim::attach(serial, wiring);
        uint8_t answers = in.byte();
        sim::channel(i).faults.drop_every_high_read = answers & 1;
        if (answers & 2)
            sim::channel(i).faults.dropped_high_reads.insert(answers >> 2);
    }
}

void inject_faults(FuzzInput &in)
{
    int faults = in.byte() % 6;
    for (int i = 0; i < faults; i++) {
        sim::Fault f;
        f.op = sim::Op(in.byte() % (int(sim::Op::Any) + 1));
        f.nth = in.byte() % 120 + 1;
        uint8_t flags = in.byte();
        f.and_later = flags & 1;
        f.status = in.status();
        if (flags & 2)
            f.count = in.count();
        size_t stale = (flags >> 2) % 4;
        for (size_t b = 0; b < stale; b++)
            f.stale.push_back(in.byte());
        sim::inject(f);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    sim::reset();
    vclock::reset();
    attach_boards(in);
    inject_faults(in);
    std::vector<std::string> args(in.byte() % 7);
    for (std::string &a : args)
        a = in.text(12);
    std::string input = in.rest();

    console::Run r = console::run(args, input);

    const std::vector<sim::Call> &calls = sim::calls();
    size_t closes = size_t(std::count_if(calls.begin(), calls.end(),
                                         [](const sim::Call &c) { return c.op == sim::Op::Close; }));
    require(r.returned == 0 || r.returned == -1 || r.returned == -2, "exit status not 0, -1 or -2");
    require(calls.size() <= max_calls_per_run, "too many driver calls");
    require(vclock::waits().size() <= max_waits_per_run, "too many waits");
    // A read that delivered less than it asked for found the queue ended;
    // another read would only wait out its timeout.
    for (size_t i = 1; i < calls.size(); i++) {
        const sim::Call &before = calls[i - 1];
        require(!(calls[i].op == sim::Op::Read && before.op == sim::Op::Read &&
                  before.result == FT_OK && before.count < before.args[0]),
                "FT_Read again after a read that found the queue ended");
    }
    if (r.returned == -2) {
        require(calls.empty(), "a usage error touched the driver");
        require(r.out == expected::usage && r.err.empty(), "a usage error printed other than the usage");
    }
    if (r.returned == 0) {
        require(closes == 1 && calls.back().op == sim::Op::Close,
                "a completed test did not end with one FT_Close");
        diagnose::Report report = diagnose::read_report(r.out);
        require(report.errors.has_value(), "a completed test printed no count");
        require(report.started, "a completed test without its start line");
        bool short_test = std::any_of(args.begin(), args.end(),
                                      [](const std::string &a) { return a.size() > 1 && a[1] == 's'; });
        size_t rows = report.rows.size();
        require(report.reports == 1 && !report.broken_row, "not one report");
        require(rows == (short_test ? 4u : 13u), "not one row per pattern");
        require(*report.errors >= 0 && size_t(*report.errors) <= rows, "a count beyond the patterns");
    } else {
        require(closes == 0, "FT_Close on a failure path");
    }
    return 0;
}
