#include "interrupts.h"

#include "interrupts_detail.h"

namespace station {

using namespace interrupts_detail;

std::atomic<int> interrupts_detail::interrupts{0};
std::atomic<bool> interrupts_detail::soak_stop{false};

namespace {

// Plain atomics of fixed size: a signal handler may read and write them.
const int max_children = 1024;
std::atomic<long long> children[max_children];
std::atomic<bool> announced{false};
// Records being written, and whether the second interrupt waits for them to
// exit: a board that had its result keeps its line and its row.
std::atomic<int> records_writing{0};
std::atomic<bool> exit_when_written{false};
std::function<void(int)> announcer; // set before any board's process starts

int children_running()
{
    int n = 0;
    for (auto &child : children)
        n += child.load() != 0;
    return n;
}

} // namespace

void interrupts_detail::signal_children(bool kill_them)
{
    for (auto &child : children) {
        long long id = child.load();
        if (id != 0)
            signal_child(id, kill_them);
    }
}

void interrupts_detail::stop_at_once()
{
    signal_children(true);
    exit_when_written = true;
    if (records_writing.load() == 0)
        exit_interrupted();
}

bool interrupted() { return interrupts.load() > 0; }

bool interrupted_twice() { return interrupts.load() > 1; }

bool soak_should_stop() { return soak_stop.load(); }

bool begin_record_write()
{
    records_writing.fetch_add(1);
    if (interrupts.load() <= 1)
        return true;
    end_record_write();
    return false;
}

void end_record_write()
{
    if (records_writing.fetch_sub(1) == 1 && exit_when_written.load())
        exit_interrupted();
}

void set_interrupt_announcer(std::function<void(int boards)> announce) { announcer = std::move(announce); }

void announce_interrupt()
{
    int boards = children_running();
    if (boards > 0 && announcer && !announced.exchange(true))
        announcer(boards);
}

void register_child(long long id)
{
    for (auto &child : children) {
        long long expected = 0;
        if (child.compare_exchange_strong(expected, id))
            return;
    }
}

void unregister_child(long long id)
{
    for (auto &child : children) {
        long long expected = id;
        if (child.compare_exchange_strong(expected, 0))
            return;
    }
}

} // namespace station
