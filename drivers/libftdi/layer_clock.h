// The clock the libftdi1 layer's receive side keeps time by: the steady
// clock, unless a test puts another in its place before it opens a channel.
// The tests' virtual USB bus has a stepped clock, which moves only when every
// thread taking part waits: it must hear of each wait and wake of the layer's
// reader and callers, and of each reader thread's start and end, so the hooks
// carry those too. Nothing but a test sets them; with none set, the layer
// waits on its condition variables as ever.
#ifndef WIRETEST_LIBFTDI_LAYER_CLOCK_H
#define WIRETEST_LIBFTDI_LAYER_CLOCK_H

#include <chrono>
#include <mutex>

namespace libftdi_layer {

using Clock = std::chrono::steady_clock;

struct ClockHooks {
    Clock::time_point (*now)();
    // Let go of hold until woken or deadline (max: none); may return sooner.
    void (*wait_until)(std::unique_lock<std::mutex> &hold, Clock::time_point deadline);
    void (*wake)();          // after every notify of the layer's waiters
    void (*thread_begins)(); // by the thread that starts a reader
    void (*thread_ends)();   // by the reader, as it ends
    void (*joining)();       // by the thread about to join a reader
};

// The channels opened after this call keep time by hooks (null: the steady
// clock) until they are closed.
void use_clock(const ClockHooks *hooks);

} // namespace libftdi_layer

#endif
