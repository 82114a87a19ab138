// Preloaded before umockdev's library in the suites on the emulated usbfs
// bus, and so in every process they start (the station and its board
// processes).
//
// umockdev stands in for a process's uevent socket with a socket file in
// its testbed named by the descriptor's number ("event5"), and a process
// binding a name takes it from whoever had it. The station and its board
// processes open libusb alike, so their udev sockets get the same number:
// each board process took the station's name, and the station heard no
// uevent after its first board (a chip plugged while it waited went
// unseen). Here each process's uevent socket gets a number of its own,
// from its process id, by holding the lower free descriptors while
// umockdev makes it. Two processes whose ids differ by a multiple of 896
// could still meet; the suites start a handful.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int first_number = 64, numbers = 896, most_held = first_number + numbers;
}

extern "C" int socket(int domain, int type, int protocol) noexcept
{
    static const auto next = reinterpret_cast<int (*)(int, int, int)>(dlsym(RTLD_NEXT, "socket"));
    if (domain != AF_NETLINK)
        return next(domain, type, protocol);
    int wanted = first_number + int(getpid() % numbers);
    int held[most_held], count = 0;
    for (;;) {
        // dup, not open: umockdev keeps a short table of the files it opens
        int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
            break;
        if (fd >= wanted || count == most_held) {
            close(fd);
            break;
        }
        held[count++] = fd;
    }
    int made = next(domain, type, protocol);
    while (count > 0)
        close(held[--count]);
    return made;
}
