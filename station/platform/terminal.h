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

// Whether standard input can be read now without stopping the process: it
// is no terminal, or the terminal's foreground is this process's group.
bool standard_input_in_foreground();

// Standard output written line by line also to a pipe or a file, so that a
// reader sees each line as it ends. Windows' C runtime has no line
// buffering (it would buffer whole blocks): there it is left as it is.
void line_buffered_output();

} // namespace station
