#include "wait.h"

#include "device_link/ft_locations.h"
#include "interrupts.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <thread>

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
};

// Between two listings a chip can be unplugged and another plugged in its
// place; its serial number or its USB address tells it from the one before.
bool same_chip(const Slot &slot, const Channel &c)
{
    return slot.present && slot.serial == c.serial && slot.instance == c.instance;
}

// The labels a barcode scanner types, one per line, read on a thread of
// their own so that the loop stays free to see boards and interrupts.
class LabelReader {
public:
    explicit LabelReader(Screen &screen) : screen_(screen), thread_([this] { read(); }) { thread_.detach(); }

    // The next label, if one is waiting; at_end once input has ended.
    bool take(std::string &label)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (labels_.empty())
            return false;
        label = labels_.front();
        labels_.pop_front();
        return true;
    }
    bool at_end()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return ended_ && labels_.empty();
    }
    bool waiting()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return !labels_.empty();
    }

private:
    // Scanners end a label with CR, LF or CR LF: each ends one label, and
    // the LF of a CR LF ends none.
    void read()
    {
        std::string line;
        bool after_cr = false;
        for (int c; (c = getchar()) != EOF;) {
            bool lf_of_crlf = c == '\n' && after_cr;
            after_cr = c == '\r';
            if (lf_of_crlf)
                continue;
            if (c != '\n' && c != '\r') {
                line += char(c);
                continue;
            }
            if (line.find_first_not_of(" \t") == std::string::npos) {
                screen_.message("an empty label: scan the board's label again");
                line.clear();
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            labels_.push_back(line);
            line.clear();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }

    Screen &screen_;
    std::mutex mutex_;
    std::deque<std::string> labels_;
    bool ended_ = false;
    std::thread thread_;
};

// A board's test on a thread of its own. Each is joined as soon as it is
// done: a day's loop holds only the threads of the boards under test, not
// the stack of every board it tested.
struct BoardThread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

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
    std::unique_ptr<LabelReader> labels;
    if (wait.scan) {
        labels = std::make_unique<LabelReader>(session.screen);
        where = "after its label is scanned, " + where;
    }

    std::map<std::string, Slot> slots; // by location and channel
    std::vector<BoardThread> tests;
    int started = 0;
    bool hotplug = true;
    std::string error;
    for (bool first = true;; first = false) {
        join_finished(tests);
        if (interrupted() || (wait.count > 0 && started >= wait.count) || (labels && labels->at_end()) ||
            session.records_lost())
            break;
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
            if (!same_chip(slot, c)) // arrived: a new chip, to be tested once
                slot = Slot{true, false, now, c.serial, c.instance};
            // Watching every port, as --all passes over a chip whose wiring
            // cannot be tested; one named by --port is an ERROR.
            if (!slot.tested && options.selection.ports.empty() && !untestable_reason(c).empty()) {
                slot.tested = true;
                session.screen.message(passed_over_note(c));
            }
            if (!slot.tested && now - slot.seen_at < settle_time)
                next_settled = std::min(next_settled, slot.seen_at + settle_time);
            std::string label;
            bool may_start = !slot.tested && now - slot.seen_at >= settle_time &&
                             (wait.count == 0 || started < wait.count) && (!labels || labels->take(label));
            if (may_start) {
                slot.tested = true;
                started++;
                auto done = std::make_shared<std::atomic<bool>>(false);
                tests.push_back({std::thread([&session, c, label, done] {
                                     session.test(c, label);
                                     *done = true;
                                 }),
                                 done});
            }
            seen[key] = slot;
        }
        slots = seen; // a chip no longer listed was unplugged: its slot starts anew
        session.screen.waiting(where);

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
    return session.end();
}

} // namespace station
