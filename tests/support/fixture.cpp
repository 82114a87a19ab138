#include "fixture.h"

#include "device_link/device_state.h"
#include "mpsse/channel_setup.h"
#include "mpsse/exchanges.h"
#include "mpsse/settle_delay.h"

#include <cstdio>

void SimTest::SetUp()
{
    sim::reset();
    vclock::reset();
    reset_device_state();
    short_delay = 0;
    settle_waits_off = 0;
    settle_delay = {0, 0};
}

void SimTest::open_board(const chip::Wiring &wiring)
{
    sim::attach("BOARD1A", wiring);
    char serial[] = "BOARD1A";
    ASSERT_EQ(FT_OpenEx(serial, FT_OPEN_BY_SERIAL_NUMBER, &device_handle), FT_OK);
    sim::forget_calls();
}

void SimTest::open_synced_board(const chip::Wiring &wiring)
{
    open_board(wiring);
    console::Run r = console::capture([] {
        ASSERT_EQ(setup_channel(), 0);
        ASSERT_EQ(sync_mpsse(), 0);
    });
    ASSERT_EQ(r.err, "");
    sim::forget_calls();
    vclock::reset();
}

std::string hex_bytes(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
        snprintf(byte, sizeof byte, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(byte);
    }
    return text;
}

std::string describe(const sim::Call &call)
{
    std::string text = sim::op_name(call.op);
    if (call.op == sim::Op::Write) {
        text += "[" + hex_bytes(call.data) + "]";
    } else {
        std::string args;
        for (uint64_t a : call.args)
            args += (args.empty() ? "" : ", ") + std::to_string(a);
        if (call.op == sim::Op::ListDevices) {
            char flags[16];
            snprintf(flags, sizeof flags, "0x%08llX", (unsigned long long)call.args[0]);
            args = flags;
        }
        if (call.op == sim::Op::OpenEx)
            args = "\"" + call.text + "\", " + args;
        text += "(" + args + ")";
        if (call.op == sim::Op::Read && call.result == FT_OK)
            text += "=[" + hex_bytes(call.data) + "]";
        if (call.op == sim::Op::GetQueueStatus && call.result == FT_OK)
            text += "=" + std::to_string(call.count);
    }
    if (call.result != FT_OK)
        text += " -> " + std::to_string(call.result);
    return text;
}

std::vector<std::string> describe_calls(size_t from, size_t to)
{
    std::vector<std::string> texts;
    const std::vector<sim::Call> &calls = sim::calls();
    for (size_t i = from; i < to && i < calls.size(); i++)
        texts.push_back(describe(calls[i]));
    return texts;
}

std::vector<std::string> describe_calls() { return describe_calls(0, sim::calls().size()); }

std::string first_lines(const std::string &text, int lines)
{
    size_t end = 0;
    for (int i = 0; i < lines && end < text.size(); i++) {
        size_t line_end = text.find('\n', end);
        end = line_end == std::string::npos ? text.size() : line_end + 1;
    }
    return text.substr(0, end);
}

std::vector<std::string> call_names()
{
    std::vector<std::string> names;
    for (const sim::Call &c : sim::calls())
        names.push_back(sim::op_name(c.op));
    return names;
}
