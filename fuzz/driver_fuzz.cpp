// Fuzz target: a whole run of the tool against a driver whose every answer
// comes from the input (fuzz_driver.cpp). The first byte chooses a full or a
// short test. Each run must end within its bounds, close the device once
// after a completed test and never after a failure.
#include "fuzz_driver.h"

#include "console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput in(data, size);
    std::vector<std::string> args = {"-n0"};
    if (in.byte() & 1)
        args.push_back("-short");
    fuzz_driver::start(in);

    console::Run r = console::run(args, std::nullopt, console::Keep::nothing);

    const fuzz_driver::Tally &t = fuzz_driver::tally();
    require(r.returned == 0 || r.returned == -1, "exit status not 0 or -1");
    require(t.closes == (r.returned == 0 ? 1u : 0u),
            "not one FT_Close after a completed test, or one after a failure");
    return 0;
}
