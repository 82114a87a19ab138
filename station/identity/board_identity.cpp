// The programming of a board with a serial of the line.
#include "board_identity.h"

namespace identity {

Outcome program_board(Request request, const ProductProfile &profile, const SerialContext &context,
                      SerialAllocator &serials)
{
    request.profile = {profile.manufacturer, profile.product, ""};
    request.allocate = [&](std::string &error) {
        std::string serial;
        auto serial_of = [&](long long seq, std::string &why) {
            return expand_serial(profile.serial_template, seq, context, why);
        };
        return serials.take(series_of(profile), request.location, serial_of, serial, error) ? serial : "";
    };
    Outcome out = program(request);
    if (!out.allocated.empty()) {
        std::string why;
        if (!serials.settle(out.allocated, out.failure.failed() ? "spent" : "programmed", why))
            out.advice += (out.advice.empty() ? "" : "; ") + std::string("the serial's fate was not recorded: ") + why;
    }
    return out;
}

} // namespace identity
