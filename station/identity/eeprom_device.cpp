// A chip's EEPROM, word by word through the driver seam.
#include "eeprom_device.h"

#include "device_link/ft_eeprom.h"
#include "device_link/status_report.h"

#include <algorithm>
#include <cstdio>

namespace identity {
namespace {

bool fail(Failure &failure, const char *step, int word, FT_STATUS status, std::string detail = "")
{
    failure.step = step;
    failure.word = word;
    failure.status = status;
    failure.detail = std::move(detail);
    return false;
}

const uint32_t marker_address = 0xC0;

} // namespace

bool read_words(FT_HANDLE handle, size_t count, std::vector<uint16_t> &words, Failure &failure)
{
    words.assign(count, 0xFFFF);
    for (size_t address = 0; address < count; address++) {
        FT_STATUS status = FT_ReadEE(handle, uint32_t(address), &words[address]);
        if (status != FT_OK)
            return fail(failure, "read", int(address), status);
    }
    return true;
}

bool detect(FT_HANDLE handle, Found &found, Failure &failure)
{
    std::vector<uint16_t> words;
    if (!read_words(handle, 256, words, failure))
        return false;
    found.part = eeprom::part_from_wrap(words);
    if (found.part == eeprom::Part::none) {
        // Every word alike: write a marker that differs, and see where it lands.
        const uint16_t was = words[0], marker = was == 0xA55A ? 0x5AA5 : 0xA55A;
        FT_STATUS status = FT_WriteEE(handle, marker_address, marker);
        if (status != FT_OK)
            return fail(failure, "detect", int(marker_address), status);
        const std::pair<uint32_t, eeprom::Part> landings[] = {
            {0x00, eeprom::Part::c46}, {0x40, eeprom::Part::c56}, {marker_address, eeprom::Part::c66}};
        for (const auto &[address, part] : landings) {
            uint16_t seen = 0;
            if ((status = FT_ReadEE(handle, address, &seen)) != FT_OK)
                return fail(failure, "detect", int(address), status);
            if (seen == marker) {
                found.part = part;
                if ((status = FT_WriteEE(handle, address, was)) != FT_OK)
                    return fail(failure, "detect", int(address), status);
                break;
            }
        }
        if (found.part == eeprom::Part::none)
            return fail(failure, "detect", -1, FT_EEPROM_NOT_PRESENT,
                        "no EEPROM answers (a word written does not read back anywhere): fit a 93C46, 93C56 "
                        "or 93C66 and test again");
    }
    words.resize(size_t(eeprom::part_facts(found.part).checked_words));
    found.words = std::move(words);
    return true;
}

bool write_image(FT_HANDLE handle, const std::vector<uint16_t> &image, Failure &failure)
{
    for (size_t address = 0; address < image.size(); address++) {
        FT_STATUS status = FT_WriteEE(handle, uint32_t(address), image[address]);
        if (status != FT_OK)
            return fail(failure, "write", int(address), status);
    }
    return true;
}

bool verify(FT_HANDLE handle, const std::vector<uint16_t> &image, Failure &failure)
{
    std::vector<uint16_t> back;
    if (!read_words(handle, image.size(), back, failure)) {
        failure.step = "verify";
        return false;
    }
    auto differs = std::mismatch(image.begin(), image.end(), back.begin());
    if (differs.first != image.end()) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "wrote 0x%04X, read back 0x%04X", unsigned(*differs.first),
                      unsigned(*differs.second));
        return fail(failure, "verify", int(differs.first - image.begin()), FT_OK, detail);
    }
    return true;
}

} // namespace identity
