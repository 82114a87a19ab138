// The fuzzer's bytes read as the choices of one run. Every reader takes what
// it needs from the front; once the bytes run out every reader yields zero,
// so a short input still makes a whole, quiet run.
#pragma once

#include "device_link/ft_driver.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

class FuzzInput {
public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    uint32_t u32()
    {
        uint32_t value = 0;
        for (int i = 0; i < 4; i++)
            value = value << 8 | byte();
        return value;
    }

    // Mostly FT_OK; otherwise a named status, a value beyond the names, or any.
    FT_STATUS status()
    {
        uint8_t b = byte();
        if (b < 0xC0)
            return FT_OK;
        if (b < 0xF0)
            return FT_STATUS(b - 0xC0); // 0 to 47
        return u32();
    }

    // Mostly a few bytes; sometimes up to 63, a 16-bit or any 32-bit count.
    uint32_t count()
    {
        uint8_t b = byte();
        if (b < 0x80)
            return b & 0x03u;
        if (b < 0xC0)
            return b & 0x3Fu;
        if (b < 0xF0)
            return uint32_t(byte()) << 8 | byte();
        return u32();
    }

    // Up to max bytes, its length chosen by the input.
    std::string text(size_t max)
    {
        size_t length = byte() % (max + 1);
        std::string t;
        for (size_t i = 0; i < length && at_ < size_; i++)
            t += char(byte());
        return t;
    }

    std::string rest()
    {
        std::string t(reinterpret_cast<const char *>(data_ + at_), size_ - at_);
        at_ = size_;
        return t;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// A broken promise of the system under fuzzing: say which, and stop the
// process so that the fuzzer keeps the input. Writes to the file descriptor,
// as the C streams may be captured at the time.
inline void require(bool holds, const char *what)
{
    if (holds)
        return;
    bool said = write(2, what, std::char_traits<char>::length(what)) >= 0 && write(2, "\n", 1) >= 0;
    (void)said; // the input is kept either way
    abort();
}

// No exchange reads more than queue_count / 65536 + 1 <= 65537 times, and a
// run has fewer than 32 exchanges of at most three other calls each: a bound
// on the driver calls of one run that no input can stretch.
constexpr size_t max_calls_per_run = 32 * (65537 + 3) + 16;
// A full run waits 60 times.
constexpr size_t max_waits_per_run = 60;
