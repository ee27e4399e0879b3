// ostrawen-lock-holder ARCHIVE RELEASE: a Windows program's operation stopped in its middle, for the
// Linux side's tests. Takes ARCHIVE's lock as the program does, prints "held" (else "busy",
// "no lock file" or "failed") and keeps it until the file RELEASE exists, at most two minutes.
#include "archive/door/archive_lock.h"

#include <cstdio>
#include <thread>

namespace {

const char* Said(archive_lock::LockStatus status) {
    switch (status) {
    case archive_lock::LockStatus::Held:
        return "held";
    case archive_lock::LockStatus::Busy:
        return "busy";
    case archive_lock::LockStatus::NoLockFile:
        return "no lock file";
    case archive_lock::LockStatus::Failed:
        break;
    }
    return "failed";
}

} // namespace

int wmain(int argc, wchar_t* argv[]) {
    if (argc != 3) {
        std::fputs("usage: ostrawen-lock-holder ARCHIVE RELEASE\n", stderr);
        return 2;
    }
    const std::filesystem::path archive = argv[1];
    const std::filesystem::path release = argv[2];
    const std::optional<archive_io::FileIdentity> identity = archive_io::IdentityOf(archive);
    archive_lock::LockStatus status = archive_lock::LockStatus::Failed;
    std::unique_ptr<archive_lock::ArchiveLock> lock;
    if (identity)
        lock = archive_lock::ArchiveLock::Acquire(archive, *identity, std::chrono::milliseconds(0), status);
    std::printf("%s\n", Said(status));
    std::fflush(stdout);
    if (!lock)
        return 1;
    std::error_code error;
    for (int wait = 0; wait < 6000 && !std::filesystem::exists(release, error); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 0;
}
