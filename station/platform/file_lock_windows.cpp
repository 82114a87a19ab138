// file_lock.h on Windows: LockFileEx on a byte far past the end, since
// Windows' locks keep others from reading what they cover and the file's
// text must stay readable.
#include "file_lock.h"

#include <cerrno>
#include <filesystem>
#include <windows.h>

namespace station {
namespace {

OVERLAPPED &far_byte()
{
    static OVERLAPPED at{};
    at.OffsetHigh = 0x7fffffff;
    return at;
}

} // namespace

FileLock::FileLock(const std::string &path)
{
    handle_ = CreateFileW(std::filesystem::u8path(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    locked_ = handle_ != INVALID_HANDLE_VALUE && LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &far_byte()) != 0;
    error_ = locked_ ? 0 : errno;
}

FileLock::~FileLock()
{
    if (locked_)
        UnlockFileEx(handle_, 0, 1, 0, &far_byte());
    if (handle_ != INVALID_HANDLE_VALUE)
        CloseHandle(handle_);
}

} // namespace station
