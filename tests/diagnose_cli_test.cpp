// build/wiretest-diagnose as a shell runs it: echo, words, --quiet, --json,
// exit statuses and the one line on standard error of each case it cannot
// judge; the echo of a live pipe line by line; and a pipe from build/wiretest
// on the virtual USB bus. Reports come from the system run in this process
// on the simulated driver.
#include "board_text.h"
#include "fixture.h"
#include "process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string program = WIRETEST_DIAGNOSE;

// The pin's words, then the two faults that read alike.
const std::string stuck_3 =
    "pin 3: stuck-0 (reads 0 whatever is driven: open with a pull-down, or shorted to ground)\n"
    "one of 2: stuck-0 on net 3 | open, input floating on net 3\n";

class DiagnoseCli : public SimTest {
protected:
    // The standard output of a wiretest run on this board.
    std::string report(const std::string &board, bool short_test = false)
    {
        SetUp();
        sim::attach("WTBOARD1", board_text::parse(board));
        return console::run(short_test ? std::vector<std::string>{"-n0", "-d", "-s"}
                                       : std::vector<std::string>{"-n0", "-d"})
            .out;
    }

    // A file in the temporary folder, removed with the test.
    std::string file_with(const std::string &text)
    {
        char path[] = "/tmp/wiretest-diagnose-XXXXXX";
        int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
        files_.emplace_back(path);
        return path;
    }

    void TearDown() override
    {
        for (const std::string &f : files_)
            unlink(f.c_str());
    }

private:
    std::vector<std::string> files_;
};

TEST_F(DiagnoseCli, EchoesTheReportThenTheDiagnosisAndExitsByTheVerdict)
{
    std::string good = report(""), open3 = report("open3:0");
    std::string good_verdict = "verdict: PASS (full test, errors: 0; every pin ok)\n";
    std::string open3_verdict = "verdict: FAIL (full test, errors: 3; 1 pin not ok)\n";

    process::Result from_stdin = process::run(program, {}, good);
    EXPECT_EQ(from_stdin.out, good + "\n" + good_verdict);
    EXPECT_EQ(from_stdin.err, "");
    EXPECT_EQ(from_stdin.exit_status, 0);

    process::Result from_dash = process::run(program, {"-"}, open3);
    EXPECT_EQ(from_dash.out, open3 + "\n" + stuck_3 + open3_verdict);
    EXPECT_EQ(from_dash.exit_status, 1);

    process::Result from_file = process::run(program, {file_with(open3)});
    EXPECT_EQ(from_file.out, open3 + "\n" + stuck_3 + open3_verdict);
    EXPECT_EQ(from_file.err, "");
    EXPECT_EQ(from_file.exit_status, 1);

    // Saved on Windows: the echo keeps the lines, without their CRs.
    std::string crlf;
    for (char c : open3)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    process::Result from_crlf = process::run(program, {file_with(crlf)});
    EXPECT_EQ(from_crlf.out, open3 + "\n" + stuck_3 + open3_verdict);
    EXPECT_EQ(from_crlf.exit_status, 1);
    // With CRs alone between the lines, as a terminal capture may keep it.
    std::string cr_only;
    for (char c : open3)
        cr_only += c == '\n' ? '\r' : c;
    process::Result from_cr = process::run(program, {file_with(cr_only)});
    EXPECT_EQ(from_cr.out, open3 + "\n" + stuck_3 + open3_verdict);

    process::Result quiet = process::run(program, {"--quiet"}, good);
    EXPECT_EQ(quiet.out, good_verdict);
    EXPECT_EQ(quiet.exit_status, 0);
}

TEST_F(DiagnoseCli, AReportThatCannotBeJudgedExits2WithOneLineSayingWhy)
{
    std::string good = report(""), short_good = report("", true);
    std::string binary;
    for (int i = 0; i < 300; i++)
        binary += char(i * 41 % 256);
    struct Case {
        const char *what;
        std::string input;
        std::string verdict, error;
    };
    const Case cases[] = {
        {"stopped after eight rows", first_lines(good, 24),
         "verdict: INCOMPLETE (the test stopped after 8 rows)\n",
         "wiretest-diagnose: incomplete report: the test stopped after 8 rows\n"},
        {"a count that does not match", short_good.substr(0, short_good.size() - 2) + "2\n",
         "verdict: INCOMPLETE (the count does not match the rows (errors: 2, rows whose halves differ: 0))\n",
         "wiretest-diagnose: inconsistent report: the count does not match the rows (errors: 2, rows whose "
         "halves differ: 0)\n"},
        {"binary", binary,
         "verdict: INCOMPLETE (not a wiretest report: no line in it is one wiretest prints)\n",
         "wiretest-diagnose: unreadable report: not a wiretest report: no line in it is one wiretest prints\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        process::Result r = process::run(program, {}, c.input);
        std::string echo = c.input.back() == '\n' ? c.input : c.input + "\n";
        // Controls echo as '?', but a CR, which ends a line as the reader
        // reads it. The binary input holds no well-formed UTF-8 character
        // of two or more bytes, so each byte from 0x80 on is part of none.
        for (char &ch : echo) {
            auto byte = static_cast<unsigned char>(ch);
            if (ch == '\r')
                ch = '\n';
            else if ((byte < 0x20 && ch != '\t' && ch != '\n') || byte >= 0x7F)
                ch = '?';
        }
        EXPECT_EQ(r.out, echo + "\n" + c.verdict);
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.exit_status, 2);

        process::Result json = process::run(program, {"--json", file_with(c.input)});
        EXPECT_EQ(json.err, c.error);
        EXPECT_EQ(json.exit_status, 2);
        EXPECT_EQ(nlohmann::json::parse(json.out)["verdict"], "incomplete");
    }
}

// Reports as they reach the program in practice: tabs made spaces by a
// terminal or by expand, blanks at the ends of lines, CR-only line ends, and
// runs appended to one log, where the last is judged.
TEST_F(DiagnoseCli, ExpandedCrOnlyAndAppendedReportsReadAsTheirRuns)
{
    std::string good = report(""), open3 = report("open3:0");
    std::string open3_words = stuck_3 + "verdict: FAIL (full test, errors: 3; 1 pin not ok)\n";
    std::string blanks_at_ends, cr_only;
    for (char c : open3) {
        blanks_at_ends += c == '\n' ? std::string(" \t \n") : std::string(1, c);
        cr_only += c == '\n' ? '\r' : c;
    }
    struct Case {
        const char *what;
        std::string command; // "$0" is the program
        std::string input;
        std::string out;
        int exit_status;
    };
    const Case cases[] = {
        {"through expand", "expand | \"$0\" --quiet", open3, open3_words, 1},
        {"blanks after the halves and the count", "\"$0\" --quiet", blanks_at_ends, open3_words, 1},
        {"CR-only line ends", "\"$0\" --quiet", cr_only, open3_words, 1},
        {"two fails, then a pass, appended", "\"$0\" --quiet", open3 + open3 + good,
         "note: the input holds 3 reports; the last is judged\n"
         "verdict: PASS (full test, errors: 0; every pin ok)\n",
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        process::Result r = process::run("/bin/sh", {"-c", c.command, program}, c.input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.exit_status, c.exit_status);
    }
}

TEST_F(DiagnoseCli, JsonIsOneDocumentAndNothingElse)
{
    process::Result r = process::run(program, {"--json"}, report("swap4-5"));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1); // one line
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["verdict"], "fail");
    EXPECT_EQ(doc["test"], "full");
    EXPECT_EQ(doc["errors"], 4);
    EXPECT_EQ(doc["rows"].size(), 13u);
    EXPECT_EQ(doc["rows"][4], nlohmann::json::parse(R"({"driven": 16, "read": 32, "answered": true})"));
    EXPECT_EQ(doc["pins"][4], nlohmann::json::parse(R"({"pin": 4, "status": "reads-other", "with": [5]})"));
    EXPECT_EQ(doc["pins"][5], nlohmann::json::parse(R"({"pin": 5, "status": "reads-other", "with": [4]})"));
    EXPECT_EQ(doc["pins"][0]["status"], "ok");

    process::Result pass = process::run(program, {"--json", "--quiet"}, report("", true));
    EXPECT_EQ(pass.exit_status, 0);
    EXPECT_EQ(nlohmann::json::parse(pass.out)["verdict"], "pass");
}

TEST_F(DiagnoseCli, FilesThatCannotBeReadAndUsageErrorsExit2)
{
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"/nonexistent/run.log"}, "wiretest-diagnose: cannot open /nonexistent/run.log: No such file or directory\n"},
        // An empty $LOG: standard input holds something else.
        {{""}, "wiretest-diagnose: cannot open '': No such file or directory\n"},
        {{"/"}, "wiretest-diagnose: cannot read /: Is a directory\n"},
        {{"--frobnicate"}, "wiretest-diagnose: usage error: unknown option --frobnicate (see --help)\n"},
        {{"-q"}, "wiretest-diagnose: usage error: unknown option -q (see --help)\n"},
        {{"a.log", "b.log"}, "wiretest-diagnose: usage error: more than one file given (see --help)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0]);
        process::Result r = process::run(program, c.args, report(""));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.error);
        EXPECT_EQ(r.exit_status, 2);
    }
}

TEST_F(DiagnoseCli, LostOutputExits2WithTheLastLineOnStandardError)
{
    const std::string lost = "ERROR: can not write to standard output\n";
    std::string pass = file_with(report("")), fail = file_with(report("open3:0")), text = file_with("hello\n");
    struct Case {
        std::string command, err;
    };
    const Case cases[] = {
        {"exec \"$0\" --json \"$1\" >/dev/full", lost},
        {"exec \"$0\" \"$1\" >/dev/full", lost},
        {"exec \"$0\" --quiet \"$2\" >/dev/full", lost},
        {"exec \"$0\" --json \"$1\" >&-", lost},
        {"exec \"$0\" <\"$2\" >&-", lost},
        {"exec \"$0\" --help >/dev/full", lost},
        // A report that cannot be judged says why, then that the words were lost.
        {"exec \"$0\" \"$3\" >/dev/full",
         "wiretest-diagnose: unreadable report: not a wiretest report: no line in it is one wiretest prints\n" +
             lost},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        process::Result r = process::run("/bin/sh", {"-c", c.command, program, pass, fail, text});
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_status, 2);
    }
}

// The bytes of an ERROR: line reach the verdict, standard error and the JSON
// document: printed with each control and each byte outside well-formed UTF-8
// as '?', and in the JSON as well-formed UTF-8 (U+FFFD for each ill-formed
// sequence) with every control escaped.
TEST_F(DiagnoseCli, TextThatIsNotUtf8OrHoldsControlsIsMadeSafe)
{
    // A serial number as the system prints it: its C1 byte shown as '?', 0xFF as it is.
    SetUp();
    sim::attach("WT\xff\x9b");
    sim::inject(sim::fail(sim::Op::OpenEx, 1, FT_DEVICE_NOT_OPENED));
    console::Run run = console::run({"-n0"});
    const std::string fffd = "\xef\xbf\xbd";
    struct Case {
        const char *what;
        std::string raw, shown, in_json; // the name inside "ERROR: FT_OpenEx (...)"
        std::string report;              // when not the ERROR: line alone
    };
    const Case cases[] = {
        {"a serial number from the system", "WT\xff?", "WT??", "WT" + fffd + "?", run.out + run.err},
        {"a byte that is never UTF-8", "\xff", "?", fffd, ""},
        {"an overlong form", "\xc0\xaf", "??", fffd + fffd, ""},
        {"a surrogate", "\xed\xa0\x80", "???", fffd + fffd + fffd, ""},
        {"a cut-off character", "\xe2\x82", "??", fffd, ""},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "????", fffd + fffd + fffd + fffd, ""},
        {"UTF-8 text", "WT\xc3\xa9", "WT\xc3\xa9", "WT\xc3\xa9", ""},
        {"ESC, DEL and C1 controls", "\x1b[2J\x7f\xc2\x9b\x9b\t", "?[2J???\t", "\x1b[2J\x7f\xc2\x9b" + fffd + "\t", ""},
    };
    const std::string reason = "no rows: the test did not run; last error: ERROR: FT_OpenEx (";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string input = c.report.empty() ? "ERROR: FT_OpenEx (" + c.raw + ")\n" : c.report;
        std::string error = "wiretest-diagnose: incomplete report: " + reason + c.shown + ")\n";

        process::Result json = process::run(program, {"--json"}, input);
        EXPECT_EQ(json.exit_status, 2);
        EXPECT_EQ(json.err, error);
        EXPECT_EQ(nlohmann::json::parse(json.out)["reason"], reason + c.in_json + ")");
        for (size_t i = 0; i + 1 < json.out.size(); i++) {
            auto byte = static_cast<unsigned char>(json.out[i]);
            auto next = static_cast<unsigned char>(json.out[i + 1]);
            EXPECT_FALSE(byte < 0x20 || byte == 0x7F || (byte == 0xC2 && next >= 0x80 && next <= 0x9F))
                << "control at " << i << " of " << json.out;
        }

        std::string echo = input;
        for (size_t at = 0; (at = echo.find(c.raw, at)) != std::string::npos; at += c.shown.size())
            echo.replace(at, c.raw.size(), c.shown);
        std::string expected = echo;
        expected += "\nverdict: INCOMPLETE (" + reason + c.shown + "))\n";
        process::Result words = process::run(program, {}, input);
        EXPECT_EQ(words.out, expected);
        EXPECT_EQ(words.err, error);
        EXPECT_EQ(words.exit_status, 2);
    }
}

TEST(DiagnoseCliOptions, HelpAndVersionExit0)
{
    process::Result help = process::run(program, {"--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.out.rfind("Usage: wiretest-diagnose [--json] [--quiet] [FILE]\n", 0), 0u);
    EXPECT_NE(help.out.find("Exit status: 0 pass, 1 fail, 2 cannot judge"), std::string::npos);
    EXPECT_EQ(help.err, "");

    process::Result version = process::run(program, {"--version"});
    EXPECT_EQ(version.exit_status, 0);
    EXPECT_EQ(version.out.rfind("wiretest-diagnose ", 0), 0u);
}

// Reads what a child wrote to fd within limit_ms, or until it has `wanted` bytes.
std::string read_for(int fd, size_t wanted, int limit_ms)
{
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (text.size() < wanted) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()).count();
        pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, int(left)) <= 0)
            break;
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        text.append(buffer, size_t(n));
    }
    return text;
}

TEST_F(DiagnoseCli, EachLineIsEchoedAsSoonAsItIsRead)
{
    std::string text = report("open3:0");
    std::string first = first_lines(text, 17), rest = text.substr(first.size());
    int to_child[2], from_child[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(from_child), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
            close(fd);
        execl(program.c_str(), program.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    // The first row and all before it, then nothing more while the echo is awaited.
    ASSERT_EQ(write(to_child[1], first.data(), first.size()), ssize_t(first.size()));
    EXPECT_EQ(read_for(from_child[0], first.size(), 5000), first);
    ASSERT_EQ(write(to_child[1], rest.data(), rest.size()), ssize_t(rest.size()));
    close(to_child[1]);
    std::string after = read_for(from_child[0], SIZE_MAX, 5000);
    close(from_child[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(after, rest + "\n" + stuck_3 + "verdict: FAIL (full test, errors: 3; 1 pin not ok)\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

#ifdef WIRETEST
// build/wiretest on the virtual USB bus, its standard error mixed in, piped
// into the diagnosis as a shell would.
TEST(DiagnosePipe, FromWiretestOnTheVirtualUsbBus)
{
    const std::string swapped_4_5 =
        "pin 4: reads-other with pin 5 (reads low pin 5 instead of low pin 4: crossed wires, or its net driven "
        "by another pin)\n"
        "pin 5: reads-other with pin 4 (reads low pin 4 instead of low pin 5: crossed wires, or its net driven "
        "by another pin)\n"
        "located: crossed pair on nets 4 and 5\n";
    struct Case {
        const char *board;
        std::string diagnosis;
        int exit_status;
        std::string mixed_in; // standard error's lines where they land among the rows
        std::string err;
    };
    auto untested = [](int rows) {
        std::string why = std::to_string(rows) + (rows == 1 ? " row" : " rows") +
                          " without an answer and no wiring fault among the answered rows: test again";
        return std::pair("verdict: INCOMPLETE (" + why + ")\n", "wiretest-diagnose: incomplete test: " + why + "\n");
    };
    const auto [one_dropped, one_dropped_err] = untested(1);
    const auto [silent, silent_err] = untested(13);
    const auto [unplugged, unplugged_err] = untested(9);
    const Case cases[] = {
        {"board=", "verdict: PASS (full test, errors: 0; every pin ok)\n", 0, "", ""},
        {"board=open3:0", stuck_3 + "verdict: FAIL (full test, errors: 3; 1 pin not ok)\n", 1, "", ""},
        // A board that was not measured, in part or at all, is neither passed nor failed.
        {"board=;drop_read=5", one_dropped, 2, "", one_dropped_err},
        {"board=open3:0;silent=1", silent, 2, "", silent_err},
        // Unplugged at the fifth row's drive, the 15th write: each later row
        // has its status name.
        {"board=;unplug_at_out=15", unplugged, 2, "\t00001000\t00001000\nFT_DEVICE_NOT_FOUND\n", unplugged_err},
        // The 22nd write asks for the high byte after 0x80 is driven, and fails.
        {"board=swap4-5;fail_out=22",
         swapped_4_5 + "verdict: FAIL (full test, errors: 5; 2 pins not ok; 1 row without an answer)\n", 1,
         "\t01000000\t01000000\nFT_IO_ERROR\n\t10000000\t11111111\n", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board);
        std::vector<std::string> env = {"LD_LIBRARY_PATH=" VUSB_DIR,
                                        std::string("WIRETEST_VUSB=chips=6010:WTPIPE1;") + c.board};
        process::Result alone = process::run(WIRETEST, {"-n0", "-delay"}, std::nullopt, env);
        process::Result piped = process::run(
            "/bin/sh", {"-c", std::string("'") + WIRETEST + "' -n0 -delay 2>&1 | '" + program + "'"},
            std::nullopt, env);
        if (c.mixed_in.empty()) {
            EXPECT_EQ(alone.err, "");
            EXPECT_EQ(piped.out, alone.out + "\n" + c.diagnosis);
        } else {
            EXPECT_NE(piped.out.find(c.mixed_in), std::string::npos) << piped.out;
            EXPECT_EQ(piped.out.substr(piped.out.size() - c.diagnosis.size() - 1), "\n" + c.diagnosis);
        }
        EXPECT_EQ(piped.err, c.err);
        EXPECT_EQ(piped.exit_status, c.exit_status);
    }
}
#endif

} // namespace
