// wiretest-diagnose: reads a wiretest report from a file or standard input,
// echoes each line as it arrives, and prints the diagnosis. The exit status
// is 0 for a pass, 1 for a fail and 2 when the report cannot be judged or
// what was printed did not reach standard output.
#include "diagnosis.h"
#include "printable.h"
#include "render.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

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
    bool coverage = false;
    std::optional<std::string> patterns; // --patterns: a set's name or bytes
    std::optional<std::string> path; // absent or "-": standard input
};

int cannot_judge(const std::string &line)
{
    fprintf(stderr, "wiretest-diagnose: %s\n", line.c_str());
    return exit_cannot_judge;
}

// A verdict whose words or JSON were lost (a full disk, a closed descriptor)
// must not reach a script as a pass or a fail: the last line on standard
// error says so, and the status is that of a report that cannot be judged.
int checked_output(int status)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fputs("ERROR: can not write to standard output\n", stderr);
        return exit_cannot_judge;
    }
    return status;
}

// A file name as a message shows it; an empty one as ''.
std::string shown_name(const std::string &path)
{
    return path.empty() ? "''" : companions::printable(path);
}

// Each line without its line end, then this platform's line end: a CR LF
// report echoes as CR LF on Windows, not CR CR LF, and one with CRs alone
// between its lines echoes a line each, as the reader reads them.
void echo(std::string_view text)
{
    for (;;) {
        size_t cr = text.find('\r');
        // Escape sequences in a report must not act on the terminal.
        std::string line = companions::printable(std::string(text.substr(0, cr)));
        fwrite(line.data(), 1, line.size(), stdout);
        fputc('\n', stdout);
        if (cr == std::string_view::npos || cr + 1 == text.size())
            break;
        text.remove_prefix(cr + 1);
    }
    fflush(stdout); // a live pipe shows the report as it arrives
}

int print_coverage(const Options &options)
{
    std::string name = options.patterns.value_or(diagnose::pattern_set_name(diagnose::PatternSet::standard));
    std::optional<diagnose::PatternSet> set = diagnose::pattern_set_named(name);
    std::vector<diagnose::Step> steps = set ? diagnose::pattern_steps(*set) : diagnose::pattern_steps_from_text(name);
    if (steps.empty())
        return cannot_judge("usage error: unknown pattern set " + companions::printable(name) +
                            " (standard, locate, deep, or bytes in hexadecimal, comma-separated)");
    diagnose::Coverage coverage = diagnose::coverage(steps);
    if (options.json)
        printf("%s\n", diagnose::coverage_json(coverage, name).c_str());
    else
        fputs(diagnose::coverage_words(coverage, name).c_str(), stdout);
    return checked_output(exit_pass);
}

} // namespace

// cppcheck-suppress constParameter ; the signature of main is the language's
int main(int argc, char *argv[])
{
    Options options;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--coverage") {
            options.coverage = true;
        } else if (arg == "--patterns") {
            if (i + 1 == argc)
                return cannot_judge("usage error: --patterns needs a set (see --help)");
            options.patterns = argv[++i];
        } else if (arg == "--quiet") {
            options.quiet = true;
        } else if (arg == "--help") {
            fputs(diagnose::usage_text, stdout);
            return checked_output(exit_pass);
        } else if (arg == "--version") {
            printf("wiretest-diagnose %s\n", WIRETEST_DIAGNOSE_VERSION);
            return checked_output(exit_pass);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return cannot_judge("usage error: unknown option " + companions::printable(arg) + " (see --help)");
        } else if (options.path) {
            return cannot_judge("usage error: more than one file given (see --help)");
        } else {
            options.path = arg;
        }
    }

    if (options.patterns && !options.coverage)
        return cannot_judge("usage error: --patterns goes with --coverage (see --help)");
    if (options.coverage) {
        if (options.path)
            return cannot_judge("usage error: --coverage reads no file (see --help)");
        return print_coverage(options);
    }

    FILE *input = stdin;
    std::string name = "standard input";
    // An empty name (an unset $LOG in a script) is a file that cannot be
    // opened, not standard input, which holds something else there.
    if (options.path && *options.path != "-") {
        name = shown_name(*options.path);
        // Binary, so that a CR LF report reads the same everywhere: the reader drops the CR.
        input = options.path->empty() ? nullptr : fopen(options.path->c_str(), "rb");
        if (!input)
            return cannot_judge("cannot open " + name + ": " + strerror(options.path->empty() ? ENOENT : errno));
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
        return checked_output(cannot_judge("cannot read " + name + ": " + strerror(read_errno)));

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
        return checked_output(exit_cannot_judge);
    }
    return checked_output(diagnosis.verdict == diagnose::Verdict::pass ? exit_pass : exit_fail);
}
