// What a waiting station reads on standard input: with --scan, the labels of
// the boards and the slots they are for; in any case the command that tests
// a slot's board again. Each slot's label waits here until its next board.
#pragma once

#include "run_options.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace station {

// A slot as the operator names it.
struct NamedSlot {
    std::string name; // the fixture's name for it; without one, the location as --port gave it
    std::string location;
    char channel = 'A';
    std::string scan; // a barcode printed on the slot; "" for none
};

// The slots a run waits on, in --port's (or the fixture's) order; none when
// it watches every port.
std::vector<NamedSlot> named_slots(const RunOptions &options);

// A line that is no label: a board to test again where it sits.
struct Retest {
    std::string name; // as the operator gave it
    std::string location;
    char channel = 'A';
};

class SlotLabels {
public:
    // scan: lines are labels, and with several slots the slots they go to;
    // without, a line is a command or refused. any_channel: without slots,
    // the channel a retest by location means. on_label: a label now waits at
    // a slot, or ("") none does any more. say: a line for standard error.
    SlotLabels(std::vector<NamedSlot> slots, bool scan, char any_channel,
               std::function<void(const NamedSlot &, const std::string &)> on_label,
               std::function<void(const std::string &)> say);

    // One line as read, without its line end; a retest when it asks for one.
    std::optional<Retest> hear(const std::string &line);
    // The label waiting at the slot at location and channel, taken: true
    // without --scan, where a board waits for none.
    bool take(const std::string &location, char channel, std::string &label);
    // Whether a label waits at any slot.
    bool any_waiting() const;
    // "a label waits for slot 2, slot three"; "" when none does.
    std::string waiting_text() const;

private:
    std::optional<size_t> slot_named(const std::string &text) const;
    void label(size_t slot, const std::string &text);

    const std::vector<NamedSlot> slots_;
    const bool scan_;
    const char any_channel_;
    std::function<void(const NamedSlot &, const std::string &)> on_label_;
    std::function<void(const std::string &)> say_;
    // At most one label each, a later one replacing it: a label is never
    // left over for a board after the one it was scanned for. "": none.
    std::vector<std::string> waiting_;
    std::optional<size_t> chosen_; // the slot the next line is the label of
};

} // namespace station
