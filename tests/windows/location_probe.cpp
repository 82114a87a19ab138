// The station's listing and opening by location through wiretest.exe's
// loader, for the tests under Wine:
//   location_probe list [CAPACITY]     the channels, one a line
//   location_probe open LOCATION CH    open, list, close
// Each line gives a status as its number, so that a test reads every result.
#include "device_link/ft_driver.h"
#include "device_link/ft_locations.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void list(uint32_t capacity)
{
    std::vector<ft_channel_info> channels(capacity);
    uint32_t count = 0;
    FT_STATUS status = ft_list_channels(channels.data(), capacity, &count);
    std::printf("ft_list_channels %u, count %u\n", unsigned(status), unsigned(count));
    if (status != FT_OK)
        return;
    for (uint32_t i = 0; i < count && i < capacity; i++) {
        const ft_channel_info &c = channels[i];
        std::printf("%s %c \"%s\" %s %u \"%s\"\n", c.location, c.channel, c.serial, c.chip,
                    unsigned(c.access), c.access_note);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "list") == 0) {
        list(argc >= 3 ? uint32_t(std::strtoul(argv[2], nullptr, 10)) : 16);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "open") == 0 && std::strlen(argv[3]) == 1) {
        FT_HANDLE handle = nullptr;
        FT_STATUS status = ft_open_by_location(argv[2], argv[3][0], &handle);
        std::printf("ft_open_by_location %u\n", unsigned(status));
        if (status != FT_OK)
            return 0;
        list(16);
        std::printf("FT_Close %u\n", unsigned(FT_Close(handle)));
        return 0;
    }
    std::fprintf(stderr, "usage: location_probe list [CAPACITY] | open LOCATION CHANNEL\n");
    return 2;
}
