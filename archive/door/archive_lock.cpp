#include "archive/door/archive_lock.h"

#include <algorithm>
#include <thread>

namespace archive_lock::detail {

LockStatus PollForLock(std::chrono::milliseconds wait, const std::function<LockStatus()>& tryOnce,
                       const std::function<void()>& waiting) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    auto pause = std::chrono::milliseconds(2);
    for (;;) {
        const LockStatus status = tryOnce();
        if (status != LockStatus::Busy)
            return status;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return LockStatus::Busy;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
        if (waiting)
            waiting();
    }
}

} // namespace archive_lock::detail
