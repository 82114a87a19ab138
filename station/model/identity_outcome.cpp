// A programming's failure in words, for the record and the operator.
#include "identity_outcome.h"

#include "device_link/status_report.h"

#include <cstdio>

namespace identity {

namespace {

std::string hex_word(int word)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", unsigned(word));
    return text;
}

} // namespace

std::string Failure::describe() const
{
    std::string text = step;
    if (word >= 0)
        text += " at word " + hex_word(word);
    if (status != FT_OK) {
        const char *name = ft_status_name(status);
        text += ": " + (name ? std::string(name) : "status " + std::to_string(status));
    }
    if (!detail.empty())
        text += ": " + detail;
    return text;
}

} // namespace identity
