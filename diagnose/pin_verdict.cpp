// Each pin's verdict from the diagnosis and the faults it named.
#include "pin_verdict.h"

#include <algorithm>

namespace diagnose {
namespace {

// "pin 2", "pins 1 and 2", "pins 1, 3, 5 and 7".
std::string pins_text(const std::vector<int> &pins, const char *one = "pin", const char *many = "pins")
{
    std::string text = pins.size() == 1 ? one : many;
    for (size_t i = 0; i < pins.size(); i++)
        text += std::string(i == 0 ? " " : i + 1 == pins.size() ? " and " : ", ") + std::to_string(pins[i]);
    return text;
}

// A pin's bits over the answered rows, in row order.
std::string row_bits(const std::vector<Row> &rows, int pin, bool read)
{
    std::string text;
    for (const Row &row : rows)
        if (row.answered)
            text += (((read ? row.read : row.driven) >> pin) & 1) ? '1' : '0';
    return text;
}

std::string pin_words(const Diagnosis &d, int j)
{
    const PinDiagnosis &pin = d.pins[j];
    std::string line = status_name(pin.status);
    if (!pin.with.empty())
        line += " with " + pins_text(pin.with);
    std::string low_j = "low pin " + std::to_string(j);
    std::string others = pins_text(pin.with, "low pin", "low pins");
    // A short touches one other net; several partners are the rows not telling which.
    std::string one_of_others = pin.with.size() > 1 ? "one of " + others : others;
    switch (pin.status) {
    case PinStatus::untested:
        return line + " (no row got an answer)";
    case PinStatus::stuck_0:
        return line + " (reads 0 whatever is driven: open with a pull-down, or shorted to ground)";
    case PinStatus::stuck_1:
        return line + " (reads 1 whatever is driven: open with a pull-up, or shorted to the supply)";
    case PinStatus::inverted:
        return line + " (reads the opposite of " + low_j + ")";
    case PinStatus::reads_other:
        return line + " (reads " + (pin.with.size() == 1 ? others : "any of " + others) + " instead of " +
               low_j + ": crossed wires, or its net driven by another pin)";
    case PinStatus::short_and:
        return line + " (reads " + low_j + " AND " + one_of_others + ": the nets touch and 0 wins)";
    case PinStatus::short_or:
        return line + " (reads " + low_j + " OR " + one_of_others + ": the nets touch and 1 wins)";
    case PinStatus::unexplained:
        return line + " (read " + row_bits(d.rows, j, true) + " where " + row_bits(d.rows, j, false) +
               " was driven)";
    case PinStatus::ok:
        break;
    }
    return line;
}

// What the named faults say of one faulty pin: the faults of the candidates
// that touch its net, each once.
void place_faults(const Diagnosis &d, int j, PinVerdict &v)
{
    v.confidence = d.confidence;
    if (d.confidence != Confidence::located && d.confidence != Confidence::one_of_n)
        return;
    std::vector<Fault> here;
    bool in_every_candidate = true;
    for (const FaultCase &c : d.candidates) {
        bool touched = false;
        for (const Fault &f : c.faults) {
            std::vector<int> nets = fault_nets(f);
            if (std::find(nets.begin(), nets.end(), j) == nets.end())
                continue;
            touched = true;
            std::string text = fault_text(f);
            if (std::none_of(here.begin(), here.end(), [&](const Fault &h) { return fault_text(h) == text; }))
                here.push_back(f);
        }
        in_every_candidate = in_every_candidate && touched;
    }
    if (here.empty()) { // no candidate touches the pin: the board's candidates stand for it
        for (const FaultCase &c : d.candidates)
            v.candidates.push_back(case_text(c));
        return;
    }
    for (const Fault &f : here)
        v.candidates.push_back(fault_text(f));
    v.confidence = here.size() == 1 && in_every_candidate ? Confidence::located : Confidence::one_of_n;
    if (std::all_of(here.begin(), here.end(), [&](const Fault &f) { return f.kind == here[0].kind; }))
        v.fault_class = fault_class_name(here[0].kind);
    if (v.confidence == Confidence::located) {
        v.partners.clear();
        for (int net : fault_nets(here[0]))
            if (net != j)
                v.partners.push_back(net);
        std::sort(v.partners.begin(), v.partners.end());
    }
}

} // namespace

std::array<PinVerdict, 8> pin_verdicts(const Diagnosis &d)
{
    std::array<PinVerdict, 8> verdicts{};
    for (int j = 0; j < 8; j++) {
        PinVerdict &v = verdicts[size_t(j)];
        const PinDiagnosis &pin = d.pins[size_t(j)];
        v.status = status_name(pin.status);
        if (pin.status == PinStatus::ok)
            continue;
        v.words = pin_words(d, j);
        v.partners = pin.with;
        if (!v.faulty())
            continue;
        v.fault_class = v.status;
        place_faults(d, j, v);
    }
    return verdicts;
}

std::string confidence_text(const PinVerdict &pin) { return confidence_text(pin.confidence, pin.candidates.size()); }

std::string confidence_note(const PinVerdict &pin)
{
    std::string text = confidence_text(pin);
    if (text.empty())
        return "";
    for (size_t i = 0; i < pin.candidates.size(); i++)
        text += (i == 0 ? ": " : " | ") + pin.candidates[i];
    return " [" + text + "]";
}

} // namespace diagnose
