// wiretest-station eeprom: a chip's EEPROM read and decoded for the engineer
// at the bench, never written; or erased, when that is confirmed.
#pragma once

namespace station {

// wiretest-station eeprom --port LOC [--json] [--erase --yes]; argv[0] is
// "eeprom". Returns the exit status.
int eeprom_main(int argc, char **argv);

} // namespace station
