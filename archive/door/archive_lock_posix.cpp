#include "archive/door/archive_lock.h"

#include "support/io_seam.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace archive_lock {

namespace {

// The range every holder locks: the whole file, however long it grows (l_len 0). Wine maps a
// Windows lock of the whole file to this same range, so a Windows program under Wine and we
// exclude each other.
struct flock WholeFile(short type) {
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 0;
    return range;
}

class PosixLock final : public ArchiveLock {
public:
    explicit PosixLock(int fd) : m_fd(fd) {}
    // Unlocked explicitly: a child forked meanwhile shares this open file, and closing our
    // descriptor alone would leave the lock held through its copy.
    ~PosixLock() override {
        struct flock range = WholeFile(F_UNLCK);
        (void)::fcntl(m_fd, F_OFD_SETLK, &range);
        ::close(m_fd);
    }

private:
    int m_fd;
};

bool Denied(int error) {
    return error == EACCES || error == EROFS || error == EPERM;
}

// The lock file, opened for writing (a write lock needs it); -1 with status set when it cannot be:
// NoLockFile when we may not write it or make it, Failed otherwise.
int OpenLockFile(const std::filesystem::path& path, const archive_io::FileIdentity& owner, LockStatus& status) {
    // O_NOFOLLOW: a symbolic link planted under the lock's name is not followed to another file.
    const int common = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    int fd = -1;
    io_seam::Observed({io_seam::Kind::Create, path},
                      [&](auto) { return (fd = ::open(path.c_str(), O_CREAT | O_EXCL | common, 0644)) >= 0; });
    if (fd >= 0) {
        // A new lock file belongs to whoever owns the archive, so that player can lock it later.
        if (::fchown(fd, static_cast<uid_t>(owner.owner), static_cast<gid_t>(owner.group)) != 0 &&
            ::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(owner.group)) != 0) {
            // Not even the group may be given: the lock file stays ours, which locks all the same.
        }
        (void)::fchmod(fd, static_cast<mode_t>(owner.mode & 0666));
    } else if (errno == EEXIST) {
        fd = ::open(path.c_str(), common);
    }
    if (fd < 0) {
        status = Denied(errno) ? LockStatus::NoLockFile : LockStatus::Failed;
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        status = LockStatus::Failed;
        return -1;
    }
    return fd;
}

} // namespace

std::unique_ptr<ArchiveLock> ArchiveLock::Acquire(const std::filesystem::path& archive,
                                                  const archive_io::FileIdentity& owner, std::chrono::milliseconds wait,
                                                  LockStatus& status, const std::function<void()>& waiting) {
    const int fd = OpenLockFile(LockPath(archive), owner, status);
    if (fd < 0)
        return nullptr;
    // An open-file-description lock: like flock it belongs to this open file, not to the process,
    // so no other close() of the same file can drop it; unlike flock, Wine's locks see it.
    status = detail::PollForLock(
        wait,
        [&] {
            struct flock range = WholeFile(F_WRLCK);
            if (::fcntl(fd, F_OFD_SETLK, &range) == 0)
                return LockStatus::Held;
            return errno == EAGAIN || errno == EACCES || errno == EINTR ? LockStatus::Busy : LockStatus::Failed;
        },
        waiting);
    if (status != LockStatus::Held) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixLock>(fd);
}

} // namespace archive_lock
