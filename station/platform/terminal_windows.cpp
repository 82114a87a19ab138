// terminal.h on Windows: one console, which takes escape sequences once asked.
#include "terminal.h"

#include <io.h>
#include <windows.h>

namespace station {

bool is_terminal(FILE *stream) { return _isatty(_fileno(stream)) != 0; }

bool one_terminal() { return is_terminal(stdout) && is_terminal(stderr); } // both on the console

bool enable_terminal_escapes(const FILE *stream)
{
    HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) && SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool standard_input_in_foreground() { return true; } // a console has no background jobs

void line_buffered_output() {}

} // namespace station
