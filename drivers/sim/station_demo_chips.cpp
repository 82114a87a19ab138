// The chips that wiretest-station-sim presents: dual chips at seven USB
// locations, each with its board on channel A, among them a blank EEPROM,
// two chips whose EEPROMs were copied from one another, and a board with an
// intermittent contact.
#include "sim_control.h"

namespace sim {

void attach_station_demo_chips()
{
    using sim::ChipKind;
    sim::attach_chip("1-1", "WTST0001", ChipKind::FT2232H);
    sim::attach_chip("1-2", "WTST0002", ChipKind::FT2232H, chip::Wiring{}.open_wire(3, 0));
    sim::attach_chip("1-3.1", "", ChipKind::FT2232H);
    sim::attach_chip("1-3.2", "WTST0004", ChipKind::FT2232H, chip::Wiring{}.swap(5, 6));
    sim::attach_chip("1-4", "WTST0005", ChipKind::FT2232H);
    sim::attach_chip("1-5", "WTST0005", ChipKind::FT2232H);
    // Pin 4's wire opens in about one read of 20 and then reads 0: a contact
    // that a single test passes more often than not, and a soak catches.
    sim::attach_chip("1-6", "WTST0006", ChipKind::FT2232H, chip::Wiring{}.flake(4, 20, 0x5EED));
}

} // namespace sim
