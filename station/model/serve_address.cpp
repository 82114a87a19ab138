#include "serve_address.h"

namespace station::page {

bool parse_serve_address(const std::string &text, ServeAddress &serve, std::string &why)
{
    std::string address = serve.address, port = text;
    size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
            address = address.substr(1, address.size() - 2);
        else if (address.find(':') != std::string::npos)
            address.clear(); // an IPv6 address needs its brackets before :PORT
    }
    bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (address.empty() || !digits || std::stoi(port) > 65535) {
        why = "takes [ADDR:]PORT, a port from 0 to 65535 (0: a free one), as 8080 or 0.0.0.0:8080 or [::1]:8080";
        return false;
    }
    serve.address = address;
    serve.port = std::stoi(port);
    return true;
}

std::string page_url(const std::string &address, int port)
{
    bool v6 = address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}

} // namespace station::page
