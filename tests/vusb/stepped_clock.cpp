// The stepped clock of the virtual bus (vusb_control.h).
#include "stepped_clock.h"
#include "vusb_control.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>

namespace stepped_clock {

namespace {

struct State {
    std::atomic<bool> stepped{false};
    std::mutex lock; // guards what follows
    std::condition_variable wake;
    Clock::time_point time{};
    int taking_part = 0; // threads counted
    int waiting = 0;     // of them, in a wait not yet woken
    int joining = 0;     // of them, waiting in a join for one that ends
    int ended_unjoined = 0;
    std::multiset<Clock::time_point> deadlines; // of the waiting
    unsigned long wakes = 0;
};

// Never destroyed: a reader thread may still wait as the process exits.
State &state()
{
    static State &s = *new State;
    return s;
}

using Hold = std::unique_lock<std::mutex>;

// Every waiter looks again at what it waits for.
void wake_all(State &s)
{
    s.wakes++;
    s.waiting = 0;
    s.deadlines.clear();
    s.wake.notify_all();
}

// When every thread taking part waits, time goes on to the first deadline.
void step_if_all_wait(State &s)
{
    if (s.waiting == 0 || s.waiting + s.joining < s.taking_part)
        return;
    if (*s.deadlines.begin() == Clock::time_point::max()) {
        std::fprintf(stderr, "virtual USB: stepped clock: every thread waits, none for a time\n");
        std::abort();
    }
    s.time = std::max(s.time, *s.deadlines.begin());
    wake_all(s);
}

Clock::time_point from_ns(long long ns)
{
    return ns < 0 ? Clock::time_point::max()
                  : Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns)));
}

} // namespace

Clock::time_point now()
{
    State &s = state();
    if (!s.stepped)
        return Clock::now();
    std::lock_guard<std::mutex> hold(s.lock);
    return s.time;
}

void wait_until(Hold &hold, std::condition_variable &changed, Clock::time_point deadline)
{
    if (state().stepped) {
        vusb_clock_wait(
            deadline == Clock::time_point::max()
                ? -1
                : std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count(),
            [](void *h) { static_cast<Hold *>(h)->unlock(); }, [](void *h) { static_cast<Hold *>(h)->lock(); },
            &hold);
    } else if (deadline == Clock::time_point::max()) {
        changed.wait(hold);
    } else {
        changed.wait_until(hold, deadline);
    }
}

void notify(std::condition_variable &changed)
{
    changed.notify_all();
    if (state().stepped)
        vusb_clock_notify();
}

} // namespace stepped_clock

using namespace stepped_clock;

extern "C" {

void vusb_clock_stepped(int on)
{
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    s.time = Clock::now();
    s.taking_part = on ? 1 : 0;
    s.joining = s.ended_unjoined = 0;
    wake_all(s);
    s.stepped = on != 0;
}

long long vusb_clock_now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now().time_since_epoch()).count();
}

void vusb_clock_wait(long long deadline_ns, void (*unlock)(void *), void (*relock)(void *), void *lock)
{
    State &s = state();
    Hold hold(s.lock);
    Clock::time_point deadline = from_ns(deadline_ns);
    if (s.stepped && deadline <= s.time)
        return;
    // The clock's lock is taken before the caller's is let go: a wake by a
    // thread that then takes the caller's lock is not missed.
    if (unlock)
        unlock(lock);
    unsigned long seen = s.wakes;
    if (s.stepped) {
        s.waiting++;
        s.deadlines.insert(deadline);
        step_if_all_wait(s);
        s.wake.wait(hold, [&] { return s.wakes != seen; });
    }
    hold.unlock();
    if (relock)
        relock(lock);
}

void vusb_clock_sleep_ms(unsigned ms)
{
    if (!state().stepped) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    long long until = vusb_clock_now_ns() + (long long)ms * 1000000;
    while (vusb_clock_now_ns() < until) // woken by any notify
        vusb_clock_wait(until, nullptr, nullptr, nullptr);
}

void vusb_clock_notify()
{
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.stepped)
        wake_all(s);
}

void vusb_clock_thread_begins()
{
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.stepped)
        s.taking_part++;
}

void vusb_clock_thread_ends()
{
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.stepped)
        return;
    s.taking_part--;
    if (s.joining > 0)
        s.joining--; // the joiner runs again
    else
        s.ended_unjoined++;
    step_if_all_wait(s);
}

void vusb_clock_joining()
{
    State &s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (!s.stepped)
        return;
    if (s.ended_unjoined > 0) {
        s.ended_unjoined--; // it has ended: the join returns at once
        return;
    }
    s.joining++;
    step_if_all_wait(s);
}

} // extern "C"
