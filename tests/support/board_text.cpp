#include "board_text.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace board_text {

chip::Wiring parse(const std::string &text)
{
    chip::Wiring wiring;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, '+')) {
        if (item.empty())
            continue;
        int a = -1, b = -1;
        char mode[4] = "";
        auto pin = [](int p) { return p >= 0 && p < 8; };
        if (std::sscanf(item.c_str(), "open%d:%d", &a, &b) == 2 && pin(a))
            wiring.open_wire(a, b);
        else if (std::sscanf(item.c_str(), "stick%d:%d", &a, &b) == 2 && pin(a))
            wiring.stick(a, b);
        else if (std::sscanf(item.c_str(), "short%d-%d:%3s", &a, &b, mode) == 3 && pin(a) && pin(b))
            wiring.short_nets(a, b, std::string(mode) == "or");
        else if (std::sscanf(item.c_str(), "swap%d-%d", &a, &b) == 2 && pin(a) && pin(b))
            wiring.swap(a, b);
        else if (std::sscanf(item.c_str(), "invert%d", &a) == 1 && pin(a))
            wiring.invert(a);
        else
            throw std::invalid_argument("unknown board item: " + item);
    }
    return wiring;
}

} // namespace board_text
