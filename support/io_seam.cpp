#include "support/io_seam.h"

#include <cerrno>
#ifdef _WIN32
#include "support/win32.h"
#endif

namespace io_seam {

Observer* SetObserver(Observer* observer) {
    return detail::observer.exchange(observer, std::memory_order_acq_rel);
}

void detail::SetRefusedError() {
#ifdef _WIN32
    ::SetLastError(ERROR_NOT_SUPPORTED);
#endif
    errno = EPERM; // what link(2) answers on a file system without hard links
}

void detail::SetNoSpaceError() {
#ifdef _WIN32
    ::SetLastError(ERROR_DISK_FULL);
#endif
    errno = ENOSPC;
}

void detail::TellAfter(Observer& observer, const Call& call, bool succeeded) {
    const int error = errno;
#ifdef _WIN32
    const DWORD lastError = ::GetLastError();
#endif
    observer.After(call, succeeded);
    errno = error;
#ifdef _WIN32
    ::SetLastError(lastError);
#endif
}

} // namespace io_seam
