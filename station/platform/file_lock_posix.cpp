// file_lock.h on POSIX: flock, which goes with the descriptor.
#include "file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace station {

FileLock::FileLock(const std::string &path)
{
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int status = -1;
    while (fd_ >= 0 && (status = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
    }
    locked_ = fd_ >= 0 && status == 0;
    error_ = locked_ ? 0 : errno;
}

FileLock::~FileLock()
{
    if (fd_ >= 0)
        close(fd_); // the lock goes with it
}

} // namespace station
