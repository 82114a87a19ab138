// wiretest-diagnose: reads a wiretest report from a file or standard input,
// echoes each line as it arrives, and prints the diagnosis. The exit status
// is 0 for a pass, 1 for a fail and 2 when the report cannot be judged.
#include "diagnosis.h"
#include "render.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#ifndef WIRETEST_DIAGNOSE_VERSION
#define WIRETEST_DIAGNOSE_VERSION "unknown"
#endif

namespace {

enum { exit_pass = 0, exit_fail = 1, exit_cannot_judge = 2 };

struct Options {
    bool json = false;
    bool quiet = false;
    std::string path; // empty or "-": standard input
};

int cannot_judge(const std::string &line)
{
    fprintf(stderr, "wiretest-diagnose: %s\n", line.c_str());
    return exit_cannot_judge;
}

// The line without its line end, CR included, then this platform's line end:
// a CR LF report echoes as CR LF on Windows, not CR CR LF.
void echo(std::string line)
{
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
    fflush(stdout); // a live pipe shows the report as it arrives
}

} // namespace

// cppcheck-suppress constParameter ; the signature of main is the language's
int main(int argc, char *argv[])
{
    Options options;
    bool have_path = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--help") {
            fputs(diagnose::usage_text, stdout);
            return exit_pass;
        } else if (arg == "--version") {
            printf("wiretest-diagnose %s\n", WIRETEST_DIAGNOSE_VERSION);
            return exit_pass;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return cannot_judge("usage error: unknown option " + arg + " (see --help)");
        } else if (have_path) {
            return cannot_judge("usage error: more than one file given (see --help)");
        } else {
            options.path = arg;
            have_path = true;
        }
    }

    FILE *input = stdin;
    std::string name = "standard input";
    if (!options.path.empty() && options.path != "-") {
        name = options.path;
        // Binary, so that a CR LF report reads the same everywhere: the reader drops the CR.
        input = fopen(options.path.c_str(), "rb");
        if (!input)
            return cannot_judge("cannot open " + name + ": " + strerror(errno));
    } else {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
    }

    bool echoing = !options.json && !options.quiet;
    diagnose::ReportReader reader;
    std::string line;
    bool line_started = false;
    for (int c; (c = getc(input)) != EOF;) {
        if (c != '\n') {
            line += char(c);
            line_started = true;
            continue;
        }
        if (echoing)
            echo(line);
        reader.add_line(line);
        line.clear();
        line_started = false;
    }
    bool read_failed = ferror(input) != 0;
    int read_errno = errno;
    if (line_started) { // the last line had no line end
        if (echoing)
            echo(line);
        reader.add_line(line);
    }
    if (input != stdin)
        fclose(input);
    if (read_failed)
        return cannot_judge("cannot read " + name + ": " + strerror(read_errno));

    diagnose::Diagnosis diagnosis = diagnose::judge(reader.finish());
    if (options.json) {
        printf("%s\n", diagnose::json(diagnosis).c_str());
    } else {
        if (echoing)
            fputc('\n', stdout);
        fputs(diagnose::words(diagnosis).c_str(), stdout);
    }
    fflush(stdout);
    std::string problem = diagnose::problem_line(diagnosis);
    if (!problem.empty()) {
        fprintf(stderr, "%s\n", problem.c_str());
        return exit_cannot_judge;
    }
    return diagnosis.verdict == diagnose::Verdict::pass ? exit_pass : exit_fail;
}
