// terminal.h on POSIX: every terminal takes escape sequences.
#include "terminal.h"

#include <sys/stat.h>
#include <unistd.h>

namespace station {

bool is_terminal(FILE *stream) { return isatty(fileno(stream)) != 0; }

bool one_terminal()
{
    if (!is_terminal(stdout) || !is_terminal(stderr))
        return false;
    struct stat out{}, err{};
    return fstat(fileno(stdout), &out) == 0 && fstat(fileno(stderr), &err) == 0 && out.st_dev == err.st_dev &&
           out.st_rdev == err.st_rdev;
}

bool enable_terminal_escapes(const FILE *stream)
{
    (void)stream;
    return true;
}

bool standard_input_in_foreground()
{
    return isatty(STDIN_FILENO) == 0 || tcgetpgrp(STDIN_FILENO) == getpgrp();
}

void line_buffered_output() { setvbuf(stdout, nullptr, _IOLBF, BUFSIZ); }

} // namespace station
