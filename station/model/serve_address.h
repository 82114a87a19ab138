// --serve [ADDR:]PORT, as a person writes it.
#pragma once

#include <string>

namespace station::page {

struct ServeAddress {
    std::string address = "127.0.0.1"; // only this computer, unless asked
    int port = 0;                        // 0: a free port, said at the start
};

// "8080", "0.0.0.0:8080", "[::1]:8080"; false with why, to follow the
// option's name ("takes [ADDR:]PORT ...").
bool parse_serve_address(const std::string &text, ServeAddress &serve, std::string &why);

// "http://127.0.0.1:8080/", with an IPv6 address in brackets.
std::string page_url(const std::string &address, int port);

} // namespace station::page
