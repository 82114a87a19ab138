#include "wait.h"

#include "device_link/ft_locations.h"
#include "interrupts.h"
#include "terminal.h"
#include "printable.h"
#include "slot_labels.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <utility>


namespace station {
namespace {

using Clock = std::chrono::steady_clock;

// A chip that has just arrived may not answer for a few hundred ms while the
// system binds its drivers: it is tested once it has stayed this long.
const auto settle_time = std::chrono::milliseconds(300);
// Where the driver tells of no arrivals, the listing is read this often.
const auto poll_interval = std::chrono::milliseconds(250);

// A location under watch: whether a chip is there, which one, since when,
// and whether that chip was tested.
struct Slot {
    bool present = false;
    bool tested = false;
    Clock::time_point seen_at;
    std::string serial;
    uint32_t instance = 0;
    Channel board;     // as listed when it arrived: to test it again where it sits
    std::string label; // its scanned label, kept for a retest
    // Its last attempt, as its test thread returns it; a retest counts on.
    std::shared_ptr<std::atomic<int>> attempts = std::make_shared<std::atomic<int>>(0);
};

// Between two listings a chip can be unplugged and another plugged in its
// place; its serial number or its USB address tells it from the one before.
bool same_chip(const Slot &slot, const Channel &c)
{
    return slot.present && slot.serial == c.serial && slot.instance == c.instance;
}

// The lines of standard input (a barcode scanner's labels, an operator's
// commands), read on a thread of their own so that the loop stays free to
// see boards and interrupts. Its memory stays bounded whatever comes: a
// line longer than a label or command ever is is refused, and the reader
// waits while many lines wait to be taken.
class LineReader {
public:
    // The thread keeps the lines' state as long as it reads: it is never
    // joined (a read of a terminal may never end), and the loop that took
    // its lines may end before it does.
    LineReader() : shared_(std::make_shared<Shared>())
    {
        std::thread([shared = shared_] { read(*shared); }).detach();
    }

    static constexpr size_t longest_line = 4096;

    // The next line, if one is waiting.
    bool take(std::string &line)
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        if (shared_->lines.empty())
            return false;
        line = shared_->lines.front();
        shared_->lines.pop_front();
        shared_->room.notify_one();
        return true;
    }
    // How many lines were refused as too long since the last call.
    int take_refused()
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return std::exchange(shared_->refused, 0);
    }
    // Input has ended and every line was taken.
    bool at_end()
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        return shared_->ended && shared_->lines.empty();
    }

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable room;
        std::deque<std::string> lines;
        int refused = 0;
        bool ended = false;
    };
    static constexpr size_t most_waiting_lines = 256;

    // Scanners end a label with CR, LF or CR LF: each ends one line, and
    // the LF of a CR LF ends none.
    static void read(Shared &shared)
    {
        std::string line;
        bool after_cr = false, too_long = false;
        for (int c; (c = getchar()) != EOF;) {
            bool lf_of_crlf = c == '\n' && after_cr;
            after_cr = c == '\r';
            if (lf_of_crlf)
                continue;
            if (c != '\n' && c != '\r') {
                if (line.size() < longest_line)
                    line += char(c);
                else
                    too_long = true; // read to its end, and kept no further
                continue;
            }
            std::unique_lock<std::mutex> lock(shared.mutex);
            shared.room.wait(lock, [&] { return shared.lines.size() < most_waiting_lines; });
            if (too_long)
                shared.refused++;
            else
                shared.lines.push_back(line);
            line.clear();
            too_long = false;
        }
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.ended = true;
    }

    std::shared_ptr<Shared> shared_;
};

// Without --scan, standard input brings only commands, and a station may be
// started where it has none to give: at the end of a file or /dev/null it
// ends at once. A terminal is read only while the station is in its
// foreground: a read in the background would stop the station.
bool reads_commands() { return standard_input_in_foreground(); }

// A board's test on a thread of its own. Each is joined as soon as it is
// done: a day's loop holds only the threads of the boards under test, not
// the stack of every board it tested.
struct BoardThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
    std::string key; // its slot's
};

bool under_test(const std::vector<BoardThread> &tests, const std::string &key)
{
    for (const BoardThread &t : tests)
        if (t.key == key && !*t.done)
            return true;
    return false;
}

void join_finished(std::vector<BoardThread> &tests)
{
    auto finished = [](BoardThread &t) {
        if (!*t.done)
            return false;
        t.thread.join();
        return true;
    };
    tests.erase(std::remove_if(tests.begin(), tests.end(), finished), tests.end());
}

bool selected(const Channel &c, const Selection &selection)
{
    if (selection.ports.empty())
        return c.channel == selection.channel;
    for (size_t i = 0; i < selection.ports.size(); i++)
        if (selection.ports[i] == c.location && port_channel(selection, i) == c.channel)
            return true;
    return false;
}

} // namespace

int wait_station(const RunOptions &options, const WaitOptions &wait)
{
    // --json prints the records, whatever standard output is.
    Session session(options, !options.json);
    std::vector<Channel> channels;
    if (!session.start(channels))
        return exit_station;
    std::string where = options.selection.ports.empty() ? "at any port" : [&] {
        std::string text = "at";
        for (size_t i = 0; i < options.selection.ports.size(); i++)
            text += (i == 0 ? " " : ", ") + options.selection.ports[i];
        return text;
    }();
    for (size_t i = 0; i < options.selection.ports.size(); i++) {
        Channel at;
        at.location = options.selection.ports[i];
        at.channel = port_channel(options.selection, i);
        session.announce({SlotEvent::watched, at.location, at.channel, session.slot_name(at)});
    }
    std::unique_ptr<LineReader> input;
    if (wait.scan || reads_commands())
        input = std::make_unique<LineReader>();
    if (wait.scan)
        where = "after its label is scanned, " + where;
    SlotLabels labels(
        named_slots(options), wait.scan, options.selection.channel,
        [&session](const NamedSlot &slot, const std::string &label) {
            SlotEvent event{SlotEvent::label_waiting, slot.location, slot.channel,
                            session.options.fixture.slots.empty() ? "" : slot.name};
            event.label = label;
            session.announce(event);
        },
        [&session](const std::string &line) { session.screen.message(line); });

    std::map<std::string, Slot> slots; // by location and channel
    std::map<std::string, Channel> left; // the tested boards unplugged since, by their slots
    std::vector<BoardThread> tests;
    auto start_test = [&](const Channel &c, const std::string &key, const Slot &slot, int first_attempt) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        tests.push_back({std::thread([&session, c, label = slot.label, attempts = slot.attempts, first_attempt,
                                      done] {
                             *attempts = session.test(c, label, false, first_attempt);
                             *done = true;
                         }),
                         done, key});
    };
    int started = 0;
    bool hotplug = true;
    std::string error;
    for (bool first = true;; first = false) {
        join_finished(tests);
        // With --scan the station ends with its input, once no label waits.
        bool input_done = wait.scan && input->at_end() && !labels.any_waiting();
        if (interrupted() || (wait.count > 0 && started >= wait.count) || input_done || session.records_lost())
            break;
        std::vector<Retest> retests;
        for (std::string line; input && input->take(line);)
            if (std::optional<Retest> retest = labels.hear(line))
                retests.push_back(*retest);
        if (int refused = input ? input->take_refused() : 0; refused > 0)
            session.screen.message(std::to_string(refused) + (refused == 1 ? " line" : " lines") +
                                   " of standard input refused: longer than " +
                                   std::to_string(LineReader::longest_line / 1024) +
                                   " KiB, where a label or a command is one short line");
        if (!first && !list_channels(channels, error)) {
            session.screen.message(error);
            channels.clear();
        }
        Clock::time_point now = Clock::now(), next_settled = Clock::time_point::max();
        std::map<std::string, Slot> seen;
        for (const Channel &c : channels) {
            if (!selected(c, options.selection))
                continue;
            std::string key = c.location + ' ' + c.channel;
            Slot slot = slots[key];
            if (!same_chip(slot, c)) { // arrived: a new chip, to be tested once
                slot = Slot{};
                slot.present = true;
                slot.seen_at = now;
                slot.serial = c.serial;
                slot.instance = c.instance;
                slot.board = c;
                left.erase(key);
            }
            // Watching every port, as --all passes over a chip whose wiring
            // cannot be tested; one named by --port is an ERROR.
            if (!slot.tested && options.selection.ports.empty() && !untestable_reason(c).empty()) {
                slot.tested = true;
                session.screen.message(passed_over_note(c));
            }
            // One test at a slot at a time. A board whose EEPROM its test
            // wrote comes back at once under its new serial: the same board.
            bool slot_busy = !slot.tested && under_test(tests, key);
            if (!slot_busy && !slot.tested && session.take_reenumerated(c))
                slot.tested = true;
            if (!slot.tested && now - slot.seen_at < settle_time)
                next_settled = std::min(next_settled, slot.seen_at + settle_time);
            // A board waits for its slot's label; a label, for its slot's board.
            bool may_start = !slot_busy && !slot.tested && now - slot.seen_at >= settle_time &&
                             (wait.count == 0 || started < wait.count) && labels.take(c.location, c.channel, slot.label);
            if (may_start) {
                slot.tested = true;
                started++;
                start_test(c, key, slot, 1);
            }
            seen[key] = slot;
        }
        for (const auto &[key, slot] : slots)
            if (slot.tested && !seen.count(key))
                left[key] = slot.board;
        slots = seen; // a chip no longer listed was unplugged: its slot starts anew
        for (const Retest &retest : retests) {
            std::string key = retest.location + ' ' + retest.channel;
            auto slot = slots.find(key);
            std::string refused;
            if (slot == slots.end() && left.count(key))
                refused = "its board " + board_words(left[key]) + " was unplugged; plugged in again, it is tested";
            else if (slot == slots.end() || !slot->second.tested)
                refused = "no board tested there";
            else if (under_test(tests, key))
                refused = "its board is under test";
            if (!refused.empty()) {
                session.screen.message("retest " + companions::printable(retest.name) + ": " + refused);
                continue;
            }
            start_test(slot->second.board, key, slot->second, std::max(1, slot->second.attempts->load()) + 1);
        }
        std::string shown = where;
        if (std::string labels_waiting = labels.waiting_text(); !labels_waiting.empty())
            shown.append("; ").append(labels_waiting);
        session.screen.waiting(shown);

        // Until something changes, a chip settles, or it is time to look again.
        auto timeout = std::min<Clock::duration>(poll_interval, next_settled - Clock::now());
        auto ms = uint32_t(std::max<int64_t>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count() + 1));
        int changed = 0;
        if (hotplug && ft_wait_for_change(ms, &changed) == FT_NOT_SUPPORTED)
            hotplug = false;
        if (!hotplug)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    for (BoardThread &t : tests)
        t.thread.join();
    // Boards that sat in their slots, never tested for want of a label,
    // are named: none is taken for tested.
    std::string unlabelled;
    for (const auto &[key, slot] : slots) {
        if (!wait.scan || slot.tested)
            continue;
        std::string name = session.slot_name(slot.board);
        unlabelled += (unlabelled.empty() ? "" : "; ") +
                      (name.empty() ? board_words(slot.board)
                                    : "slot " + companions::printable(name) + " (" + board_words(slot.board) + ")");
    }
    std::vector<std::string> notes;
    if (!unlabelled.empty()) {
        notes.push_back("not tested, no label scanned: " + unlabelled);
        if (options.json) // no summary line
            session.screen.message(notes.back());
    }
    return session.end(notes);
}

} // namespace station
