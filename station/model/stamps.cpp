#include "stamps.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>

namespace station {

std::string new_uuid()
{
    thread_local std::mt19937_64 random{[] {
        std::random_device device;
        return (uint64_t(device()) << 32) ^ device();
    }()};
    uint64_t high = random(), low = random();
    high = (high & ~0xF000ull) | 0x4000ull;              // version 4
    low = (low & ~(0xC0ull << 56)) | (0x80ull << 56);   // the variant of RFC 4122
    char text[37];
    snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", unsigned(high >> 32), unsigned(high >> 16) & 0xFFFF,
             unsigned(high) & 0xFFFF, unsigned(low >> 48), (unsigned long long)(low & 0xFFFFFFFFFFFFull));
    return text;
}

int64_t now_millis()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace station
