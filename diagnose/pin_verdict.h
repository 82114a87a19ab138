// Each pin's verdict, decided once from a diagnosis: its status, the class of
// the fault there, its partners, how sure that is, and the words for people.
// Everything that shows a pin (wiretest-diagnose's words, a station's line,
// record, JUnit file and page) shows it from here.
#pragma once

#include "diagnosis.h"

#include <array>
#include <string>
#include <vector>

namespace diagnose {

struct PinVerdict {
    // status_name's words, or a soak's "intermittent"; "untested" when no row measured it.
    std::string status = "untested";
    // The class of the fault at the pin ("open, input floating") when every
    // fault that may be there is of one class; else its status. "" when ok.
    std::string fault_class;
    // The other nets of the fault at the pin when it is located; else the
    // pins the rows show it reading with.
    std::vector<int> partners;
    // How sure the fault at this pin is: located (one fault fits here), one
    // of N (the candidates), detected only; none for a pin that is ok, or
    // when the faults were not named.
    Confidence confidence = Confidence::none;
    std::vector<std::string> candidates; // the faults that may be at the pin, in fault_text's words
    // "stuck-0 (reads 0 whatever is driven: ...)", as wiretest-diagnose
    // prints it after "pin N: "; "" when ok.
    std::string words;

    bool faulty() const { return status != "ok" && status != "untested"; }
};

std::array<PinVerdict, 8> pin_verdicts(const Diagnosis &diagnosis);

// "located", "one of 2", "detected only"; "" for none.
std::string confidence_text(const PinVerdict &pin);

// The verdict's confidence as the station shows it after its words:
// " [located: stuck-0 on net 3]", " [one of 2: A | B]", " [detected only]";
// "" for none.
std::string confidence_note(const PinVerdict &pin);

} // namespace diagnose
