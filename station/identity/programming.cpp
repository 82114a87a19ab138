// The programming of a board's identity, step by step; every failure is the
// board's outcome, with the step and the word.
#include "programming.h"

#include "targets.h"

#include "device_link/chip_kinds.h"
#include "device_link/ft_eeprom.h"
#include "device_link/ft_locations.h"

#include <chrono>
#include <thread>

namespace identity {
namespace {

using Clock = std::chrono::steady_clock;

// The serial the chip at location enumerates with, once it is there with
// one; seen gets the last serial it was listed with, "" when it was not,
// and instance that enumeration.
bool find_again(const Request &request, const std::string &serial, std::string &seen, uint32_t &instance,
                Failure &failure)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(request.comeback_ms);
    bool hotplug = true;
    for (;;) {
        std::vector<station::Channel> channels;
        std::string error;
        if (station::list_channels(channels, error)) {
            for (const station::Channel &c : channels)
                if (c.location == request.location && c.channel == request.channel) {
                    seen = c.serial;
                    instance = c.instance;
                    if (c.serial == serial)
                        return true;
                }
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        // Woken by an arrival where the driver hears of them; otherwise a look every 50 ms.
        int changed = 0;
        if (hotplug && ft_wait_for_change(uint32_t(left), &changed) == FT_NOT_SUPPORTED)
            hotplug = false;
        if (!hotplug)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(left, 50)));
    }
    failure.step = "find again";
    failure.detail = seen.empty() ? "the chip did not come back at " + request.location + " within " +
                                        std::to_string(request.comeback_ms) + " ms"
                                  : "the chip came back with serial '" + seen + "', not '" + serial + "'";
    return false;
}

std::string advice_for(const Failure &failure)
{
    if (failure.step == "detect")
        return "check that the board has its EEPROM fitted and soldered, then test it again";
    if (failure.step == "refused")
        return "a foreign image is kept: test with --reprogram to write over it";
    if (failure.step == "serial")
        return "no serial could be had: check the database, then test the board again";
    if (failure.step == "write" || failure.step == "verify")
        return "the EEPROM did not take the image: test the board again; if it fails again, replace the EEPROM";
    if (failure.step == "find again" || failure.step == "reset")
        return "unplug the board and plug it in again, then look at it with `wiretest-station eeprom --port`";
    return "test the board again";
}

} // namespace

Outcome program(const Request &request)
{
    Outcome out;
    auto finish = [&](Failure failure) {
        out.failure = std::move(failure);
        if (out.failure.failed())
            out.advice = advice_for(out.failure);
        return out;
    };
    const chip_facts *kind = chip_by_name(request.chip.c_str());
    Failure failure;
    if (!kind || kind->kind == ChipKind::FT2232D) {
        failure.step = "chip";
        failure.detail = "no EEPROM image is built for the " + request.chip;
        return finish(failure);
    }
    FT_HANDLE handle = nullptr;
    FT_STATUS status = ft_open_by_location(request.location.c_str(), request.channel, &handle);
    if (status != FT_OK) {
        failure.step = "open";
        failure.status = status;
        return finish(failure);
    }
    // The handle is closed on every path; after the port cycle its status is of no interest.
    auto close = [&] {
        if (handle)
            FT_Close(handle);
        handle = nullptr;
    };

    Found found;
    if (!detect(handle, found, failure)) {
        close();
        return finish(failure);
    }
    out.part = eeprom::part_facts(found.part).name;
    eeprom::Decoded image = eeprom::decode(found.part, found.words, &request.profile);
    out.state = eeprom::state_name(image.state);
    if (image.checksum_valid && image.state != eeprom::State::blank)
        out.serial_before = image.strings.serial;

    if (image.state == eeprom::State::ours && !image.strings.serial.empty()) {
        // A retest: the board keeps the serial it was given.
        out.kept = true;
        out.serial_after = out.serial_before;
        out.checksum = image.checksum;
        out.verified = true;
        close();
        return finish(failure);
    }
    if (image.state == eeprom::State::foreign && !request.reprogram) {
        failure.step = "refused";
        failure.detail = "the EEPROM holds a foreign image (" + image.strings.manufacturer + " / " +
                         image.strings.product + ", serial '" + image.strings.serial + "')";
        close();
        return finish(failure);
    }

    std::string error;
    out.allocated = request.allocate ? request.allocate(error) : "";
    if (out.allocated.empty()) {
        failure.step = "serial";
        failure.detail = error.empty() ? "no serial allocator" : error;
        close();
        return finish(failure);
    }
    eeprom::Strings strings = request.profile;
    strings.serial = out.allocated;
    std::vector<uint16_t> words = eeprom::build(kind->kind, found.part, strings, &error);
    if (words.empty()) {
        failure.step = "build";
        failure.detail = error;
        close();
        return finish(failure);
    }
    out.checksum = words.back();
    out.written = true;
    if (!write_image(handle, words, failure) || !verify(handle, words, failure)) {
        close();
        return finish(failure);
    }
    out.verified = true;
    if ((status = FT_CyclePort(handle)) != FT_OK) {
        failure.step = "reset";
        failure.status = status;
        close();
        return finish(failure);
    }
    close();
    if (!find_again(request, out.allocated, out.serial_after, out.instance_after, failure))
        return finish(failure);
    return finish(failure);
}

} // namespace identity
