// The channels the driver lists, and the boards a command line names.
#include "targets.h"

#include "printable.h"

#include "device_link/chip_kinds.h"
#include "device_link/ft_locations.h"
#include "device_link/status_report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

namespace station {

using companions::printable;

bool list_channels(std::vector<Channel> &channels, std::string &error)
{
    channels.clear();
    std::vector<ft_channel_info> list(16);
    for (;;) {
        uint32_t count = 0;
        FT_STATUS status = ft_list_channels(list.data(), uint32_t(list.size()), &count);
        if (status != FT_OK) {
            const char *name = ft_status_name(status);
            error = "the driver could not list the chips (" +
                    (name ? std::string(name) : "status " + std::to_string(status)) + ")";
            return false;
        }
        if (count <= list.size()) {
            list.resize(count);
            break;
        }
        list.resize(count); // more arrived than fitted: ask again
    }
    for (const ft_channel_info &info : list) {
        Channel channel;
        channel.location = printable(std::string(info.location, strnlen(info.location, sizeof info.location)));
        channel.channel = info.channel;
        channel.serial = std::string(info.serial, strnlen(info.serial, sizeof info.serial));
        channel.chip = printable(std::string(info.chip, strnlen(info.chip, sizeof info.chip)));
        channel.openable = info.access == FT_OK;
        channel.instance = info.instance;
        channel.access_note =
            printable(std::string(info.access_note, strnlen(info.access_note, sizeof info.access_note)));
        channels.push_back(channel);
    }
    // A serial is a board's name only where no other chip carries it.
    for (Channel &channel : channels)
        channel.serial_shared =
            !channel.serial.empty() && std::any_of(channels.begin(), channels.end(), [&](const Channel &other) {
                return other.serial == channel.serial && other.location != channel.location;
            });
    return true;
}

std::string board_words(const Channel &board)
{
    return board.location + " " + board.channel + " " + (board.serial.empty() ? "-" : printable(board.serial));
}

std::string listing_line(const Channel &channel)
{
    std::string line = board_words(channel) + " " + channel.chip;
    std::vector<std::string> notes;
    if (!channel.openable)
        notes.push_back(channel.access_note.empty() ? "cannot be opened" : channel.access_note);
    // Its MPSSE channels have no high byte: what a high-byte read answers
    // there says nothing about the wiring.
    if (!has_high_byte(channel.chip))
        notes.emplace_back("no high GPIO byte: not a wiring result");
    for (size_t i = 0; i < notes.size(); i++)
        line += (i == 0 ? " (" : "; ") + notes[i];
    return notes.empty() ? line : line + ")";
}

std::string listing_json(const std::vector<Channel> &channels)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Channel &channel : channels) {
        nlohmann::ordered_json entry = {{"location", channel.location},
                                        {"channel", std::string(1, channel.channel)},
                                        {"serial", printable(channel.serial)},
                                        {"chip", channel.chip}};
        if (!channel.openable)
            entry["access"] = channel.access_note.empty() ? "cannot be opened" : channel.access_note;
        list.push_back(entry);
    }
    return list.dump();
}

bool is_location(const std::string &text)
{
    auto digits = [&](size_t from, size_t to) {
        return from < to && std::all_of(text.begin() + long(from), text.begin() + long(to),
                                        [](char c) { return c >= '0' && c <= '9'; });
    };
    if (text.empty() || text.size() >= FT_LOCATION_SIZE)
        return false;
    // A Windows location id: "0x" and hex digits.
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return std::all_of(text.begin() + 2, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    // BUS-PORT[.PORT...]
    size_t dash = text.find('-');
    if (dash == std::string::npos || !digits(0, dash))
        return false;
    for (size_t from = dash + 1;;) {
        size_t dot = text.find('.', from);
        size_t to = dot == std::string::npos ? text.size() : dot;
        if (!digits(from, to))
            return false;
        if (dot == std::string::npos)
            return true;
        from = dot + 1;
    }
}

bool has_high_byte(const std::string &chip)
{
    const chip_facts *facts = chip_by_name(chip.c_str());
    return !facts || facts->high_byte;
}

std::string untestable_reason(const Channel &channel)
{
    if (has_high_byte(channel.chip))
        return {};
    return "the " + channel.chip + " at " + channel.location + " has no high GPIO byte: its wiring cannot be tested";
}

std::string passed_over_note(const Channel &channel)
{
    return "passed over the " + channel.chip + " at " + channel.location + " " + channel.channel +
           ": it has no high GPIO byte, its wiring cannot be tested";
}

char port_channel(const Selection &selection, size_t port)
{
    return port < selection.port_channels.size() && selection.port_channels[port] ? selection.port_channels[port]
                                                                                  : selection.channel;
}

std::vector<Target> select_targets(const std::vector<Channel> &channels, const Selection &selection,
                                   std::vector<std::string> *passed_over)
{
    std::vector<Target> targets;
    auto add = [&](const Target &target) {
        for (const Target &t : targets)
            if (target.error.empty() && t.error.empty() && t.board.location == target.board.location &&
                t.board.channel == target.board.channel)
                return; // asked for twice
        targets.push_back(target);
    };
    const std::string letter(1, selection.channel);
    if (selection.all) {
        bool skipped = false;
        for (const Channel &c : channels) {
            if (c.channel != selection.channel)
                continue;
            if (!untestable_reason(c).empty()) {
                skipped = true;
                if (passed_over)
                    passed_over->push_back(passed_over_note(c));
                continue;
            }
            add(Target{c, ""});
        }
        if (targets.empty())
            add(Target{Channel{"", selection.channel, "", "", true, ""},
                       channels.empty() ? "no chip is plugged in"
                       : skipped        ? "no chip that can be tested has a channel " + letter
                                        : "no chip has a channel " + letter});
    }
    for (size_t i = 0; i < selection.ports.size(); i++) {
        const std::string &port = selection.ports[i];
        const char channel = port_channel(selection, i);
        Target target{Channel{printable(port), channel, "", "", true, ""}, ""};
        bool plugged = false;
        for (const Channel &c : channels) {
            plugged = plugged || c.location == port;
            if (c.location == port && c.channel == channel)
                target.board = c;
        }
        if (target.board.chip.empty())
            target.error = plugged ? "the chip at " + printable(port) + " has no channel " + std::string(1, channel)
                                   : "nothing is plugged at " + printable(port);
        else
            target.error = untestable_reason(target.board);
        add(target);
    }
    for (const std::string &serial : selection.serials) {
        std::vector<const Channel *> found;
        for (const Channel &c : channels)
            if (c.serial == serial && c.channel == selection.channel)
                found.push_back(&c);
        Target target{Channel{"", selection.channel, serial, "", true, ""}, ""};
        if (found.size() == 1) {
            target.board = *found[0];
            target.error = untestable_reason(target.board);
        } else if (found.empty()) {
            target.error = "no chip has the serial number " + printable(serial);
        } else {
            target.error = "the serial number " + printable(serial) + " is on more than one chip:";
            for (size_t i = 0; i < found.size(); i++)
                target.error += (i == 0 ? " " : ", ") + found[i]->location;
        }
        add(target);
    }
    return targets;
}

} // namespace station
