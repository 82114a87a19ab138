// The two boards that wiretest-sim presents: one wired pin for pin, and one
// whose low pin 3 is not connected, its high partner pulled down to 0.
#include "sim_control.h"

namespace {

bool attach_demo_boards()
{
    sim::keep_recent_calls(1024); // nobody reads this program's record
    sim::attach("WTSIM001A");
    sim::attach("WTSIM002A", chip::Wiring{}.open_wire(3, 0));
    return true;
}

const bool demo_boards_attached = attach_demo_boards();

} // namespace
