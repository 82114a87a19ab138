// The entry of the suites on the emulated usbfs bus.
#include "usbfs_bus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Where umockdev cannot run, every test says why instead of failing.
class NeedsUmockdev : public ::testing::Environment {
public:
    void SetUp() override
    {
        std::string why = usbfs::unavailable_because();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

} // namespace

// The bus answers usbfs only to a program under umockdev's preload: start
// again under umockdev-wrapper where it is installed, the uevent sockets'
// names (usbfs_socket_names.cpp) preloaded before umockdev's library, which
// the wrapper would put first.
int main(int argc, char **argv)
{
    if (!usbfs::unavailable_because().empty() && !std::getenv("WIRETEST_USBFS_WRAPPED")) {
        setenv("WIRETEST_USBFS_WRAPPED", "1", 1);
        std::string preload = std::string("LD_PRELOAD=") + USBFS_SOCKET_NAMES + ":libumockdev-preload.so.0";
        if (const char *given = std::getenv("LD_PRELOAD"))
            preload.append(":").append(given);
        std::vector<char *> args = {const_cast<char *>("umockdev-wrapper"), const_cast<char *>("env"),
                                    preload.data()};
        args.insert(args.end(), argv, argv + argc);
        args.push_back(nullptr);
        execvp(args[0], args.data()); // returns only where there is no umockdev
    }
    ::testing::InitGoogleTest(&argc, argv);
#ifdef USBFS_NOT_MODELLED
    // Tests of what only the virtual bus models stay out, whatever filter is given.
    std::string filter = ::testing::GTEST_FLAG(filter);
    ::testing::GTEST_FLAG(filter) = filter + (filter.find('-') == std::string::npos ? "-" : ":") + USBFS_NOT_MODELLED;
#endif
    ::testing::AddGlobalTestEnvironment(new NeedsUmockdev);
    return RUN_ALL_TESTS();
}
