#include "slot_labels.h"

#include "printable.h"

namespace station {

using companions::printable;

namespace {

const char retest_word[] = "retest";

std::string trimmed(const std::string &text)
{
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string slot_words(const std::string &name) { return "slot " + printable(name); }

} // namespace

std::vector<NamedSlot> named_slots(const RunOptions &options)
{
    std::vector<NamedSlot> slots;
    const Selection &selection = options.selection;
    // With a fixture its slots are the ports, in its order.
    const bool fixture = options.fixture.slots.size() == selection.ports.size() && !options.fixture.slots.empty();
    for (size_t i = 0; i < selection.ports.size(); i++) {
        NamedSlot slot{selection.ports[i], selection.ports[i], port_channel(selection, i), ""};
        if (fixture) {
            slot.name = options.fixture.slots[i].name;
            slot.scan = options.fixture.slots[i].scan;
        }
        slots.push_back(slot);
    }
    return slots;
}

SlotLabels::SlotLabels(std::vector<NamedSlot> slots, bool scan, char any_channel,
                       std::function<void(const NamedSlot &, const std::string &)> on_label,
                       std::function<void(const std::string &)> say)
    : slots_(std::move(slots)), scan_(scan), any_channel_(any_channel), on_label_(std::move(on_label)),
      say_(std::move(say)), waiting_(slots_.size())
{
}

std::optional<size_t> SlotLabels::slot_named(const std::string &text) const
{
    for (size_t i = 0; i < slots_.size(); i++)
        if (slots_[i].name == text || (!slots_[i].scan.empty() && slots_[i].scan == text))
            return i;
    // Without a fixture the name is the location; with one, the location
    // still says which slot is meant.
    for (size_t i = 0; i < slots_.size(); i++)
        if (slots_[i].location == text)
            return i;
    return std::nullopt;
}

std::optional<Retest> SlotLabels::hear(const std::string &line)
{
    const std::string text = trimmed(line);
    // Before any label: a scanned label is never this command.
    if (text == retest_word || text.rfind(std::string(retest_word) + " ", 0) == 0 ||
        text.rfind(std::string(retest_word) + "\t", 0) == 0) {
        std::string name = trimmed(text.substr(sizeof retest_word - 1));
        if (name.empty()) {
            say_("retest: name the slot whose board to test again: retest SLOT");
            return std::nullopt;
        }
        if (std::optional<size_t> slot = slot_named(name))
            return Retest{name, slots_[*slot].location, slots_[*slot].channel};
        // Watching every port: any location is a slot.
        if (slots_.empty() && is_location(name))
            return Retest{name, name, any_channel_};
        say_("retest " + printable(name) + ": no slot has that name");
        return std::nullopt;
    }
    if (!scan_) {
        if (!text.empty())
            say_("'" + printable(line) + "': not a command; retest SLOT tests the board in a slot again");
        return std::nullopt;
    }
    if (text.empty()) {
        say_("an empty label: scan the board's label again");
        return std::nullopt;
    }
    if (slots_.size() == 1) {
        label(0, line);
        return std::nullopt;
    }
    if (chosen_) {
        size_t slot = *chosen_;
        chosen_.reset();
        label(slot, line);
        return std::nullopt;
    }
    if (std::optional<size_t> slot = slot_named(text)) {
        chosen_ = slot;
        return std::nullopt;
    }
    say_("'" + printable(line) + "' names no slot: scan the slot first, then the board's label");
    return std::nullopt;
}

void SlotLabels::label(size_t slot, const std::string &text)
{
    std::string &waiting = waiting_[slot];
    if (!waiting.empty())
        say_(slot_words(slots_[slot].name) + ": label " + printable(text) + " replaces " + printable(waiting));
    waiting = text;
    on_label_(slots_[slot], waiting);
}

bool SlotLabels::take(const std::string &location, char channel, std::string &label)
{
    if (!scan_)
        return true;
    for (size_t i = 0; i < slots_.size(); i++) {
        if (slots_[i].location != location || slots_[i].channel != channel)
            continue;
        if (waiting_[i].empty())
            return false;
        label = waiting_[i];
        waiting_[i].clear();
        on_label_(slots_[i], "");
        return true;
    }
    return false;
}

bool SlotLabels::any_waiting() const
{
    for (const std::string &waiting : waiting_)
        if (!waiting.empty())
            return true;
    return false;
}

std::string SlotLabels::waiting_text() const
{
    std::string names;
    for (size_t i = 0; i < slots_.size(); i++)
        if (!waiting_[i].empty())
            names += (names.empty() ? "" : ", ") + slot_words(slots_[i].name);
    return names.empty() ? "" : "a label waits for " + names;
}

} // namespace station
