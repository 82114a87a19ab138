// The product a line programs into its boards' EEPROMs: the strings, the
// serial template, and when to program. Read from a [product] table (in the
// fixture file, or a TOML file of its own) and checked then against what
// an EEPROM holds, never at the board.
#pragma once

#include <ctime>
#include <string>

namespace identity {

struct ProductProfile {
    std::string manufacturer;
    std::string product;
    // {yy} {yyyy} {ww} (ISO week) {mm} {dd} {lot} {station} and the counter
    // {seq}, or {seq:06} padded with zeros to 6 digits.
    std::string serial_template = "WT{yy}{ww}-{seq:06}";
    bool always = false; // program failed boards too; by default after a PASS
};

// What --product and --reprogram ask of a run.
struct StationIdentity {
    ProductProfile profile;
    bool reprogram = false;
    int comeback_ms = 5000;
};

// What a serial is made of besides its counter.
struct SerialContext {
    std::string lot;
    std::string station;
    std::time_t when = 0; // UTC
};

// The serial of counter value seq; "" with why for a template that is not
// one (an unknown field, no {seq}, an unclosed brace).
std::string expand_serial(const std::string &serial_template, long long seq, const SerialContext &context,
                          std::string &why);

// The counter's series: the template, so that a serial never repeats under
// one template whatever the date.
inline const std::string &series_of(const ProductProfile &profile) { return profile.serial_template; }

// The [product] table of the TOML text (file names it in messages), into
// profile; false with why, which names the key. The strings and the longest
// serial the template makes for the counter up to 999999 (with the lot and
// the station of context) must fit an EEPROM's string descriptors; a serial
// past that which does not fit fails at the board's build step.
bool parse_product_profile(const std::string &text, const std::string &file, const SerialContext &context,
                           ProductProfile &profile, std::string &why);

} // namespace identity
