// The product profile and the serial template.
#include "product_profile.h"

#include "eeprom_image.h"
#include "printable.h"
#include "utc_time.h"

#if __has_include(<toml++/toml.hpp>)
#include <toml++/toml.hpp>
#else
#include <toml++/toml.h>
#endif

#include <cstdio>
#include <sstream>

namespace identity {
namespace {

std::string two_digits(int value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02d", value % 100);
    return text;
}

// The ISO 8601 week of the year of a UTC date: weeks start on Monday, and
// week 1 holds the year's first Thursday. Computed here: the Windows C
// library's strftime has no %V.
int iso_week(const std::tm &day)
{
    const int monday_based = (day.tm_wday + 6) % 7;
    const int week = (day.tm_yday - monday_based + 10) / 7;
    // A year has 53 weeks when it starts on a Thursday, or is a leap year starting on a Wednesday.
    auto weeks_in = [](int year) {
        auto p = [](int y) { return (y + y / 4 - y / 100 + y / 400) % 7; };
        return p(year) == 4 || p(year - 1) == 3 ? 53 : 52;
    };
    const int year = day.tm_year + 1900;
    if (week < 1)
        return weeks_in(year - 1);
    return week > weeks_in(year) ? 1 : week;
}

} // namespace

std::string expand_serial(const std::string &serial_template, long long seq, const SerialContext &context,
                          std::string &why)
{
    const std::tm day = station::utc_calendar(context.when);
    std::string serial;
    bool counted = false;
    for (size_t at = 0; at < serial_template.size(); at++) {
        char c = serial_template[at];
        if (c != '{') {
            serial += c;
            continue;
        }
        size_t end = serial_template.find('}', at);
        if (end == std::string::npos) {
            why = "serial template '" + serial_template + "': a '{' without its '}'";
            return "";
        }
        std::string field = serial_template.substr(at + 1, end - at - 1);
        at = end;
        if (field == "yy")
            serial += two_digits(day.tm_year + 1900);
        else if (field == "yyyy")
            serial += std::to_string(day.tm_year + 1900);
        else if (field == "ww")
            serial += two_digits(iso_week(day));
        else if (field == "mm")
            serial += two_digits(day.tm_mon + 1);
        else if (field == "dd")
            serial += two_digits(day.tm_mday);
        else if (field == "lot")
            serial += context.lot;
        else if (field == "station")
            serial += context.station;
        else if (field == "seq" || field.rfind("seq:", 0) == 0) {
            std::string width = field.size() > 4 ? field.substr(4) : "0";
            if (width.empty() || width.size() > 2 || width.find_first_not_of("0123456789") != std::string::npos) {
                why = "serial template '" + serial_template + "': {";
                why += field + "}: the width is 1 to 99 digits";
                return "";
            }
            std::string digits = std::to_string(seq);
            size_t pad = size_t(std::stoi(width));
            serial += std::string(pad > digits.size() ? pad - digits.size() : 0, '0') + digits;
            counted = true;
        } else {
            why = "serial template '" + serial_template + "': no field {";
            why += field + "} (yy, yyyy, ww, mm, dd, lot, station, seq, seq:06)";
            return "";
        }
    }
    if (!counted) {
        why = "serial template '" + serial_template + "' has no {seq}: every board would get one serial";
        return "";
    }
    return serial;
}

bool parse_product_profile(const std::string &text, const std::string &file, const SerialContext &context,
                           ProductProfile &profile, std::string &why)
{
    toml::table root;
    try {
        root = toml::parse(text, file);
    } catch (const toml::parse_error &e) {
        std::ostringstream where;
        where << e.source().begin;
        why = file + ": " + std::string(e.description()) + " (" + where.str() + ")";
        return false;
    }
    const toml::table *table = root["product"].as_table();
    if (!table) {
        why = file + ": no [product] table";
        return false;
    }
    for (const auto &[key, value] : *table) {
        const std::string name(key.str());
        std::string shown = file + ": [product] ";
        shown += name;
        if (name == "program") {
            std::optional<std::string> when = value.value<std::string>();
            if (!when || (*when != "pass" && *when != "always")) {
                why = shown + ": \"pass\" (after a PASS) or \"always\"";
                return false;
            }
            profile.always = *when == "always";
            continue;
        }
        std::string *slot = name == "manufacturer" ? &profile.manufacturer
                          : name == "product"      ? &profile.product
                          : name == "serial"       ? &profile.serial_template
                                                   : nullptr;
        if (!slot) {
            why = shown + ": not a key of [product] (manufacturer, product, serial, program)";
            return false;
        }
        std::optional<std::string> string = value.value<std::string>();
        if (!string) {
            why = shown + ": a string";
            return false;
        }
        *slot = *string;
    }
    if (profile.manufacturer.empty() || profile.product.empty()) {
        why = file + ": [product] needs manufacturer and product";
        return false;
    }
    // The longest serial the template makes for the first million boards.
    std::string longest = expand_serial(profile.serial_template, 999'999, context, why);
    if (longest.empty()) {
        why = file + ": " + why;
        return false;
    }
    std::string problem = eeprom::strings_problem({profile.manufacturer, profile.product, longest});
    if (!problem.empty()) {
        why = file + ": [product]: " + problem;
        return false;
    }
    return true;
}

} // namespace identity
