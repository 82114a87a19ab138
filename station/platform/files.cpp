// Files written whole or not at all: a reader, another station or a
// process killed half way never sees half a record.
#include "files.h"

#include "files_detail.h"

#include "printable.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace station {

using companions::printable;
using namespace files_detail;

std::string files_detail::system_error_text(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

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

namespace files_detail {

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

} // namespace files_detail

bool is_special(const std::string &path)
{
    if (is_device_name(path))
        return true;
    std::error_code ec;
    fs::file_status status = fs::status(fs::u8path(path), ec);
    return !ec && fs::exists(status) && !fs::is_regular_file(status);
}

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
