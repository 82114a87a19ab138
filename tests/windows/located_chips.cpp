// The chips of the located test driver: one of each kind, a blank one and
// one that another program holds, at locations whose ids the tests expect,
// and a board attached by serial number alone, which has no location.
#include "sim_control.h"

namespace {

bool attach_located_chips()
{
    sim::attach_chip("1-3.2", "WTLOC01", sim::ChipKind::FT2232H); // 0x1321, 0x1322
    sim::attach_chip("1-4", "", sim::ChipKind::FT4232H);          // 0x141, 0x142
    sim::attach_chip("2-12", "WTLOC03", sim::ChipKind::FT232H);   // 0x2C1
    sim::refuse_access("2-12", "held");
    sim::attach_chip("1-5", "WTLOC04", sim::ChipKind::FT2232D);   // 0x151
    sim::attach("WTSIM001A");
    return true;
}

const bool located_chips_attached = attach_located_chips();

} // namespace
