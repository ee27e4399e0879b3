#include "archive/door/archive_lock.h"

#include "support/io_seam.h"
#include "support/win32.h"

namespace archive_lock {

namespace {

class WindowsLock final : public ArchiveLock {
public:
    explicit WindowsLock(HANDLE handle) : m_handle(handle) {}
    // Closing the handle releases the lock, as the system does when the process dies.
    ~WindowsLock() override { ::CloseHandle(m_handle); }

private:
    HANDLE m_handle;
};

HANDLE OpenLockFile(const std::filesystem::path& path, LockStatus& status) {
    // No security attributes: the handle is not inherited by a child process.
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = INVALID_HANDLE_VALUE;
    io_seam::Observed({io_seam::Kind::Create, path}, [&](auto) {
        handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        return handle != INVALID_HANDLE_VALUE;
    });
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS)
        handle = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    // Read-only where we may not write it: Windows locks through it all the same (Wine hands the
    // host a read lock then, which still keeps out the Linux program's write lock).
    if (handle == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_ACCESS_DENIED) {
        handle =
            ::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            status = (error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED) ? LockStatus::NoLockFile
                                                                                     : LockStatus::Failed;
            return INVALID_HANDLE_VALUE;
        }
    }
    if (handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) != FILE_TYPE_DISK) {
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
        status = LockStatus::Failed;
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

} // namespace

std::unique_ptr<ArchiveLock> ArchiveLock::Acquire(const std::filesystem::path& archive, const archive_io::FileIdentity&,
                                                  std::chrono::milliseconds wait, LockStatus& status,
                                                  const std::function<void()>& waiting) {
    HANDLE handle = OpenLockFile(LockPath(archive), status);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    status = detail::PollForLock(
        wait,
        [&] {
            // From offset 0 over 2^64 - 1 bytes: Wine hands this to the host as a POSIX lock from 0 to
            // the end, the range the Linux program locks. A range starting beyond 2^63 would stay
            // inside Wine, unseen by Linux programs.
            OVERLAPPED whole = {};
            if (::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                             &whole))
                return LockStatus::Held;
            return ::GetLastError() == ERROR_LOCK_VIOLATION ? LockStatus::Busy : LockStatus::Failed;
        },
        waiting);
    if (status != LockStatus::Held) {
        ::CloseHandle(handle);
        return nullptr;
    }
    return std::make_unique<WindowsLock>(handle);
}

} // namespace archive_lock
