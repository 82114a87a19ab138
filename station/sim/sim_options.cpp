// wiretest-station-sim's chips. Without options of its own, the station's
// demo chips stay plugged in. With --wait it plays a demo line instead: the
// demo boards plugged at location 1-1 one after another, each removed about
// a second after its result. Tests plug and unplug chips when they decide:
//
//   --sim-control PATH           the chips that the lines of the file PATH
//                                (it must exist) plug and unplug; every
//                                process of the station reads the lines
//                                written so far whenever the driver looks at
//                                its chips, and a line written wakes the
//                                station's wait as a hotplug event does.
//                                Lines:
//                                  plug LOC=DEMO[:KIND]  the demo board of
//                                    location DEMO plugged at LOC now, on a
//                                    chip of KIND (as below)
//                                  unplug LOC  the chip at LOC leaves now;
//                                    its calls fail from then on
//                                  hold LOC N  a process's Nth write to the
//                                    chip now at LOC waits until the chip is
//                                    unplugged, and fails then; the process
//                                    appends "held LOC" to PATH.log as it
//                                    starts to wait, so that a test knows
//                                    the board is mid-test
//                                No demo line and no demo chips then: only
//                                the chips of the file and of --sim-plug.
//
// or at chosen times:
//
//   --sim-plug LOC=DEMO@FROM-TO[:KIND]
//                                the demo board of location DEMO plugged at
//                                LOC from FROM to TO ms (TO empty: never
//                                unplugged), counted from the epoch, on a
//                                chip of KIND (FT2232H, FT4232H, FT232H,
//                                FT2232D; default FT2232H)
//   --sim-epoch MS               the schedule's zero, in Unix ms; the station
//                                sets it once and hands it to every process
//   --sim-line                   the demo line
//   --sim-no-hotplug             no arrival events: the station polls
//   --sim-fail-open-once LOC=FILE
//                                the first board process that opens LOC
//                                (the station started again with --board
//                                LOC) fails to open it, and leaves FILE to
//                                say so; the processes after it open it. A
//                                forked copy of the station is no such
//                                process: give the run two boards or more.
//   --sim-eeprom LOC=PART[,FAULT...]
//                                the chip plugged at LOC from the start has
//                                a blank EEPROM of PART (93C46, 93C56,
//                                93C66) or none at all (none); FAULTs:
//                                fail-write=W (a write at word W refused),
//                                flip=W/BITS (word W's BITS come out
//                                inverted, hex), away=MS (after its port
//                                cycle the chip comes back MS ms later),
//                                never (it never comes back). Each process
//                                has its own EEPROM: what one writes, the
//                                others do not see.
#include "control_file.h"
#include "demo_chips.h"
#include "driver_options.h"

#include "sim_control.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace station {
namespace {

struct Plug {
    std::string location;
    const DemoChip *board;
    int64_t from_ms, to_ms; // to_ms < 0: never unplugged
    sim::ChipKind kind;
};

// A count of milliseconds, at most about 300 years, so that an epoch and a
// time after it add up without overflow; -1 when text is not one.
int64_t parse_ms(const std::string &text)
{
    const long long most = 10'000'000'000'000LL;
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    return text.empty() || *end != '\0' || errno != 0 || value < 0 || value > most ? -1 : value;
}

// "1-1=1-2@0-2500" or "1-7=1-1@0-:FT4232H": false when it is not that shape.
bool parse_plug(const std::string &whole, Plug &plug)
{
    size_t colon = whole.find(':');
    std::string text = whole.substr(0, colon);
    size_t equals = text.find('='), at = text.find('@'), dash = text.find('-', at == std::string::npos ? 0 : at);
    if (equals == std::string::npos || at == std::string::npos || dash == std::string::npos || at < equals)
        return false;
    // The board and its chip, as a control file's plug names them.
    std::string kind = colon == std::string::npos ? "" : whole.substr(colon);
    if (!parse_demo_plug(text.substr(0, at) + kind, plug.location, plug.board, plug.kind))
        return false;
    plug.from_ms = parse_ms(text.substr(at + 1, dash - at - 1));
    std::string to = text.substr(dash + 1);
    plug.to_ms = to.empty() ? -1 : parse_ms(to);
    return plug.board != nullptr && plug.from_ms >= 0 && (to.empty() || plug.to_ms >= 0);
}

bool has(int argc, char **argv, const char *option)
{
    for (int i = 1; i < argc; i++)
        if (std::strcmp(argv[i], option) == 0)
            return true;
    return false;
}

// The location a board process tests: --board's value; "" in the station.
std::string board_at(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; i++)
        if (std::strcmp(argv[i], "--board") == 0)
            return argv[i + 1];
    return "";
}

// The demo line: each board plugged long enough to settle, be tested, and
// be looked at for about a second; then the next.
std::vector<Plug> demo_line(int argc, char **argv)
{
    int64_t test_ms = has(argc, argv, "--fast") ? 200 : has(argc, argv, "--delay") ? 1200 : 46000;
    std::vector<Plug> line;
    int64_t t = 500;
    for (const DemoChip &c : demo_chips()) {
        int64_t out = t + 500 + test_ms + 1000;
        line.push_back({"1-1", &c, t, out, sim::ChipKind::FT2232H});
        t = out + 700;
    }
    return line;
}

// "1-1=93C46,fail-write=5,away=300": the EEPROM of the chip at 1-1 and its
// faults; false with why.
bool fit_eeprom(const std::string &setting, std::string &why)
{
    size_t equals = setting.find('=');
    if (equals == std::string::npos) {
        why = "takes LOC=PART[,FAULT...]";
        return false;
    }
    std::string location = setting.substr(0, equals);
    std::vector<std::string> items;
    for (size_t from = equals + 1; from <= setting.size();) {
        size_t comma = std::min(setting.find(',', from), setting.size());
        items.push_back(setting.substr(from, comma - from));
        from = comma + 1;
    }
    const eeprom::PartFacts *part = eeprom::part_by_name(items[0]);
    if (!part && items[0] != "none") {
        why = "the part is 93C46, 93C56, 93C66 or none";
        return false;
    }
    try {
        sim::fit_eeprom(location, part ? part->part : eeprom::Part::none);
        for (size_t i = 1; i < items.size(); i++) {
            const std::string &item = items[i];
            std::string value = item.substr(std::min(item.find('=') + 1, item.size()));
            if (item.rfind("fail-write=", 0) == 0) {
                sim::fail_eeprom_write(location, uint32_t(std::stoul(value, nullptr, 0)));
            } else if (item.rfind("flip=", 0) == 0 && value.find('/') != std::string::npos) {
                sim::flip_eeprom_bits(location, uint32_t(std::stoul(value, nullptr, 0)),
                                      uint16_t(std::stoul(value.substr(value.find('/') + 1), nullptr, 16)));
            } else if (item.rfind("away=", 0) == 0) {
                sim::eeprom_return_after(location, std::stoll(value));
            } else if (item == "never") {
                sim::eeprom_return_after(location, 0, true);
            } else {
                why = "no such fault: " + item;
                return false;
            }
        }
    } catch (const std::exception &e) { // no chip there, a number that is none
        why = e.what();
        return false;
    }
    return true;
}

} // namespace

std::vector<std::string> take_driver_options(int &argc, char **argv)
{
    // Nobody reads the record of calls in these processes, and a soak would
    // make it grow without end.
    sim::keep_recent_calls(1024);
    std::vector<std::string> forwarded;
    std::vector<Plug> plugs;
    bool line = false, hotplug = true, bad = false;
    std::string control;
    int64_t epoch = -1;
    int kept = 1;
    std::pair<std::string, std::string> fail_open; // location, file
    std::vector<std::string> eeproms;              // LOC=PART[,FAULT...]
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--sim-plug" && has_value) {
            Plug plug;
            bad = bad || !parse_plug(argv[i + 1], plug);
            plugs.push_back(plug);
            forwarded.insert(forwarded.end(), {arg, argv[++i]});
        } else if (arg == "--sim-epoch" && has_value) {
            epoch = parse_ms(argv[++i]);
            bad = bad || epoch < 0;
        } else if (arg == "--sim-control" && has_value) {
            control = argv[++i];
            forwarded.insert(forwarded.end(), {arg, control});
        } else if (arg == "--sim-line") {
            line = true;
        } else if (arg == "--sim-fail-open-once" && has_value) {
            std::string value = argv[++i];
            size_t equals = value.find('=');
            bad = bad || equals == std::string::npos || equals == 0 || equals + 1 == value.size();
            if (equals != std::string::npos)
                fail_open = {value.substr(0, equals), value.substr(equals + 1)};
            forwarded.insert(forwarded.end(), {arg, value});
        } else if (arg == "--sim-eeprom" && has_value) {
            eeproms.push_back(argv[++i]);
            forwarded.insert(forwarded.end(), {arg, eeproms.back()});
        } else if (arg == "--sim-no-hotplug") {
            hotplug = false;
            forwarded.push_back(arg);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    argv[argc] = nullptr;
    if (bad) {
        std::fprintf(stderr, "wiretest-station-sim: --sim-plug takes LOC=DEMO@FROM-TO[:KIND], DEMO a demo chip's "
                             "location, FROM and TO at most 10^13 ms; --sim-epoch takes Unix ms; "
                             "--sim-fail-open-once takes LOC=FILE\n");
        std::exit(2);
    }
    if (epoch < 0)
        epoch = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
    forwarded.insert(forwarded.end(), {"--sim-epoch", std::to_string(epoch)});
    sim::report_hotplug_events(hotplug);
    std::string why;
    if (!control.empty() && !follow_control_file(control, why)) {
        std::fprintf(stderr, "wiretest-station-sim: %s\n", why.c_str());
        std::exit(2);
    }

    if (!fail_open.first.empty() && board_at(argc, argv) == fail_open.first) {
        // O_EXCL: of two processes at once, one fails.
        int fd = open(fail_open.second.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0644);
        if (fd >= 0) {
            close(fd);
            sim::inject(sim::fail(sim::Op::OpenByLocation, 1, FT_DEVICE_NOT_OPENED));
        }
    }

    line = line || (plugs.empty() && control.empty() && has(argc, argv, "--wait"));
    if (line) {
        forwarded.push_back("--sim-line");
        plugs = demo_line(argc, argv);
    }
    if (plugs.empty() && control.empty())
        attach_demo_chips();
    for (const Plug &p : plugs)
        sim::plug_chip(p.location, p.board->serial, p.kind, p.board->wiring, epoch + p.from_ms,
                       p.to_ms < 0 ? 0 : epoch + p.to_ms);
    for (const std::string &setting : eeproms)
        if (!fit_eeprom(setting, why)) {
            std::fprintf(stderr, "wiretest-station-sim: --sim-eeprom %s: %s\n", setting.c_str(), why.c_str());
            std::exit(2);
        }
    return forwarded;
}

} // namespace station
