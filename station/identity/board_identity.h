// A board's identity from the product profile and the line's serials: the
// programming transaction with its serial journalled before the chip is
// written and settled after it (programmed, or spent).
#pragma once

#include "product_profile.h"
#include "programming.h"
#include "serials.h"

namespace identity {

// request's location, channel, chip, reprogram and comeback time are the
// caller's; the strings and the serial come from profile and serials.
Outcome program_board(Request request, const ProductProfile &profile, const SerialContext &context,
                      SerialAllocator &serials);

} // namespace identity
