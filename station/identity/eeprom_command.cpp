// wiretest-station eeprom: reads and decodes a chip's EEPROM without
// writing a word; --erase --yes blanks it for recovery.
#include "eeprom_command.h"

#include "board_result.h"
#include "eeprom_device.h"
#include "targets.h"

#include "device_link/ft_eeprom.h"
#include "device_link/ft_locations.h"
#include "device_link/status_report.h"
#include "printable.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>

namespace station {
namespace {

int failed(const std::string &why)
{
    fprintf(stderr, "wiretest-station eeprom: %s\n", why.c_str());
    return exit_station;
}

std::string hex4(unsigned value)
{
    char text[8];
    snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

} // namespace

int eeprom_main(int argc, char **argv)
{
    CLI::App app{"Reads and decodes the EEPROM of the chip at a port, writing nothing.", "wiretest-station eeprom"};
    std::string location;
    bool json = false, erase = false, yes = false;
    app.add_option("--port", location, "where the chip is plugged, as --list prints it")->type_name("LOC")->required();
    app.add_flag("--json", json, "one JSON document");
    app.add_flag("--erase", erase, "blank the whole EEPROM (every word 0xFFFF): the chip then starts with its "
                                   "defaults and no serial; needs --yes");
    app.add_flag("--yes", yes, "confirm --erase");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        fprintf(stderr, "wiretest-station eeprom: usage error: %s (see --help)\n", e.what());
        return exit_station;
    }
    if (erase && !yes) {
        fprintf(stderr, "wiretest-station eeprom: usage error: --erase wipes the chip's identity for good: add --yes "
                        "to confirm (see --help)\n");
        return exit_station;
    }
    std::vector<Channel> channels;
    std::string why;
    if (!list_channels(channels, why))
        return failed(why);
    const Channel *chip = nullptr;
    for (const Channel &c : channels)
        if (c.location == location && !chip)
            chip = &c;
    if (!chip)
        return failed("no chip is plugged at " + companions::printable(location));
    FT_HANDLE handle = nullptr;
    FT_STATUS status = ft_open_by_location(location.c_str(), chip->channel, &handle);
    if (status != FT_OK) {
        const char *name = ft_status_name(status);
        return failed("could not open the chip at " + location + " (" + (name ? name : "?") + ")" +
                      (chip->access_note.empty() ? "" : ": " + chip->access_note));
    }
    identity::Failure failure;
    std::vector<uint16_t> words;
    bool read = true;
    if (erase) {
        status = FT_EraseEE(handle);
        if (status != FT_OK) {
            failure.step = "erase";
            failure.status = status;
            read = false;
        }
    }
    read = read && identity::read_words(handle, 256, words, failure);
    FT_Close(handle);
    if (!read)
        return failed(failure.describe());

    // Read only: a part is told by where its addresses wrap, and a blank one
    // not at all without writing to it.
    eeprom::Part part = eeprom::part_from_wrap(words);
    bool uniform = part == eeprom::Part::none;
    eeprom::Decoded image;
    if (!uniform)
        image = eeprom::decode(part, words);
    else if (words[0] != 0xFFFF)
        image.state = eeprom::State::invalid;
    const bool programmed = image.state == eeprom::State::foreign; // valid, and no profile to call it ours
    const char *state = programmed ? "programmed" : eeprom::state_name(image.state);
    std::string part_name = uniform ? "" : eeprom::part_facts(part).name;
    if (json) {
        nlohmann::json doc = {{"location", location},
                              {"chip", chip->chip},
                              {"part", uniform ? nlohmann::json() : nlohmann::json(part_name)},
                              {"state", state},
                              {"erased", erase}};
        if (!uniform) {
            doc["checksum"] = "0x" + hex4(image.checksum);
            doc["checksum_valid"] = image.checksum_valid;
            doc["vendor_id"] = "0x" + hex4(image.vendor_id);
            doc["product_id"] = "0x" + hex4(image.product_id);
            doc["release"] = "0x" + hex4(image.release);
            doc["manufacturer"] = image.strings.manufacturer;
            doc["product"] = image.strings.product;
            doc["serial"] = image.strings.serial;
            if (!image.problem.empty())
                doc["problem"] = image.problem;
        }
        printf("%s\n", doc.dump().c_str());
        return 0;
    }
    if (erase)
        printf("%s %c %s: EEPROM erased\n", location.c_str(), chip->channel, chip->chip.c_str());
    if (uniform) {
        printf("%s %c %s: EEPROM %s: every word reads 0x%s; its size cannot be told without writing\n",
               location.c_str(), chip->channel, chip->chip.c_str(), state, hex4(words[0]).c_str());
        return 0;
    }
    printf("%s %c %s: EEPROM %s, %s\n", location.c_str(), chip->channel, chip->chip.c_str(), part_name.c_str(), state);
    printf("  manufacturer  %s\n  product       %s\n  serial        %s\n", image.strings.manufacturer.c_str(),
           image.strings.product.c_str(), image.strings.serial.c_str());
    printf("  ids           %s:%s release %s\n", hex4(image.vendor_id).c_str(), hex4(image.product_id).c_str(),
           hex4(image.release).c_str());
    printf("  checksum      0x%s (%s)\n", hex4(image.checksum).c_str(),
           image.checksum_valid ? "valid" : "wrong: the chip starts with its defaults");
    if (!image.problem.empty())
        printf("  problem       %s\n", image.problem.c_str());
    return 0;
}

} // namespace station
