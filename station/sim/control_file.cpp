// The lines of a control file, turned into the simulated driver's changes
// when the driver next looks at its chips, and an inotify descriptor that
// wakes the station's hotplug wait when a line is written.
#include "control_file.h"

#include "device_link/chip_kinds.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace station {
namespace {

const DemoChip *demo_board(const std::string &location)
{
    for (const DemoChip &c : demo_chips())
        if (c.location == location)
            return &c;
    return nullptr;
}

#ifndef _WIN32
// One line: false when it is none of the three.
bool parse_line(const std::string &line, sim::Change &change)
{
    std::istringstream words(line);
    std::string verb, what, extra;
    words >> verb >> what;
    if (verb == "plug") {
        const DemoChip *board = nullptr;
        if (!parse_demo_plug(what, change.location, board, change.kind))
            return false;
        change.what = sim::Change::What::plug;
        change.serial = board->serial;
        change.wiring = board->wiring;
    } else if (verb == "unplug" && !what.empty()) {
        change.what = sim::Change::What::unplug;
        change.location = what;
    } else if (verb == "hold" && !what.empty() && (words >> change.nth) && change.nth > 0) {
        change.what = sim::Change::What::hold;
        change.location = what;
    } else {
        return false;
    }
    return !(words >> extra);
}

// The file as far as this process has read it.
struct Follower {
    std::string path;
    off_t read = 0;
    std::string partial; // a line not yet ended
};

// The changes written since the last call; a line not yet ended waits for
// its end. A look at the file's size is all a call costs when nothing came.
std::vector<sim::Change> take(Follower &f)
{
    std::vector<sim::Change> changes;
    struct stat st{};
    if (stat(f.path.c_str(), &st) != 0 || st.st_size <= f.read)
        return changes;
    int fd = open(f.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return changes;
    char buffer[4096];
    for (ssize_t n; (n = pread(fd, buffer, sizeof buffer, f.read)) > 0;) {
        f.partial.append(buffer, size_t(n));
        f.read += n;
    }
    close(fd);
    for (size_t end; (end = f.partial.find('\n')) != std::string::npos;) {
        std::string line = f.partial.substr(0, end);
        f.partial.erase(0, end + 1);
        sim::Change change;
        if (line.find_first_not_of(" \t") == std::string::npos)
            continue;
        if (parse_line(line, change))
            changes.push_back(change);
        else
            std::fprintf(stderr, "wiretest-station-sim: not a control line: %s\n", line.c_str());
    }
    return changes;
}

void append_note(const std::string &path, const std::string &note)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    std::string line = note + "\n";
    ssize_t ignored = write(fd, line.data(), line.size()); // one write: a reader sees the whole line
    (void)ignored;
    close(fd);
}

#endif

} // namespace

bool parse_demo_plug(const std::string &text, std::string &location, const DemoChip *&board, sim::ChipKind &kind)
{
    size_t colon = text.find(':'), equals = text.find('=');
    kind = sim::ChipKind::FT2232H;
    if (colon != std::string::npos) {
        const chip_facts *facts = chip_by_name(text.substr(colon + 1).c_str());
        if (!facts)
            return false;
        kind = facts->kind;
    }
    if (equals == std::string::npos || equals == 0 || equals > colon)
        return false;
    location = text.substr(0, equals);
    board = demo_board(text.substr(equals + 1, colon == std::string::npos ? std::string::npos : colon - equals - 1));
    return board != nullptr;
}

bool follow_control_file(const std::string &path, std::string &why)
{
#ifdef _WIN32
    // The tests that plug by command run on Linux; the Windows build keeps --sim-plug.
    why = "--sim-control " + path + ": not available on Windows";
    return false;
#else
    // Each process watches the file anew: a board's process is started
    // afresh, and its descriptors are closed on exec.
    int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, path.c_str(), IN_MODIFY) < 0) {
        why = "cannot watch the control file " + path + ": " + std::strerror(errno);
        if (watch >= 0)
            close(watch);
        return false;
    }
    auto follower = std::make_shared<Follower>();
    follower->path = path;
    sim::ChangeFeed feed;
    feed.take = [follower] { return take(*follower); };
    feed.wake_fd = watch;
    feed.note = [log = path + ".log"](const std::string &note) { append_note(log, note); };
    sim::follow_changes(std::move(feed));
    return true;
#endif
}

} // namespace station
