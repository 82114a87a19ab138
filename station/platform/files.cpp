// Files written whole or not at all: a reader, another station or a
// process killed half way never sees half a record.
#include "files.h"

#include "printable.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace station {

using companions::printable;

namespace {

std::string system_error_text(int error) { return std::error_code(error, std::generic_category()).message(); }

} // namespace

bool make_directories(const std::string &dir, std::string &error)
{
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::u8path(dir), ec);
    if (ec) {
        error = "cannot create " + printable(dir) + ": " + ec.message();
        return false;
    }
    return true;
}

namespace {

namespace fs = std::filesystem;

// The file that path names, through any symlinks: the one a write replaces,
// so that a link stays a link. A dangling link names the file to create.
fs::path link_target(const std::string &path)
{
    fs::path p = fs::u8path(path);
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); hops++) {
        fs::path next = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p;
}

std::string folder_of(const fs::path &file)
{
    std::string dir = file.parent_path().u8string();
    return dir.empty() ? "." : dir;
}

// The name with "-2", "-3", ... before its extension: the try'th choice.
std::string numbered(const std::string &name, int tries)
{
    if (tries == 1)
        return name;
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        dot = name.size();
    return name.substr(0, dot) + "-" + std::to_string(tries) + name.substr(dot);
}

const int most_tries = 1000;

} // namespace

bool is_special(const std::string &path)
{
#ifdef _WIN32
    // NUL, CON, COM1 and the like name their device in every folder and with
    // any extension; \\.\ names a device too.
    if (path.compare(0, 4, "\\\\.\\") == 0)
        return true;
    std::string stem = fs::u8path(path).filename().u8string();
    if (size_t dot = stem.find('.'); dot != std::string::npos)
        stem.resize(dot);
    for (char &c : stem)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (stem == device)
            return true;
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
        stem[3] <= '9')
        return true;
#endif
    std::error_code ec;
    fs::file_status status = fs::status(fs::u8path(path), ec);
    return !ec && fs::exists(status) && !fs::is_regular_file(status);
}

#ifdef _WIN32

namespace {

bool write_in_place(const std::string &path, const std::string &text, std::string &error)
{
    FILE *file = _wfopen(fs::u8path(path).c_str(), L"wb");
    bool written = file && fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0;
    int err = errno;
    if (file)
        written = fclose(file) == 0 && written;
    if (!written)
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
    return written;
}

// text in a file of its own beside target, flushed to the disk.
bool write_temporary(const fs::path &target, const std::string &text, fs::path &temporary, int &err)
{
    temporary = target;
    temporary += L".partial-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetCurrentThreadId());
    FILE *file = _wfopen(temporary.c_str(), L"wb");
    if (!file) {
        err = errno;
        return false;
    }
    bool written = fwrite(text.data(), 1, text.size(), file) == text.size() && fflush(file) == 0 &&
                   _commit(_fileno(file)) == 0;
    err = errno;
    written = fclose(file) == 0 && written;
    if (!written)
        _wremove(temporary.c_str());
    return written;
}

} // namespace

bool write_atomically(const std::string &path, const std::string &text, std::string &error)
{
    if (is_special(path))
        return write_in_place(path, text, error);
    fs::path target = link_target(path), temporary;
    int err = 0;
    if (!write_temporary(target, text, temporary, err)) {
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        _wremove(temporary.c_str());
        error = "cannot write " + printable(path);
        return false;
    }
    return true;
}

bool write_new_file(const std::string &dir, const std::string &name, const std::string &text, std::string &path,
                    std::string &error)
{
    fs::path folder = fs::u8path(dir), temporary;
    int err = 0;
    if (!write_temporary(folder / fs::u8path(name), text, temporary, err)) {
        error = "cannot write " + printable((folder / fs::u8path(name)).u8string()) + ": " + system_error_text(err);
        return false;
    }
    for (int tries = 1; tries <= most_tries; tries++) {
        fs::path candidate = folder / fs::u8path(numbered(name, tries));
        // Without MOVEFILE_REPLACE_EXISTING: a name taken by another record stays its.
        if (MoveFileExW(temporary.c_str(), candidate.c_str(), MOVEFILE_WRITE_THROUGH)) {
            path = candidate.u8string();
            return true;
        }
        DWORD why = GetLastError();
        if (why != ERROR_ALREADY_EXISTS && why != ERROR_FILE_EXISTS)
            break;
    }
    _wremove(temporary.c_str());
    error = "cannot write " + printable((folder / fs::u8path(name)).u8string());
    return false;
}

namespace {

// 0 when a file could be made in dir (and was removed again), else errno.
int try_folder(const std::string &dir)
{
    fs::path probe = fs::u8path(dir) / (L".wiretest-station-" + std::to_wstring(GetCurrentProcessId()));
    int fd = _wopen(probe.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return errno;
    _close(fd);
    _wremove(probe.c_str());
    return 0;
}

} // namespace

#else

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

namespace {

// 0 when a file could be made in dir (and was removed again), else errno.
int try_folder(const std::string &dir)
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

} // namespace

#endif

bool file_writable(const std::string &path, std::string &error)
{
    // Opening a FIFO to try it would wait for its reader.
    if (is_special(path))
        return true;
    int err = try_folder(folder_of(link_target(path)));
    if (err != 0)
        error = "cannot write " + printable(path) + ": " + system_error_text(err);
    return err == 0;
}

bool folder_writable(const std::string &dir, std::string &error)
{
    int err = try_folder(dir);
    if (err != 0)
        error = "cannot write into " + printable(dir) + ": " + system_error_text(err);
    return err == 0;
}

} // namespace station
