#include "fast_test.h"

#include "interrupts.h"

#include "board_test.h"
#include "device_link/device_state.h"
#include "device_link/status_report.h"
#include "mpsse/channel_setup.h"
#include "mpsse/exchanges.h"
#include "mpsse/mpsse_commands.h"
#include "mpsse/settle_delay.h"
#include "platform/platform_sleep.h"
#include "test_driver/report_format.h"
#include "test_driver/wiring_patterns.h"
#include "test_driver/wiring_run.h"

#include "diagnosis.h"

#include <algorithm>
#include <atomic>
#include <numeric>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace station {

void (*fast_phase_observer)(std::chrono::steady_clock::duration span) = nullptr;

namespace {

// How long the answers of one run may take: the chip sends them within a
// USB round trip of the send-immediate, far below this.
const auto answer_deadline = std::chrono::milliseconds(200);

bool write_all(const std::vector<unsigned char> &bytes)
{
    uint32_t written = 0;
    last_status = FT_Write(device_handle, const_cast<unsigned char *>(bytes.data()), uint32_t(bytes.size()),
                           &written);
    if (last_status != FT_OK) {
        report_status();
        return false;
    }
    return true;
}

// Appends the command that put, one of the engine's command writers, writes.
template <typename Put> void append(std::vector<unsigned char> &to, Put put)
{
    unsigned char command[16];
    uint32_t length = put(command);
    to.insert(to.end(), command, command + length);
}

// The stream of one run: the engine's preparation, then each pattern's set
// and read. Without a settle time it is one write; with one, each pattern's
// read goes in a write of its own after a host wait, which never moves a
// pin and is never shorter than asked.
std::vector<std::vector<unsigned char>> run_writes(int first_step, uint32_t settle_us)
{
    std::vector<std::vector<unsigned char>> writes(1);
    append(writes[0], put_preparation);
    for (int i = first_step; i < FULL_TEST_STEPS; i++) {
        append(writes.back(), [i](unsigned char *at) { return put_set_low_byte(at, wiring_patterns[i]); });
        if (settle_us > 0)
            writes.emplace_back();
        append(writes.back(), put_read_high_byte);
    }
    writes.back().push_back(MPSSE_SEND_IMMEDIATE);
    return writes;
}

// The stream of one run of a planned set: each step's low byte with its
// direction, the receivers' read and the low byte's read. A step with inputs
// is read in a write of its own after a host wait for the pull-ups, and read
// again after another: reads that differ show inputs that had not settled.
std::vector<std::vector<unsigned char>> planned_writes(const std::vector<diagnose::Step> &steps, uint32_t settle_us)
{
    std::vector<std::vector<unsigned char>> writes(1);
    append(writes[0], put_preparation);
    for (const diagnose::Step &step : steps) {
        writes.back().insert(writes.back().end(), {MPSSE_SET_BITS_LOW, step.value, step.direction});
        bool inputs = step.direction != GPIO_ALL_OUTPUTS;
        for (int read = 0; read < (inputs ? 2 : 1); read++) {
            if (settle_us > 0 || inputs)
                writes.emplace_back();
            append(writes.back(), put_read_high_byte);
            writes.back().push_back(MPSSE_GET_BITS_LOW);
        }
    }
    writes.back().push_back(MPSSE_SEND_IMMEDIATE);
    return writes;
}

// Reads until complete(what has come) holds, or the deadline passes;
// returns every byte read, what came with the answers included. The chip
// sent all it held at the send-immediate, so nothing more is polled for: a
// poll would leave a read waiting at the chip, which the close then waits
// out.
template <typename Complete> std::vector<unsigned char> read_answers(Complete complete)
{
    std::vector<unsigned char> got;
    auto deadline = std::chrono::steady_clock::now() + answer_deadline;
    for (;;) {
        if (query_queue() != 0)
            break;
        if (queue_count > 0) {
            if (read_queue(queue_count) != FT_OK) {
                report_status();
                break;
            }
            got.insert(got.end(), receive_buffer, receive_buffer + bytes_read);
            if (bytes_read < queue_count && std::chrono::steady_clock::now() < deadline)
                continue; // more was queued than one read takes
        }
        if (complete(got) || std::chrono::steady_clock::now() >= deadline)
            break;
        if (queue_count == 0) // the chip's answer is a USB round trip away
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return got;
}

// The synchronisation in one write, which the chip answers at once. What
// came before the answer was left by another program, and is dropped as the
// normal synchronisation drops it. An answer that does not come is no
// failure, as in the normal run: it comes late, ahead of the stream's
// answers, which the run takes as the last bytes.
bool sync_at_once()
{
    std::vector<unsigned char> sync;
    append(sync, put_sync_at_once);
    if (!write_all(sync))
        return false;
    read_answers([](const std::vector<unsigned char> &got) {
        return got.size() >= SYNC_ANSWER_SIZE && got[got.size() - 2] == MPSSE_BAD_COMMAND_ANSWER &&
               got.back() == MPSSE_BAD_COMMAND;
    });
    return last_status == FT_OK;
}

// One run: its rows and count line as the normal run prints them. false
// when a device call failed (the device has likely gone).
bool run_once(const FastOptions &options)
{
    bool planned = options.patterns != diagnose::PatternSet::standard;
    std::vector<diagnose::Step> steps = diagnose::pattern_steps(options.patterns);
    int first_step = first_test_step(options.short_test);
    size_t wanted = size_t(FULL_TEST_STEPS - first_step);
    if (planned) // two answers a read; steps with inputs read twice
        wanted = std::accumulate(steps.begin(), steps.end(), size_t(0), [](size_t n, const diagnose::Step &step) {
            return n + (step.direction == GPIO_ALL_OUTPUTS ? 2 : 4);
        });
    uint32_t settle_us = options.settle_us;
    if (options.patterns == diagnose::PatternSet::deep)
        settle_us = std::max(settle_us, diagnose::deep_settle_us);
    std::vector<std::vector<unsigned char>> writes =
        planned ? planned_writes(steps, options.settle_us) : run_writes(first_step, options.settle_us);
    bool device_ok = true;
    auto began = std::chrono::steady_clock::now();
    for (size_t w = 0; w < writes.size() && device_ok; w++) {
        if (w > 0) // the settle time, rounded up to the platform sleep's milliseconds
            platform_sleep_ms((settle_us + 999) / 1000);
        device_ok = write_all(writes[w]);
    }
    std::vector<unsigned char> bytes;
    if (device_ok)
        bytes = read_answers([wanted](const std::vector<unsigned char> &got) { return got.size() >= wanted; });
    if (fast_phase_observer)
        fast_phase_observer(std::chrono::steady_clock::now() - began);
    device_ok = device_ok && last_status == FT_OK;

    // Bytes queued before the answers (a late answer of the synchronisation,
    // bytes left by another program) come first; the answers are the last
    // ones, as the normal run takes the last byte queued as its answer.
    size_t stale = bytes.size() > wanted ? bytes.size() - wanted : 0;
    for (size_t i = 0; i < stale; i++)
        print_stray_byte(int(i), bytes[i]);
    int errors = 0;
    if (planned) {
        // Two answers a step: with any missing, which are missing is not
        // known, and no row counts as answered.
        bool complete = bytes.size() >= wanted, settled = true;
        for (size_t row = 0, at = stale; row < steps.size(); row++) {
            int read = complete ? bytes[at] : 0xFF, low = complete ? bytes[at + 1] : 0xFF;
            at += 2;
            if (steps[row].direction != GPIO_ALL_OUTPUTS) { // the second read, a settle wait later
                settled = settled && (!complete || (bytes[at] == read && bytes[at + 1] == low));
                at += 2;
            }
            uint8_t good = uint8_t(steps[row].value | ~steps[row].direction); // inputs read their pull-ups
            printf("%s\n", diagnose::planned_row_text(steps[row], complete ? read : -1, low).c_str());
            errors += read != good || low != good;
        }
        if (!settled)
            printf("%s\n", std::string(diagnose::unsettled_line).c_str());
        print_count(errors);
        fflush(stdout);
        return device_ok;
    }
    for (size_t row = 0; row < wanted; row++) {
        int pattern = wiring_patterns[size_t(first_step) + row];
        print_row_driven(pattern);
        int value = -1;
        if (stale + row < bytes.size())
            value = bytes[stale + row];
        else
            print_no_data();
        errors += print_row_read(pattern, value);
    }
    print_count(errors);
    fflush(stdout);
    return device_ok;
}

} // namespace

int test_board_fast(const char *location, char channel, const FastOptions &options)
{
    settle_waits_off = 1;
    if (open_board(location, channel, false) != 0)
        return -1;
    if (setup_channel() != 0)
        return -1;
    print_start();
    if (!sync_at_once())
        return -1;
    if (options.patterns != diagnose::PatternSet::standard)
        printf("%s%s\n", std::string(diagnose::planned_set_prefix).c_str(), diagnose::pattern_set_name(options.patterns));

    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(options.duration_s);
    for (long run = 0; options.repeat == 0 || run < options.repeat; run++) {
        if (run > 0 && (soak_should_stop() || (options.repeat == 0 && std::chrono::steady_clock::now() >= until)))
            break;
        if (!run_once(options))
            break;
    }
    FT_Close(device_handle);
    return 0;
}

} // namespace station
