// A driver failure at every call of a run. For each call position of a full
// and of a short test, with and without stale bytes in the receive queue, the
// call fails once with several statuses, and once as an unplugged device
// (that call and every later one fail). Each run is checked against a model
// worked out from the documented call order and failure rules:
// - before the pattern steps a failure ends the run with 255 after the status
//   name and the step's own error line, with nothing after them, except the
//   two passed-over reads and the second clearing of the low byte;
// - once the pattern steps began the run goes on to its count and exits 0;
// - the device is closed exactly once after a completed test, never otherwise.
#include "diagnosis.h"
#include "expected_output.h"
#include "fixture.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <set>

namespace {

using console::Stream;
using Sequence = std::vector<std::pair<Stream, std::string>>;

const std::string serial = "WTBOARD1";

// Which calls fail in one run: the call at position at (every driver call
// counted from 1), and with unplugged every later call too.
struct Failure {
    int at = 0; // 0: none
    FT_STATUS status = FT_OK;
    bool unplugged = false;
};

// Stale bytes: one byte lands in the receive queue just before each of these
// queue queries (counted from 1), failed or not.
struct Stale {
    std::set<int> before_queries;
    uint8_t byte = 0x3C;
};

struct Outcome {
    int exit_status = 0;
    Sequence sequence;
    std::vector<std::string> calls;  // as describe() writes them
    std::vector<vclock::Wait> waits; // length, and driver calls made before it
    int errors = -1;                 // the count reported by a completed test
};

// A run of `wiretest -n0 [-short]` worked out from the documented behaviour,
// on one board wired pin for pin: the chip answers 0x83 with the byte last
// driven on the low pins and 0xAB with 0xFA 0xAB, and nothing else. A failed
// call has no effect on the chip; a read delivers what is queued. Its texts
// are spelled out here, apart from the tool's own, on purpose.
class Model {
public:
    Model(Failure failure, Stale stale) : failure_(failure), stale_(std::move(stale)) {}

    Outcome run(bool short_test)
    {
        int result = entry(short_test);
        outcome_.exit_status = result & 0xFF;
        return outcome_;
    }

private:
    // --- the driver and the chip -------------------------------------------

    FT_STATUS next_status()
    {
        position_++;
        bool fails = failure_.at != 0 && (position_ == failure_.at ||
                                          (failure_.unplugged && position_ > failure_.at));
        return fails ? failure_.status : FT_STATUS(FT_OK);
    }

    void record(std::string text, FT_STATUS status)
    {
        if (status != FT_OK)
            text += " -> " + std::to_string(status);
        outcome_.calls.push_back(text);
    }

    FT_STATUS call(const std::string &text)
    {
        FT_STATUS status = next_status();
        record(text, status);
        return status;
    }

    FT_STATUS write(const std::vector<uint8_t> &bytes)
    {
        FT_STATUS status = next_status();
        record("FT_Write[" + hex_bytes(bytes) + "]", status);
        if (status != FT_OK)
            return status;
        if (bytes[0] == 0x80)
            low_pins_ = bytes[1];
        else if (bytes[0] == 0x83)
            queue_.push_back(low_pins_);
        else if (bytes[0] == 0xAB)
            queue_.insert(queue_.end(), {0xFA, 0xAB});
        return status;
    }

    FT_STATUS query(uint32_t &count)
    {
        if (stale_.before_queries.count(++queries_))
            queue_.push_back(stale_.byte);
        FT_STATUS status = next_status();
        if (status == FT_OK)
            count = uint32_t(queue_.size());
        record(status == FT_OK ? "FT_GetQueueStatus()=" + std::to_string(count)
                               : "FT_GetQueueStatus()",
               status);
        return status;
    }

    FT_STATUS read(uint32_t count, std::vector<uint8_t> &delivered)
    {
        FT_STATUS status = next_status();
        std::string text = "FT_Read(" + std::to_string(count) + ")";
        delivered.clear();
        if (status == FT_OK) {
            size_t n = std::min<size_t>(count, queue_.size());
            delivered.assign(queue_.begin(), queue_.begin() + long(n));
            queue_.erase(queue_.begin(), queue_.begin() + long(n));
            text += "=[" + hex_bytes(delivered) + "]";
        }
        record(text, status);
        return status;
    }

    // --- what the user sees and the clock ----------------------------------

    void print(Stream stream, const std::string &text)
    {
        if (text.empty())
            return;
        Sequence &s = outcome_.sequence;
        if (!s.empty() && s.back().first == stream)
            s.back().second += text;
        else
            s.emplace_back(stream, text);
    }
    void out(const std::string &text) { print(Stream::out, text); }
    void err(const std::string &text) { print(Stream::err, text); }
    void name(FT_STATUS status) { err(expected::status_line(status)); }
    void wait(uint32_t ms) { outcome_.waits.push_back({ms, size_t(position_)}); }

    // --- the documented run --------------------------------------------------

    int entry(bool short_test)
    {
        if (call("FT_ListDevices(0x20000001)") != FT_OK) {
            err("ERROR: FT_ListDevices\n"); // the one failure without a name
            return -1;
        }
        out(expected::listing({serial}));
        if (FT_STATUS s = call("FT_OpenEx(\"" + serial + "\", 1)"); s != FT_OK) {
            name(s);
            err("ERROR: FT_OpenEx (" + serial + ")\n");
            return -1;
        }
        out(expected::connected(serial));
        return run_test(short_test);
    }

    int run_test(bool short_test)
    {
        for (const expected::SetupStep &step : expected::setup_steps) {
            if (FT_STATUS s = call(step.call); s != FT_OK) {
                name(s);
                err(step.error_line);
                return -1;
            }
            out(step.success_line);
        }
        wait(1000);
        out(expected::start);
        if (sync() != 0)
            return -1;

        // The preparation: only its first clearing of the low byte, the
        // high-byte command and the queue query after it can end the run.
        if (set_low_byte(0x00) != 0)
            return -1;
        uint32_t queued = 0;
        if (command_then_query({0x82, 0x00, 0x00}, 10, queued) != 0)
            return -1;
        std::vector<uint8_t> delivered;
        if (queued != 0) {
            if (FT_STATUS s = read(queued, delivered); s != FT_OK) {
                name(s);
                err("ERROR: can't read queue\n");
            }
        }
        wait(1);
        set_low_byte(0x00);

        std::vector<uint8_t> patterns = {0xAA, 0x55, 0x00, 0xFF};
        if (!short_test)
            patterns.insert(patterns.begin(), {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x00});
        int errors = 0;
        for (size_t i = 0; i < patterns.size(); i++) {
            set_low_byte(patterns[i]);
            out("\t" + expected::bits(patterns[i]) + "\t");
            int value = read_high_byte();
            out(expected::bits(value) + "\n");
            if (i + 1 < patterns.size())
                wait(1);
            errors += value != patterns[i];
        }
        out("Testing complete, errors: " + std::to_string(errors) + "\n");
        outcome_.errors = errors;
        call("FT_Close()"); // whatever it returns, nothing follows
        return 0;
    }

    // Every failure here ends the synchronisation after the status name.
    int sync()
    {
        uint32_t queued = 0;
        std::vector<uint8_t> delivered;
        FT_STATUS s = write({0x84});
        if (s == FT_OK)
            s = drain(queued, delivered);
        if (s == FT_OK) {
            wait(0);
            s = write({0xAB});
        }
        if (s == FT_OK) {
            wait(0);
            s = query(queued);
        }
        if (s == FT_OK)
            s = read(queued, delivered); // even when nothing is queued
        if (s == FT_OK) {
            wait(2000);
            s = write({0x85});
        }
        if (s == FT_OK)
            s = drain(queued, delivered);
        if (s != FT_OK) {
            name(s);
            return -1;
        }
        wait(0);
        return 0;
    }

    FT_STATUS drain(uint32_t &queued, std::vector<uint8_t> &delivered)
    {
        FT_STATUS s = query(queued);
        if (s == FT_OK && queued != 0)
            s = read(queued, delivered);
        return s;
    }

    // Write a command, wait, and ask what is queued; a failure of either call
    // is named and fails the exchange.
    int command_then_query(const std::vector<uint8_t> &bytes, uint32_t ms, uint32_t &queued)
    {
        FT_STATUS s = write(bytes);
        if (s == FT_OK) {
            wait(ms);
            s = query(queued);
        }
        if (s != FT_OK) {
            name(s);
            return -1;
        }
        return 0;
    }

    int set_low_byte(uint8_t value)
    {
        uint32_t queued = 0;
        if (command_then_query({0x80, value, 0xFF}, 1000, queued) != 0)
            return -1;
        if (queued == 0)
            return 0;
        std::vector<uint8_t> delivered;
        if (FT_STATUS s = read(queued, delivered); s != FT_OK) {
            name(s); // passed over
            return 0;
        }
        for (size_t i = 0; i < delivered.size(); i++) {
            char line[32];
            snprintf(line, sizeof line, "\t\t%zu: 0x%X\n", i, unsigned(delivered[i]));
            err(line);
        }
        return 0;
    }

    int read_high_byte()
    {
        wait(1000);
        uint32_t queued = 0;
        if (command_then_query({0x83}, 1000, queued) != 0)
            return -1;
        if (queued == 0) {
            out("no data ?!\n");
            return -1;
        }
        std::vector<uint8_t> delivered;
        if (FT_STATUS s = read(queued, delivered); s != FT_OK) {
            name(s);
            return -1;
        }
        return delivered.empty() ? -1 : delivered.back();
    }

    Failure failure_;
    Stale stale_;
    Outcome outcome_;
    int position_ = 0;
    int queries_ = 0;
    std::deque<uint8_t> queue_;
    uint8_t low_pins_ = 0;
};

// One kind of run to sweep.
struct Variant {
    const char *name;
    bool short_test;
    bool stale;
};

void PrintTo(const Variant &v, std::ostream *os) { *os << v.name; }

// Stale bytes before every drain, so that each drain's read exists to fail:
// the two of the synchronisation, the three of the preparation and the one
// of each pattern's set_low_byte (queries 7, 9, ... in an undisturbed run).
Stale stale_for(const Variant &v)
{
    Stale stale;
    if (v.stale) {
        stale.before_queries = {1, 3, 4, 5, 6};
        for (int q = 7; q < 7 + 2 * 13; q += 2)
            stale.before_queries.insert(q);
    }
    return stale;
}

const FT_STATUS single_statuses[] = {FT_IO_ERROR, FT_DEVICE_NOT_FOUND, FT_OTHER_ERROR, 19,
                                     0xFFFFFFFFu};
const FT_STATUS unplug_statuses[] = {FT_DEVICE_NOT_FOUND, 19};

class CallFaults : public SimTest, public ::testing::WithParamInterface<Variant> {
protected:
    using Strings = std::vector<std::string>;

    struct Actual {
        console::Run run;
        std::vector<std::string> calls;
        std::vector<vclock::Wait> waits;
    };

    Actual run_with(const Variant &v, const Failure &failure)
    {
        SetUp();
        sim::attach(serial);
        for (int q : stale_for(v).before_queries)
            sim::inject(sim::stale_before(sim::Op::GetQueueStatus, q, {stale_for(v).byte}));
        if (failure.at != 0) {
            sim::inject(failure.unplugged ? sim::unplug(failure.at, failure.status)
                                          : sim::fail(sim::Op::Any, failure.at, failure.status));
        }
        Strings args = {"-n0"};
        if (v.short_test)
            args.push_back("-short");
        Actual a;
        a.run = console::run(args);
        a.calls = describe_calls();
        a.waits = vclock::waits();
        return a;
    }
};

struct Report {
    int count = -1;      // from "Testing complete, errors: N"
    int rows = 0;
    int differing = 0;   // rows whose halves differ; "no data ?!" reads eight ones
};

// The report as wiretest-diagnose reads it.
Report read_report(const std::string &out)
{
    diagnose::Report read = diagnose::read_report(out);
    Report r;
    r.count = read.errors.value_or(-1);
    r.rows = int(read.rows.size());
    for (const diagnose::Row &row : read.rows)
        r.differing += row.driven != row.read;
    return r;
}

// Where the calls of the undisturbed run stand under the failure rules:
// before the first pattern a failure ends the run, except for the read in the
// drain of the first clearing of the low byte, the read of the preparation's
// drain and every call of the second clearing.
struct Phases {
    size_t first_pattern = 0; // index of the first pattern's drive
    std::set<size_t> passed_over;
};

Phases phases_of(const std::vector<std::string> &calls)
{
    auto find_from = [&](size_t from, const std::string &start) {
        size_t i = from;
        while (i < calls.size() && calls[i].rfind(start, 0) != 0)
            i++;
        return i;
    };
    Phases p;
    size_t high = find_from(0, "FT_Write[82 00 00]");
    if (calls.at(high - 1).rfind("FT_Read", 0) == 0)
        p.passed_over.insert(high - 1);
    if (calls.at(high + 2).rfind("FT_Read", 0) == 0)
        p.passed_over.insert(high + 2);
    size_t second_clearing = find_from(high, "FT_Write[80 00 FF]");
    p.first_pattern = find_from(second_clearing + 1, "FT_Write[80 ");
    for (size_t i = second_clearing; i < p.first_pattern; i++)
        p.passed_over.insert(i);
    return p;
}

// The exit status the rules give when the call at index fails, and with
// unplugged every later call too.
int exit_status_by_rule(const Phases &p, size_t index, bool unplugged)
{
    for (size_t i = index; i < p.first_pattern; i++) {
        if (!p.passed_over.count(i))
            return 255;
        if (!unplugged)
            break;
    }
    return 0;
}

bool same_waits(const std::vector<vclock::Wait> &a, const std::vector<vclock::Wait> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].ms != b[i].ms || a[i].after_calls != b[i].after_calls)
            return false;
    return true;
}

TEST_P(CallFaults, EveryCallFailingGivesWhatTheFailureRulesSay)
{
    const Variant v = GetParam();
    const Outcome undisturbed = Model({}, stale_for(v)).run(v.short_test);
    {
        // The model and the tool agree on the run nothing disturbs.
        Actual a = run_with(v, {});
        ASSERT_EQ(a.calls, undisturbed.calls);
        ASSERT_EQ(a.run.sequence, undisturbed.sequence);
        ASSERT_EQ(a.run.exit_status, 0);
    }
    const int positions = int(undisturbed.calls.size());
    const Phases phases = phases_of(undisturbed.calls);
    int runs = 0, ended = 0;
    for (int at = 1; at <= positions; at++) {
        std::vector<Failure> failures;
        for (FT_STATUS s : single_statuses)
            failures.push_back({at, s, false});
        for (FT_STATUS s : unplug_statuses)
            failures.push_back({at, s, true});
        for (const Failure &f : failures) {
            SCOPED_TRACE(std::string(v.name) + ": call " + std::to_string(at) + " (" +
                         undisturbed.calls[size_t(at - 1)] + ") fails with " +
                         std::to_string(f.status) + (f.unplugged ? ", unplugged" : ", once"));
            Outcome expected = Model(f, stale_for(v)).run(v.short_test);
            Actual a = run_with(v, f);
            runs++;

            EXPECT_EQ(a.run.exit_status, expected.exit_status);
            EXPECT_EQ(a.run.exit_status, exit_status_by_rule(phases, size_t(at - 1), f.unplugged));
            ended += a.run.exit_status != 0;
            EXPECT_EQ(a.run.sequence, expected.sequence);
            EXPECT_EQ(a.calls, expected.calls);
            EXPECT_TRUE(same_waits(a.waits, expected.waits));

            // Rules that hold whatever the model says.
            size_t closes = size_t(std::count_if(a.calls.begin(), a.calls.end(), [](auto &c) {
                return c.rfind("FT_Close", 0) == 0;
            }));
            if (a.run.exit_status == 0) {
                EXPECT_EQ(closes, 1u);
                EXPECT_EQ(a.calls.back().rfind("FT_Close", 0), 0u);
                // Every row whose halves differ counts; so may a row of
                // 0xFF whose read failed, as it shows eight ones too.
                Report report = read_report(a.run.out);
                EXPECT_EQ(report.count, expected.errors);
                EXPECT_EQ(report.rows, v.short_test ? 4 : 13);
                EXPECT_GE(report.count, report.differing);
                EXPECT_LE(report.count, report.differing + 1);
            } else {
                EXPECT_EQ(a.run.exit_status, 255);
                EXPECT_EQ(closes, 0u);
                // A run ended by a failure makes no call after the failing one.
                ASSERT_FALSE(a.calls.empty());
                EXPECT_NE(a.calls.back().find(" -> "), std::string::npos);
                if (!f.unplugged) {
                    EXPECT_EQ(a.calls.size(), size_t(at));
                }
            }
            if (HasFailure())
                return; // one case at a time is enough to read
        }
    }
    const int failure_kinds = int(std::size(single_statuses) + std::size(unplug_statuses));
    printf("%s: %d call positions x %d failures (statuses 4, 2, 18, 19 and 0xFFFFFFFF once; "
           "unplugged with 2 and 19) = %d runs, %d ended with 255, %d completed\n",
           v.name, positions, failure_kinds, runs, ended, runs - ended);
    RecordProperty("call_positions", positions);
    RecordProperty("failures_per_position", failure_kinds);
    RecordProperty("runs", runs);
    EXPECT_EQ(runs, positions * failure_kinds);
    // Both kinds of outcome occur: passed-over calls exist before the patterns.
    EXPECT_EQ(phases.passed_over.size(), v.stale ? 5u : 2u);
    EXPECT_GT(ended, 0);
    EXPECT_LT(ended, runs);
}

INSTANTIATE_TEST_SUITE_P(Runs, CallFaults, ::testing::Values(
    Variant{"full", false, false}, Variant{"short", true, false},
    Variant{"full_stale", false, true}, Variant{"short_stale", true, true}),
    [](const auto &info) { return std::string(info.param.name); });

// --- the model against the documented examples ----------------------------
// The sweep is only as good as its model: here the model is held to cases
// spelled out literally from the documented behaviour.

TEST(CallFaultModel, AFailedSetCharsLeavesTwoSuccessLinesThenTheNameAndErrorLine)
{
    Outcome o = Model({5, FT_IO_ERROR, false}, {}).run(false);
    EXPECT_EQ(o.exit_status, 255);
    EXPECT_EQ(o.sequence, (Sequence{
        {Stream::out, expected::listing({serial}) + expected::connected(serial) +
                      "SUCCESS (reset)\nSUCCESS (usb parameters set)\n"},
        {Stream::err, "FT_IO_ERROR\nERROR: can not disable event chars\n"}}));
    EXPECT_EQ(o.calls.size(), 5u);
    EXPECT_TRUE(o.waits.empty());
}

TEST(CallFaultModel, AFailedListingPrintsItsLineWithoutAName)
{
    Outcome o = Model({1, FT_IO_ERROR, false}, {}).run(true);
    EXPECT_EQ(o.exit_status, 255);
    EXPECT_EQ(o.sequence, (Sequence{{Stream::err, "ERROR: FT_ListDevices\n"}}));
}

TEST(CallFaultModel, AnUnplugAtThePreparationDrainStillCompletesWithEveryPatternFailed)
{
    // Calls of a short run with stale bytes: 19 before the preparation; its
    // first set_low_byte drains (write, query, read: 20-22), then the 0x82
    // write (23), its query (24) and the read that is passed over (25).
    Stale stale;
    stale.before_queries = {1, 3, 4, 5, 6};
    Outcome o = Model({25, FT_DEVICE_NOT_FOUND, true}, stale).run(true);
    ASSERT_GE(o.calls.size(), 25u);
    EXPECT_EQ(o.calls[24], "FT_Read(1) -> 2");
    EXPECT_EQ(o.exit_status, 0);
    std::string out, err;
    for (const auto &[stream, text] : o.sequence)
        (stream == Stream::out ? out : err) += text;
    std::string names_after;
    for (int i = 0; i < 1 + 4 * 2; i++) // the second clearing, then each drive and read command
        names_after += "FT_DEVICE_NOT_FOUND\n";
    EXPECT_EQ(err, "\t\t0: 0x3C\n"                                  // the first clearing
                   "FT_DEVICE_NOT_FOUND\nERROR: can't read queue\n" + // passed over
                       names_after);
    EXPECT_NE(out.find("\t10101010\t11111111\n\t01010101\t11111111\n\t00000000\t11111111\n"
                       "\t11111111\t11111111\nTesting complete, errors: 4\n"),
              std::string::npos);
    EXPECT_EQ(o.calls.back(), "FT_Close() -> 2"); // unplugged too, and not looked at
}

TEST(CallFaultModel, AFailedReadBackInThePatternsCountsAndTheRunGoesOn)
{
    // Short run, no stale bytes: 17 calls, then the preparation's 6 (18-23);
    // pattern 0xAA is write, query, write 0x83, query, read (24-28).
    Outcome o = Model({28, FT_IO_ERROR, false}, {}).run(true);
    EXPECT_EQ(o.exit_status, 0);
    ASSERT_GE(o.sequence.size(), 4u);
    EXPECT_EQ(o.sequence[1], std::make_pair(Stream::err, std::string("FT_IO_ERROR\n")));
    EXPECT_EQ(o.sequence[2].second.substr(0, 9), "11111111\n");
    // The unread answer to 0x83 is listed when 0x55 is driven.
    EXPECT_EQ(o.sequence[3], std::make_pair(Stream::err, std::string("\t\t0: 0xAA\n")));
    EXPECT_NE(o.sequence.back().second.find("Testing complete, errors: 1\n"), std::string::npos);
}

} // namespace

// --- the record of calls itself ---------------------------------------------

TEST(CallRecord, BoundedItKeepsTheLatestCallsAndFaultsStillCountEveryCall)
{
    sim::reset();
    sim::keep_recent_calls(8);
    sim::inject(sim::fail(sim::Op::GetQueueStatus, 50, FT_IO_ERROR)); // counted per operation
    sim::inject(sim::fail(sim::Op::Any, 70, FT_OTHER_ERROR));         // counted across all
    sim::inject(sim::fail(sim::Op::Any, 99, FT_IO_ERROR));
    std::vector<FT_STATUS> statuses;
    size_t longest = 0;
    for (int i = 0; i < 100; i++) {
        uint32_t queued = 0;
        statuses.push_back(FT_GetQueueStatus(nullptr, &queued)); // no device: FT_INVALID_HANDLE
        longest = std::max(longest, sim::calls().size());
    }
    for (size_t i = 0; i < statuses.size(); i++)
        EXPECT_EQ(statuses[i], i == 49 || i == 98 ? FT_IO_ERROR : i == 69 ? FT_OTHER_ERROR : FT_INVALID_HANDLE) << i;
    EXPECT_LE(longest, 16u);
    // The latest calls, the 99th among them, one before the last.
    ASSERT_GE(sim::calls().size(), 8u);
    EXPECT_EQ(sim::calls().back().result, FT_INVALID_HANDLE);
    EXPECT_EQ(sim::calls()[sim::calls().size() - 2].result, FT_IO_ERROR);

    sim::keep_recent_calls(0); // as every other test has it: the whole record
    sim::reset();
    for (int i = 0; i < 100; i++) {
        uint32_t queued = 0;
        FT_GetQueueStatus(nullptr, &queued);
    }
    EXPECT_EQ(sim::calls().size(), 100u);
}
