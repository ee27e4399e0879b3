#pragma once
// One operation at a time on an archive, across processes: several copies of the program (and a
// command line) may work on the same archive, and each operation's writes and crash recovery must
// see no other operation's half-made files.
//
// The lock is "<archive>-lock" beside the archive's real file (symbolic links followed), write-locked
// as a whole: from offset 0 to the end, however far it grows. POSIX takes an open-file-description
// lock (fcntl F_OFD_SETLK); Windows takes LockFileEx from offset 0 over 2^64 - 1 bytes, which Wine
// hands to the host as a POSIX lock of that same whole file, so the Linux program and the Windows
// program under Wine exclude each other (flock would not: Wine never sees it). It is a file of its
// own because the archive itself changes its inode at every compaction. The lock belongs to the
// open file, not to the process, so no other close() of the same file (ours, a library's) drops it.
// It is never deleted (deleting it would let two processes lock two different files of the same
// name); it is not inherited by child processes; and the system releases it when its holder dies,
// so a crash never leaves the archive locked.
//
// A lock file we may not write, or may not make: NoLockFile, no lock at all. On POSIX a write lock
// needs the file open for writing, and a read lock would not do: the holder recovers and writes,
// which two readers at once must not. The caller then only reads, and only while no recovery file
// lies there. Windows can lock through a read-only handle and does.
// Example: "/games/War3/War3Patch.mpq" -> "/games/War3/War3Patch.mpq-lock".
#include "archive/archive_file.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

namespace archive_lock {

enum class LockStatus {
    Held,       // this process holds the lock
    Busy,       // another holder kept it for the whole wait
    NoLockFile, // the lock file cannot be made (a directory we may not write) or, on POSIX, opened for writing
    Failed,     // the name is not a regular file, or locking itself failed
};

inline std::filesystem::path LockPath(const std::filesystem::path& archive) {
    std::filesystem::path lock = archive;
    lock += "-lock";
    return lock;
}

class ArchiveLock {
public:
    // Locks "<archive>-lock" for `archive`, which must already be resolved to the real file. Tries
    // again until `wait` has passed (zero: once). When the lock file is new it takes the owner,
    // group and mode of `owner` (as root this hands it to the archive's owner).
    // `waiting` runs at least every 50 ms while another holder keeps the lock (a window repaints).
    static std::unique_ptr<ArchiveLock> Acquire(const std::filesystem::path& archive,
                                                const archive_io::FileIdentity& owner, std::chrono::milliseconds wait,
                                                LockStatus& status, const std::function<void()>& waiting = {});
    virtual ~ArchiveLock() = default;
};

namespace detail {
// The wait both platforms share: `tryOnce` (Held, Busy or Failed) until it holds or fails, or until
// `wait` has passed, pausing 2 ms and doubling up to 50 ms, with `waiting` after each pause. Polled
// rather than blocking: a blocking lock call cannot be given a deadline.
LockStatus PollForLock(std::chrono::milliseconds wait, const std::function<LockStatus()>& tryOnce,
                       const std::function<void()>& waiting);
} // namespace detail

} // namespace archive_lock
