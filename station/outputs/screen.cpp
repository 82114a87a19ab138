#include "screen.h"

#include "printable.h"
#include "terminal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace station {
namespace {

// Letters five rows high, for a result read from across the bench.
const char *big_letter(char c, int row)
{
    static const char *const rows[][5] = {
        /* A */ {" ### ", "#   #", "#####", "#   #", "#   #"},
        /* C */ {" ####", "#    ", "#    ", "#    ", " ####"},
        /* D */ {"#### ", "#   #", "#   #", "#   #", "#### "},
        /* E */ {"#####", "#    ", "#### ", "#    ", "#####"},
        /* F */ {"#####", "#    ", "#### ", "#    ", "#    "},
        /* I */ {"#####", "  #  ", "  #  ", "  #  ", "#####"},
        /* L */ {"#    ", "#    ", "#    ", "#    ", "#####"},
        /* N */ {"#   #", "##  #", "# # #", "#  ##", "#   #"},
        /* O */ {" ### ", "#   #", "#   #", "#   #", " ### "},
        /* P */ {"#### ", "#   #", "#### ", "#    ", "#    "},
        /* R */ {"#### ", "#   #", "#### ", "#  # ", "#   #"},
        /* S */ {" ####", "#    ", " ### ", "    #", "#### "},
        /* T */ {"#####", "  #  ", "  #  ", "  #  ", "  #  "},
        /* W */ {"#   #", "#   #", "# # #", "## ##", "#   #"},
    };
    const char *order = "ACDEFILNOPRSTW";
    for (int i = 0; order[i]; i++)
        if (order[i] == c)
            return rows[i][row];
    return "     ";
}

} // namespace

Screen::Screen(bool operator_view)
    : live_(one_terminal() && enable_terminal_escapes(stderr)),
      operator_(operator_view && is_terminal(stdout) && enable_terminal_escapes(stdout)),
      colour_(true)
{
    // no-color.org: set and not empty turns the colours off.
    const char *no_color = std::getenv("NO_COLOR");
    colour_ = no_color == nullptr || no_color[0] == '\0';
}

int Screen::add_board(const std::string &label)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (operator_ && result_shown_) {
        // The next board is here: the last result makes way.
        erase();
        fputs("\x1b[H\x1b[2J", stdout);
        fflush(stdout);
        result_shown_ = false;
    }
    int board = next_board_++;
    boards_[board] = {label, "starting"};
    draw();
    return board;
}

void Screen::progress(int board, const std::string &text)
{
    // A soak's run takes well under a millisecond: redrawn for each, the
    // terminal would hold the soak back. The text kept is drawn with the
    // next redraw.
    const auto redraw_interval = std::chrono::milliseconds(100);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = boards_.find(board);
    if (it == boards_.end())
        return;
    it->second.progress = text;
    if (std::chrono::steady_clock::now() - drawn_at_ >= redraw_interval)
        draw();
}

void Screen::finished(int board, const std::string &line, const BoardResult &result)
{
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.erase(board);
    erase();
    if (operator_)
        show_result(result);
    else
        fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
    draw();
}

void Screen::message(const std::string &line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    erase();
    // Whatever a message quotes (a file's name, a key, a database's words)
    // reaches the terminal as text, never as its escape sequences.
    fprintf(stderr, "wiretest-station: %s\n", companions::printable(line).c_str());
    draw();
}

void Screen::summary(const std::string &line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    erase();
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

void Screen::waiting(const std::string &where)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!operator_ || where == waiting_)
        return;
    waiting_ = where;
    erase();
    fprintf(stdout, "waiting for a board %s\n", companions::printable(where).c_str());
    fflush(stdout);
    draw();
}

void Screen::erase()
{
    if (live_ && drawn_ > 0)
        fprintf(stderr, "\x1b[%dA\r\x1b[J", drawn_);
    drawn_ = 0;
}

void Screen::draw()
{
    if (!live_)
        return;
    erase();
    for (const auto &[number, b] : boards_) {
        fprintf(stderr, "testing %s: %s\n", b.label.c_str(), b.progress.c_str());
        drawn_++;
    }
    fflush(stderr);
    drawn_at_ = std::chrono::steady_clock::now();
}

void Screen::records_lost(const std::string &why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!operator_)
        return;
    erase();
    fputs("\x1b[H\x1b[2J", stdout);
    show_big("RECORDS", "\x1b[1;31m");
    show_big("NOT WRITTEN", "\x1b[1;31m");
    fprintf(stdout, "\n  %s\n  The station has stopped: make the records folder writable, then start it again.\n\n",
            companions::printable(why).c_str());
    fflush(stdout);
}

// Words in letters five rows high, each line of them with a blank line above.
void Screen::show_big(const std::string &words, const char *colour)
{
    const char *on = colour_ ? colour : "";
    const char *off = colour_ ? "\x1b[0m" : "";
    fputc('\n', stdout);
    for (int row = 0; row < 5; row++) {
        std::string text = "  ";
        for (char c : words)
            text += std::string(big_letter(c, row)) + "  ";
        fprintf(stdout, "%s%s%s\n", on, text.c_str(), off);
    }
}

void Screen::show_result(const BoardResult &result)
{
    // Green, red, and yellow for a board to be tested again: never mistaken
    // for a FAIL across the bench.
    const char *colour = result.outcome == Outcome::pass   ? "\x1b[1;32m"
                         : result.outcome == Outcome::fail ? "\x1b[1;31m"
                                                           : "\x1b[1;33m";
    show_big(outcome_name(result.outcome), colour);
    const char *on = colour_ ? colour : "", *off = colour_ ? "\x1b[0m" : "";
    const Channel &b = result.board;
    fprintf(stdout, "\n  %s at %s, channel %c\n", companions::printable(result.dut_id()).c_str(), b.location.c_str(), b.channel);
    if (result.outcome == Outcome::fail)
        for (const std::string &line : pin_lines(result))
            fprintf(stdout, "  %s\n", line.c_str());
    if (result.outcome == Outcome::error)
        fprintf(stdout, "  %s: %s%s%s\n", companions::printable(result.reason).c_str(), on, what_to_do(result.reason),
                off);
    if (!result.cycle_note.empty())
        fprintf(stdout, "  %s\n", result.cycle_note.c_str());
    // In yellow, as a board to look at again: its label may be on the wrong board.
    if (result.label_reused)
        fprintf(stdout, "  %s%s%s\n", colour_ ? "\x1b[1;33m" : "", label_reused_note(result).c_str(), off);
    fputc('\n', stdout);
    result_shown_ = true;
    waiting_.clear(); // shown again below the result
}

} // namespace station
