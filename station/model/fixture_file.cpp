#include "fixture_file.h"

#include "files.h"
#include "printable.h"
#include "targets.h"

#if __has_include(<toml++/toml.hpp>)
#include <toml++/toml.hpp>
#else
#include <toml++/toml.h>
#endif

#include <set>

namespace station {
namespace {

using companions::printable;

// Where a file's mistake is: its line, and the key as a user writes it.
struct Place {
    const std::string &path;
    std::string &why;
    bool at(const toml::source_region &source, const std::string &key, const std::string &what)
    {
        why = printable(path) + ":" + std::to_string(source.begin.line) + ": key '" + printable(key) + "': " + what;
        return false;
    }
};

using companions::is_blank;

// A string key: absent (false with why empty, unless required) or a
// non-blank string.
bool string_key(const toml::table &table, const char *key, const std::string &shown, bool required,
                const toml::source_region &owner, Place &place, std::string &value)
{
    const toml::node *node = table.get(key);
    if (!node) {
        if (required)
            return place.at(owner, shown, "missing");
        return true;
    }
    const auto *text = node->as_string();
    if (!text)
        return place.at(node->source(), shown, "not a string");
    value = text->get();
    if (is_blank(value))
        return place.at(node->source(), shown, "a blank value");
    return true;
}

bool read_slot(const toml::table &table, size_t index, Place &place, FixtureSlot &slot)
{
    const std::string prefix = "slot[" + std::to_string(index + 1) + "].";
    static const std::set<std::string> known = {"name", "location", "channel", "rated_cycles", "scan"};
    for (const auto &entry : table)
        if (!known.count(std::string(entry.first.str())))
            return place.at(entry.second.source(), prefix + std::string(entry.first.str()), "not a key of a slot");
    std::string channel;
    if (!string_key(table, "name", prefix + "name", true, table.source(), place, slot.name) ||
        !string_key(table, "location", prefix + "location", true, table.source(), place, slot.location) ||
        !string_key(table, "channel", prefix + "channel", false, table.source(), place, channel) ||
        !string_key(table, "scan", prefix + "scan", false, table.source(), place, slot.scan))
        return false;
    if (!is_location(slot.location))
        return place.at(table.get("location")->source(), prefix + "location",
                        "'" + printable(slot.location) +
                            "' is not a location as --list prints them (1-2.3, or 0x and hex digits)");
    if (!channel.empty()) {
        if (channel != "A" && channel != "B")
            return place.at(table.get("channel")->source(), prefix + "channel", "A or B, not '" + printable(channel) + "'");
        slot.channel = channel[0];
    }
    if (const toml::node *rated = table.get("rated_cycles")) {
        const auto *count = rated->as_integer();
        if (!count || count->get() <= 0)
            return place.at(rated->source(), prefix + "rated_cycles", "not a positive integer");
        slot.rated_cycles = count->get();
    }
    return true;
}

} // namespace

bool read_fixture(const std::string &path, Fixture &fixture, std::string &why)
{
    fixture = Fixture{};
    fixture.path = path;
    Place place{path, why};
    // A FIFO would hold the station before its first board, a device give
    // anything: a fixture is a file.
    if (is_special(path)) {
        why = printable(path) + ": not a regular file: a fixture is a TOML file";
        return false;
    }
    toml::table file;
    try {
        file = toml::parse_file(path);
    } catch (const toml::parse_error &e) {
        why = printable(path) + ":" + std::to_string(e.source().begin.line) + ": " + printable(e.description());
        return false;
    }
    static const std::set<std::string> known = {"id", "station_id", "lot", "operator", "slot", "product"};
    for (const auto &entry : file)
        if (!known.count(std::string(entry.first.str())))
            return place.at(entry.second.source(), std::string(entry.first.str()), "not a key of a fixture");
    toml::source_region top;
    top.begin.line = 1;
    if (!string_key(file, "id", "id", true, top, place, fixture.id) ||
        !string_key(file, "station_id", "station_id", false, top, place, fixture.station_id) ||
        !string_key(file, "lot", "lot", false, top, place, fixture.lot) ||
        !string_key(file, "operator", "operator", false, top, place, fixture.operator_name))
        return false;
    if (const toml::node *product = file.get("product")) {
        if (!product->is_table())
            return place.at(product->source(), "product", "not a table: write it as [product]");
        fixture.product = true;
    }
    const toml::node *slots = file.get("slot");
    if (!slots)
        return place.at(top, "slot", "no [[slot]]: a fixture has at least one");
    const toml::array *array = slots->as_array();
    if (!array || !array->is_array_of_tables())
        return place.at(slots->source(), "slot", "not an array of tables: write each as [[slot]]");
    for (size_t i = 0; i < array->size(); i++) {
        const toml::table &table = *(*array)[i].as_table();
        FixtureSlot slot;
        if (!read_slot(table, i, place, slot))
            return false;
        const std::string prefix = "slot[" + std::to_string(i + 1) + "].";
        for (const FixtureSlot &other : fixture.slots) {
            const std::string others = "slot '" + printable(other.name) + "''s";
            if (other.name == slot.name)
                return place.at(table.get("name")->source(), prefix + "name",
                                "'" + printable(slot.name) + "' names another slot too");
            if (other.location == slot.location)
                return place.at(table.get("location")->source(), prefix + "location",
                                "'" + slot.location + "' is " + others + " too");
            // A scanned code chooses one slot: one that two slots answer to,
            // or that is another slot's name, would choose the wrong one.
            if (!slot.scan.empty() && slot.scan == other.scan)
                return place.at(table.get("scan")->source(), prefix + "scan",
                                "'" + printable(slot.scan) + "' is " + others + " scan code too");
            if (!slot.scan.empty() && (slot.scan == other.name || slot.scan == other.location))
                return place.at(table.get("scan")->source(), prefix + "scan",
                                "'" + printable(slot.scan) + "' is " + others + " " +
                                    (slot.scan == other.name ? "name" : "location"));
            if (!other.scan.empty() && (other.scan == slot.name || other.scan == slot.location)) {
                const char *key = other.scan == slot.name ? "name" : "location";
                return place.at(table.get(key)->source(), prefix + key,
                                "'" + printable(other.scan) + "' is " + others + " scan code");
            }
        }
        fixture.slots.push_back(slot);
    }
    return true;
}

const FixtureSlot *slot_at(const Fixture &fixture, const std::string &location, char channel, char run_channel)
{
    for (const FixtureSlot &slot : fixture.slots)
        if (slot.location == location && (slot.channel ? slot.channel : run_channel) == channel)
            return &slot;
    return nullptr;
}

} // namespace station
