#pragma once
// Every file-system call by which the product changes a file or a directory is made by durable::
// (support/durable_file.h) or archive_io::File (archive/archive_file.h), and each of them tells the
// process's observer before and after it. The program sets none, which costs one pointer test per
// call; a test sets one to record the calls, to end the process at one of them (a kill, a power
// cut) or to refuse one (a file system without hard links). Reads are not reported.
//
// The calls, in the order the product makes them, each as one Call:
//   Create         path                 a new file made (or, where the caller asks for it, an existing
//                                       one emptied; the observer looks at what was there)
//   Write          path, offset, bytes  bytes written at offset into the open file last named path
//   Truncate       path, offset         the open file's size set to offset
//   Sync           path                 the open file's data and size flushed to disk
//   SyncDirectory  path                 the directory's entries flushed; reported on Windows too,
//                                       where it makes no call (NTFS journals its directory changes)
//   Rename         path -> target       atomically, replacing whatever target named
//   Link           path -> target       a second name for the file
//   Remove         path                 the name removed (also reported when there was none)
// Paths are as the product passed them (absolute or relative to the working directory). Before(call)
// runs before the platform call, After(call, succeeded) after it; the call is made between them
// unless Before refuses it. Observers run on the calling thread.
//
// Example: durable::ReplaceFile("D:\\War3\\a.tmp", "D:\\War3\\a") reports
// {Rename, "D:\\War3\\a.tmp", "D:\\War3\\a"} to Before, then MoveFileExW, then After(call, true).
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <span>

namespace io_seam {

enum class Kind { Create, Write, Truncate, Sync, SyncDirectory, Rename, Link, Remove };

struct Call {
    Kind kind;
    const std::filesystem::path& path;
    const std::filesystem::path* target = nullptr; // Rename, Link
    std::uint64_t offset = 0;                      // Write: where; Truncate: the new size
    std::span<const std::uint8_t> bytes = {};      // Write
};

enum class Verdict {
    Proceed,
    // The call is not made and fails as one the file system does not support.
    Refuse,
    // A write makes only the first half of its bytes, then After runs: a process killed inside it.
    TearWrite,
    // The call is not made and fails as on a full disk (ENOSPC, ERROR_DISK_FULL).
    NoSpace,
};

class Observer {
public:
    virtual Verdict Before(const Call& call) = 0;
    virtual void After(const Call& call, bool succeeded) = 0;

protected:
    ~Observer() = default;
};

// Sets the process's observer (null: none) and gives the previous one. Set it while no other
// thread makes file calls.
Observer* SetObserver(Observer* observer);

namespace detail {
inline std::atomic<Observer*> observer{nullptr};
// errno or the thread's last error as a refused call leaves it (EPERM, ERROR_NOT_SUPPORTED).
void SetRefusedError();
// errno or the thread's last error as a full disk leaves it.
void SetNoSpaceError();
// observer.After, with errno and the thread's last error left as the call left them for its caller.
void TellAfter(Observer& observer, const Call& call, bool succeeded);
} // namespace detail

// Makes the call through `make`, which gets the bytes to write (a write's, or fewer when the
// observer tears it; empty for other calls) and returns true on success; the observer is told.
template <typename Make> bool Observed(const Call& call, Make&& make) {
    Observer* const observer = detail::observer.load(std::memory_order_acquire);
    if (observer == nullptr)
        return make(call.bytes);
    const Verdict verdict = observer->Before(call);
    if (verdict == Verdict::Refuse || verdict == Verdict::NoSpace) {
        if (verdict == Verdict::Refuse)
            detail::SetRefusedError();
        else
            detail::SetNoSpaceError();
        return false;
    }
    const bool succeeded = make(verdict == Verdict::TearWrite ? call.bytes.first(call.bytes.size() / 2) : call.bytes);
    detail::TellAfter(*observer, call, succeeded);
    return succeeded;
}

} // namespace io_seam
