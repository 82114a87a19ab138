// files.cpp's half for Windows: wide paths and the C runtime.
#include "files.h"

#include "files_detail.h"
#include "printable.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

namespace station {

using companions::printable;
using namespace files_detail;

std::string user_data_folder()
{
    const char *base = std::getenv("LOCALAPPDATA");
    return base && *base ? base : ".";
}

bool hold_standard_input() { return true; } // a console program always has its three handles

bool files_detail::is_device_name(const std::string &path)
{
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
    return false;
}

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

// 0 when a file could be made in dir (and was removed again), else errno.
int files_detail::try_folder(const std::string &dir)
{
    fs::path probe = fs::u8path(dir) / (L".wiretest-station-" + std::to_wstring(GetCurrentProcessId()));
    int fd = _wopen(probe.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return errno;
    _close(fd);
    _wremove(probe.c_str());
    return 0;
}

} // namespace station
