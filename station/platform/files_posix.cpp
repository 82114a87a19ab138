// files.cpp's half for POSIX: file descriptors, links and renames.
#include "files.h"

#include "files_detail.h"
#include "printable.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace station {

using companions::printable;
using namespace files_detail;

std::string user_data_folder()
{
    const char *xdg = std::getenv("XDG_DATA_HOME"), *home = std::getenv("HOME");
    if (xdg && *xdg)
        return xdg;
    return home && *home ? std::string(home) + "/.local/share" : ".";
}

bool hold_standard_input()
{
    return fcntl(STDIN_FILENO, F_GETFD) != -1 || errno != EBADF || open("/dev/null", O_RDONLY) == STDIN_FILENO;
}

bool files_detail::is_device_name(const std::string &path)
{
    (void)path;
    return false;
}

namespace {

bool write_all(int fd, const std::string &text, bool sync = true)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return !sync || fsync(fd) == 0;
}

bool write_in_place(const std::string &path, const std::string &text, std::string &error)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // A pipe or a terminal has nothing to sync.
    bool written = fd >= 0 && write_all(fd, text, false);
    int err = errno;
    if (fd >= 0 && close(fd) != 0 && written) {
        written = false;
        err = errno;
    }
    if (!written)
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
    return written;
}

// Text in a file of the folder dir, synced, waiting for its name: unnamed
// (O_TMPFILE) where the system has that, so that a process killed while
// writing leaves nothing behind; else named near_name.partial-...
struct Temporary {
    int fd = -1;
    std::string name; // "" while unnamed
};

int sequence = 0; // makes the names of one process's temporaries differ

std::string temporary_name(const std::string &near_name)
{
    return near_name + ".partial-" + std::to_string(getpid()) + "-" +
           std::to_string(__atomic_add_fetch(&sequence, 1, __ATOMIC_RELAXED));
}

int write_temporary(const std::string &dir, const std::string &near_name, const std::string &text, bool unnamed,
                    Temporary &t)
{
    t = Temporary{};
    if (unnamed && access("/proc/self/fd", X_OK) == 0) {
        t.fd = open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
        if (t.fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return errno;
    }
    if (t.fd < 0) {
        t.name = temporary_name(near_name);
        t.fd = open(t.name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (t.fd < 0)
            return errno;
    }
    if (!write_all(t.fd, text)) {
        int err = errno;
        close(t.fd);
        t.fd = -1;
        if (!t.name.empty())
            unlink(t.name.c_str());
        return err;
    }
    return 0;
}

// Gives the temporary the name path, never replacing a file there: 0, or
// the errno of the failure (EEXIST: the name is taken).
int link_temporary(const Temporary &t, const std::string &path)
{
    if (t.name.empty()) {
        std::string proc = "/proc/self/fd/" + std::to_string(t.fd);
        return linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    }
    if (link(t.name.c_str(), path.c_str()) == 0)
        return 0;
    int err = errno;
    // A file system without hard links: a rename, once the name is seen free.
    if (err == EPERM || err == EOPNOTSUPP || err == ENOSYS) {
        if (access(path.c_str(), F_OK) == 0)
            return EEXIST;
        return rename(t.name.c_str(), path.c_str()) == 0 ? 0 : errno;
    }
    return err;
}

void drop_temporary(const Temporary &t)
{
    if (t.fd >= 0)
        close(t.fd);
    if (!t.name.empty())
        unlink(t.name.c_str());
}

// Why an unnamed file could not be linked to a name, when the fault is in
// linking through /proc rather than in the folder: it is written again
// under a name.
bool link_unsupported(int err) { return err == ENOENT || err == EXDEV || err == EPERM || err == EOPNOTSUPP; }

} // namespace

bool write_atomically(const std::string &path, const std::string &text, std::string &error)
{
    auto fail = [&](int err) {
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
        return false;
    };
    if (is_special(path))
        return write_in_place(path, text, error);
    std::string target = link_target(path).string();
    for (bool unnamed : {true, false}) {
        Temporary t;
        if (int err = write_temporary(folder_of(target), target, text, unnamed, t))
            return fail(err);
        if (t.name.empty()) {
            // Linked straight to its name where none is there; else under a
            // name beside it, to be renamed over the old file.
            int err = link_temporary(t, target);
            if (err == 0) {
                drop_temporary(t);
                return true;
            }
            if (err == EEXIST) {
                std::string name = temporary_name(target);
                err = link_temporary(t, name);
                if (err == 0)
                    t.name = name;
            }
            if (err != 0) {
                drop_temporary(t);
                if (link_unsupported(err))
                    continue;
                return fail(err);
            }
        }
        int err = rename(t.name.c_str(), target.c_str()) == 0 ? 0 : errno;
        if (err == 0)
            t.name.clear();
        drop_temporary(t);
        return err == 0 || fail(err);
    }
    return fail(EIO);
}

bool write_new_file(const std::string &dir, const std::string &name, const std::string &text, std::string &path,
                    std::string &error)
{
    std::string first = dir + "/" + name;
    int err = 0;
    for (bool unnamed : {true, false}) {
        Temporary t;
        err = write_temporary(dir, first, text, unnamed, t);
        for (int tries = 1; err == 0 && tries <= most_tries; tries++) {
            std::string candidate = dir + "/" + numbered(name, tries);
            err = link_temporary(t, candidate);
            if (err == 0) {
                drop_temporary(t);
                path = candidate;
                return true;
            }
            if (tries < most_tries && err == EEXIST)
                err = 0;
        }
        drop_temporary(t);
        if (!(unnamed && link_unsupported(err)))
            break;
    }
    error = "cannot write " + printable(first) + ": " + system_error_text(err);
    return false;
}

// 0 when a file could be made in dir (and was removed again), else errno.
int files_detail::try_folder(const std::string &dir)
{
    std::string probe = dir + "/.wiretest-station-" + std::to_string(getpid()) + "-" +
                        std::to_string(__atomic_add_fetch(&sequence, 1, __ATOMIC_RELAXED));
    int fd = open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    unlink(probe.c_str());
    return 0;
}

} // namespace station
