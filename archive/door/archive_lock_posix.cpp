#include "archive/door/archive_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace archive_lock {

namespace {

class PosixLock final : public ArchiveLock {
public:
    explicit PosixLock(int fd) : m_fd(fd) {}
    // Unlocked explicitly: a child forked meanwhile shares this open file, and closing our
    // descriptor alone would leave the lock held through its copy.
    ~PosixLock() override {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
    }

private:
    int m_fd;
};

// The lock file, opened for writing where we may, else read-only (flock does not care); -1 with
// status set when it cannot be opened at all.
int OpenLockFile(const std::filesystem::path& path, const archive_io::FileIdentity& owner, LockStatus& status) {
    // O_NOFOLLOW: a symbolic link planted under the lock's name is not followed to another file.
    const int common = O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | common, 0644);
    if (fd >= 0) {
        // A new lock file belongs to whoever owns the archive, so that player can lock it later.
        if (::fchown(fd, static_cast<uid_t>(owner.owner), static_cast<gid_t>(owner.group)) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(owner.group));
        (void)::fchmod(fd, static_cast<mode_t>(owner.mode & 0666));
    } else if (errno == EEXIST) {
        fd = ::open(path.c_str(), O_RDWR | common);
        if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
            fd = ::open(path.c_str(), O_RDONLY | common);
    } else if (errno == EACCES || errno == EROFS || errno == EPERM) {
        status = LockStatus::NoLockFile;
        return -1;
    }
    if (fd < 0) {
        status = LockStatus::Failed;
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
    // flock, not fcntl: its lock belongs to this open file, not to the process, so no other close()
    // of the same file (StormLib's, ours) can drop it.
    status = detail::PollForLock(
        wait,
        [&] {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
                return LockStatus::Held;
            return errno == EWOULDBLOCK || errno == EINTR ? LockStatus::Busy : LockStatus::Failed;
        },
        waiting);
    if (status != LockStatus::Held) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<PosixLock>(fd);
}

} // namespace archive_lock
