// The virtual bus's clock: the steady clock, or the tests' stepped clock
// (vusb_control.h says how it steps). The bus reads the time, waits and
// wakes its waiters only through these.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace stepped_clock {

using Clock = std::chrono::steady_clock;

Clock::time_point now();

// Wait on changed, hold released, until notify() or deadline (max: none);
// it may return sooner: the caller looks again at what it waits for.
void wait_until(std::unique_lock<std::mutex> &hold, std::condition_variable &changed, Clock::time_point deadline);
void notify(std::condition_variable &changed);

} // namespace stepped_clock
