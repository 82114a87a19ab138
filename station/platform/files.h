// Files written whole or not at all, the folders they go into (the user's
// data folder among them), and a standard input that is never a stray file.
#pragma once

#include <string>

namespace station {

// A device, a FIFO, /dev/stdout: written as a shell's '>' writes it, since
// a file renamed over it would take its place.
bool is_special(const std::string &path);

// Writes text to path under a temporary name beside it, synced, then renamed
// over path: a reader sees the whole file or none. A symlink stays, and the
// file it names is replaced; a path that is no regular file (a device, a
// FIFO, /dev/stdout) is written in place as a shell's '>' would. false with why.
bool write_atomically(const std::string &path, const std::string &text, std::string &error);

// Writes text, whole or not at all as write_atomically does, to a new file
// in dir named name, or with "-2", "-3", ... before its extension where that
// is taken: never over a file, another station's either. path is the file
// written; false with why.
bool write_new_file(const std::string &dir, const std::string &name, const std::string &text, std::string &path,
                    std::string &error);

// Creates dir and its parents where missing; false with why.
bool make_directories(const std::string &dir, std::string &error);

// Whether a file can be created in dir, tried by making one and removing
// it; false with why.
bool folder_writable(const std::string &dir, std::string &error);

// Whether write_atomically can write path; false with why.
bool file_writable(const std::string &path, std::string &error);

// Where a user's programs keep their data: $XDG_DATA_HOME, else
// ~/.local/share; %LOCALAPPDATA% on Windows; "." where none is set.
std::string user_data_folder();

// A process started with standard input closed gets the null device there,
// so that the first file it opens does not take its place (and get read as
// commands); false when that fails.
bool hold_standard_input();

} // namespace station
