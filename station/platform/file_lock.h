// An exclusive lock on a file, shared by every process that locks the same
// file this way: held from construction while locked(), let go with the
// object.
#pragma once

#include <string>

namespace station {

class FileLock {
public:
    // Waits for the lock; the file must exist, and is never written.
    explicit FileLock(const std::string &path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    bool locked() const { return locked_; }
    int error() const { return error_; } // errno's number where not locked

private:
    int fd_ = -1;             // the open file on POSIX
    void *handle_ = nullptr;  // and on Windows, a HANDLE
    bool locked_ = false;
    int error_ = 0;
};

} // namespace station
