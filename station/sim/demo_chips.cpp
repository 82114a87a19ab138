// The chips that wiretest-station-sim presents: dual chips at seven USB
// locations, each with its board on channel A, among them a blank EEPROM,
// two chips whose EEPROMs were copied from one another, and a board with an
// intermittent contact.
#include "demo_chips.h"

#include "sim_control.h"

namespace station {

const std::vector<DemoChip> &demo_chips()
{
    static const std::vector<DemoChip> table = {
        {"1-1", "WTST0001", {}},
        {"1-2", "WTST0002", chip::Wiring{}.open_wire(3, 0)},
        {"1-3.1", "", {}},
        {"1-3.2", "WTST0004", chip::Wiring{}.swap(5, 6)},
        {"1-4", "WTST0005", {}},
        {"1-5", "WTST0005", {}},
        // Pin 4's wire opens in about one read of 20 and then reads 0: a
        // contact that a single test passes more often than not, and a soak
        // catches.
        {"1-6", "WTST0006", chip::Wiring{}.flake(4, 20, 0x5EED)},
    };
    return table;
}

void attach_demo_chips()
{
    for (const DemoChip &c : demo_chips())
        sim::attach_chip(c.location, c.serial, sim::ChipKind::FT2232H, c.wiring);
}

} // namespace station
