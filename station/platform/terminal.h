// The terminal the station's screen draws on, as each OS tells of it.
#pragma once

#include <cstdio>

namespace station {

// Whether stream is a terminal (a console on Windows).
bool is_terminal(FILE *stream);

// Live lines are redrawn on standard error by moving the cursor up over
// them: only where standard output shares the terminal can that erase
// nothing but themselves. A pipe or tee keeps every line it was given.
bool one_terminal();

// Makes stream (stdout or stderr) take escape sequences; false where it
// cannot.
bool enable_terminal_escapes(const FILE *stream);

} // namespace station
