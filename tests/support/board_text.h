// A board's wiring written as text, so that one description serves the
// in-process tests and the virtual USB chip, which reads it from its
// environment: items joined by '+', each one fault of chip::Wiring.
//
//   open3:0        high pin 3's wire cut, the pin reads 0 (open3:1 reads 1)
//   stick0:1       high pin 0 stuck at 1
//   short1-2:and   the nets of high pins 1 and 2 touch, wired-AND (or: wired-OR;
//                  dom: net 1's driver wins; res: through a resistance)
//   swap4-5        the wires of pins 4 and 5 crossed
//   wire6-2        high pin 6 wired to low pin 2 (low pin 2 drives both nets)
//   invert0        high pin 0 reads its net inverted
//
// The empty text is a board wired pin for pin.
#pragma once

#include "mpsse_chip.h"

#include <string>

namespace board_text {

// Throws std::invalid_argument on text it does not know.
chip::Wiring parse(const std::string &text);

} // namespace board_text
