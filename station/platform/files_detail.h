// What the halves of files.cpp share: files_posix.cpp and files_windows.cpp
// write and probe with the calls of their OS, files.cpp holds the rest.
#pragma once

#include <filesystem>
#include <string>

namespace station::files_detail {

namespace fs = std::filesystem;

// Names tried for a new file before giving up.
constexpr int most_tries = 1000;

std::string system_error_text(int error);

// The file that path names, through any symlinks: the one a write replaces,
// so that a link stays a link. A dangling link names the file to create.
fs::path link_target(const std::string &path);

// The folder of file; "." for a bare name.
std::string folder_of(const fs::path &file);

// The name with "-2", "-3", ... before its extension: the try'th choice.
std::string numbered(const std::string &name, int tries);

// Per OS: whether path names a device in every folder (Windows' NUL, CON...).
bool is_device_name(const std::string &path);

// Per OS: 0 when a file could be made in dir (and was removed again), else errno.
int try_folder(const std::string &dir);

} // namespace station::files_detail
