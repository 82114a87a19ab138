#include "board_text.h"

#include <regex>
#include <sstream>
#include <stdexcept>

namespace board_text {

chip::Wiring parse(const std::string &text)
{
    if (text.empty())
        return chip::Wiring(); // without compiling the patterns, which costs every process a bus stands under
    static const std::regex open_item(R"(open([0-7]):([01]))"), stick_item(R"(stick([0-7]):([01]))"),
        short_item(R"(short([0-7])-([0-7]):(and|or|dom|res))"), swap_item(R"(swap([0-7])-([0-7]))"),
        invert_item(R"(invert([0-7]))"), wire_item(R"(wire([0-7])-([0-7]))");
    chip::Wiring wiring;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, '+')) {
        if (item.empty())
            continue;
        std::smatch m;
        auto digit = [&m](size_t i) { return m[i].str()[0] - '0'; };
        if (std::regex_match(item, m, open_item))
            wiring.open_wire(digit(1), digit(2));
        else if (std::regex_match(item, m, stick_item))
            wiring.stick(digit(1), digit(2));
        else if (std::regex_match(item, m, short_item))
            wiring.bridge(digit(1), digit(2),
                          m[3] == "and"  ? chip::Wiring::Bridge::wired_and
                          : m[3] == "or" ? chip::Wiring::Bridge::wired_or
                          : m[3] == "dom" ? chip::Wiring::Bridge::dominant
                                          : chip::Wiring::Bridge::resistive);
        else if (std::regex_match(item, m, swap_item))
            wiring.swap(digit(1), digit(2));
        else if (std::regex_match(item, m, invert_item))
            wiring.invert(digit(1));
        else if (std::regex_match(item, m, wire_item))
            wiring.wire(digit(1), digit(2));
        else
            throw std::invalid_argument("unknown board item: " + item);
    }
    return wiring;
}

} // namespace board_text
