#include "testkit/io_tripwire.h"

#include "testkit/power_cut.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace testkit::tripwire {

namespace {

struct State {
    bool watching = false;
    std::string directory;
    std::vector<Event> events;
    std::size_t killPoint = std::numeric_limits<std::size_t>::max();
    bool inside = false; // our own bookkeeping must not be watched
    bool refuseLinks = false;
};

State& GetState() {
    static State state;
    return state;
}

std::string PathOfFd(int fd) {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t length = ::readlink(link, target, sizeof(target) - 1);
    if (length <= 0)
        return {};
    return std::string(target, static_cast<std::size_t>(length));
}

bool Watched(const std::string& path) {
    State& state = GetState();
    if (!state.watching || state.inside || path.empty())
        return false;
    const std::string absolute = std::filesystem::absolute(path).lexically_normal().string();
    return std::filesystem::path(absolute).parent_path().string() == state.directory;
}

bool Active() {
    return GetState().watching && !GetState().inside;
}

[[noreturn]] void Die() {
    ::kill(::getpid(), SIGKILL);
    for (;;)
        ::pause();
}

// Records the event; returns true when the process must die inside it.
bool Before(Event event) {
    State& state = GetState();
    state.inside = true;
    const std::size_t index = state.events.size();
    state.events.push_back(std::move(event));
    state.inside = false;
    return state.killPoint == 2 * index;
}

void After() {
    State& state = GetState();
    if (state.killPoint == 2 * (state.events.size() - 1) + 1)
        Die();
}

template <typename Function> Function Real(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

using WriteFn = ssize_t (*)(int, const void*, size_t);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);
using TruncateFn = int (*)(int, off_t);
using SyncFn = int (*)(int);
using RenameFn = int (*)(const char*, const char*);
using LinkFn = int (*)(const char*, const char*);
using UnlinkFn = int (*)(const char*);

ssize_t WatchedWrite(const char* name, int fd, const void* buffer, size_t count, off_t offset, bool positioned) {
    auto realWrite = [&](size_t bytes) -> ssize_t {
        if (positioned)
            return Real<PwriteFn>(name)(fd, buffer, bytes, offset);
        return Real<WriteFn>(name)(fd, buffer, bytes);
    };
    if (!Active())
        return realWrite(count);
    const std::string path = PathOfFd(fd);
    if (!Watched(path))
        return realWrite(count);
    Event event{Event::Kind::Write, path, {}, 0, count};
    event.offset =
        positioned ? static_cast<std::uint64_t>(offset) : static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_CUR));
    if (Before(std::move(event))) {
        if (count > 1)
            realWrite(count / 2);
        Die();
    }
    const ssize_t result = realWrite(count);
    After();
    return result;
}

int WatchedTruncate(const char* name, int fd, off_t size) {
    if (!Active())
        return Real<TruncateFn>(name)(fd, size);
    const std::string path = PathOfFd(fd);
    if (!Watched(path))
        return Real<TruncateFn>(name)(fd, size);
    if (Before(Event{Event::Kind::Truncate, path, {}, static_cast<std::uint64_t>(size), 0}))
        Die();
    const int result = Real<TruncateFn>(name)(fd, size);
    After();
    return result;
}

int WatchedSync(const char* name, int fd) {
    if (!Active())
        return Real<SyncFn>(name)(fd);
    const std::string path = PathOfFd(fd);
    // A directory is synced as the directory itself; record it under the watched directory.
    const bool isDirectory = std::filesystem::is_directory(path);
    if (!(isDirectory ? path == GetState().directory : Watched(path)))
        return Real<SyncFn>(name)(fd);
    if (Before(Event{Event::Kind::Sync, path, {}, 0, 0}))
        Die();
    const int result = Real<SyncFn>(name)(fd);
    After();
    return result;
}

int WatchedTwoPaths(const char* name, Event::Kind kind, const char* from, const char* to) {
    if (!Active() || (!Watched(from) && !Watched(to)))
        return Real<RenameFn>(name)(from, to);
    if (Before(Event{kind, from, to, 0, 0}))
        Die();
    const int result = Real<RenameFn>(name)(from, to);
    After();
    return result;
}

int WatchedRemove(const char* name, const char* path) {
    if (!Active() || !Watched(path))
        return Real<UnlinkFn>(name)(path);
    if (Before(Event{Event::Kind::Remove, path, {}, 0, 0}))
        Die();
    const int result = Real<UnlinkFn>(name)(path);
    After();
    return result;
}

} // namespace

void Watch(const std::filesystem::path& directory) {
    State& state = GetState();
    state.directory = std::filesystem::absolute(directory).lexically_normal().string();
    if (!state.directory.empty() && state.directory.back() == '/')
        state.directory.pop_back();
    state.events.clear();
    state.killPoint = std::numeric_limits<std::size_t>::max();
    state.watching = true;
}

void Stop() {
    State& state = GetState();
    state.watching = false;
    state.killPoint = std::numeric_limits<std::size_t>::max();
}

const std::vector<Event>& Events() {
    return GetState().events;
}

void KillAt(std::size_t point) {
    GetState().killPoint = point;
}

void RefuseHardLinks(bool refuse) {
    GetState().refuseLinks = refuse;
}

std::string Describe(const Event& event) {
    const std::string file = std::filesystem::path(event.path).filename().string();
    switch (event.kind) {
    case Event::Kind::Write:
        return "write " + file + " @" + std::to_string(event.offset) + "+" + std::to_string(event.size);
    case Event::Kind::Truncate:
        return "truncate " + file + " to " + std::to_string(event.offset);
    case Event::Kind::Sync:
        return "fsync " + file;
    case Event::Kind::Rename:
        return "rename " + file + " -> " + std::filesystem::path(event.target).filename().string();
    case Event::Kind::Link:
        return "link " + file + " -> " + std::filesystem::path(event.target).filename().string();
    case Event::Kind::Remove:
        return "remove " + file;
    }
    return file;
}

} // namespace testkit::tripwire

using testkit::tripwire::Event;
using namespace testkit::tripwire;
namespace cutd = testkit::power_cut::detail;
using Kind = testkit::power_cut::Call::Kind;

namespace {

// Power-cut hooks: count the call (the cut may fall there), make it, and record what it changed
// once it succeeded. bytesOf(result) gives a write's bytes (none for other calls).
template <typename Call, typename BytesOf> auto CutFd(Kind kind, int fd, off64_t at, Call call, BytesOf bytesOf) {
    std::string name;
    std::uint64_t inode = 0;
    if (!cutd::EnterFd(fd, name, inode) || (name.empty() && kind != Kind::Sync))
        return call();
    at = at < 0 ? ::lseek(fd, 0, SEEK_CUR) : at;
    const auto result = call();
    if (kind == Kind::Write ? result > 0 : result == 0)
        cutd::Record(
            {name.empty() ? Kind::DirSync : kind, name, {}, inode, static_cast<std::uint64_t>(at), bytesOf(result)});
    return result;
}

auto BytesAt(const void* buffer) {
    return [buffer](ssize_t count) {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        return std::vector<std::uint8_t>(bytes, bytes + count);
    };
}

// A kernel copy into a watched file is a write of the bytes read back from the source.
auto BytesCopied(int in, const off64_t* offset) {
    const off64_t from = offset != nullptr ? *offset : ::lseek(in, 0, SEEK_CUR);
    return [in, from](ssize_t count) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
        return ::pread(in, bytes.data(), bytes.size(), from) == count ? bytes : std::vector<std::uint8_t>();
    };
}

// rename and link (within, into or out of the watched directory), unlink and remove (to null).
template <typename Call> int CutPaths(Kind kind, int fromDir, const char* from, int toDir, const char* to, Call call) {
    std::string fromName;
    std::string toName;
    const bool fromWatched = cutd::WatchedName(fromDir, from, fromName);
    const bool toWatched = cutd::WatchedName(toDir, to, toName);
    struct stat info {};
    if ((!fromWatched && !toWatched) || ::fstatat(fromDir, from, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return call();
    cutd::Tick();
    const int result = call();
    if (result == 0 && fromWatched && toWatched)
        cutd::Record({kind, fromName, toName, info.st_ino, 0, {}});
    else if (result == 0 && toWatched)
        cutd::RecordBroughtIn(toName, info.st_ino);
    else if (result == 0 && kind != Kind::Link && S_ISREG(info.st_mode))
        cutd::Record({Kind::Remove, fromName, {}, info.st_ino, 0, {}});
    return result;
}

template <typename Call> int CutOpen(int dirfd, const char* path, int flags, Call call) {
    std::string name;
    if ((flags & (O_CREAT | O_TRUNC)) == 0 || !cutd::WatchedName(dirfd, path, name))
        return call();
    struct stat info {};
    const bool existed = ::fstatat(dirfd, path, &info, 0) == 0;
    // Opening an existing file without emptying it changes nothing.
    if (existed ? (flags & O_TRUNC) == 0 || !S_ISREG(info.st_mode) : (flags & O_CREAT) == 0)
        return call();
    cutd::Tick();
    const int fd = call();
    if (fd >= 0 && ::fstat(fd, &info) == 0)
        cutd::Record({existed ? Kind::Truncate : Kind::Create, name, {}, info.st_ino, 0, {}});
    return fd;
}

const auto kNoBytes = [](auto) { return std::vector<std::uint8_t>(); };

} // namespace

// open's mode argument is there only with O_CREAT or O_TMPFILE.
#define OSTRAWEN_MODE_ARGUMENT(flags)                                                                                  \
    va_list arguments;                                                                                                 \
    va_start(arguments, flags);                                                                                        \
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, unsigned) : 0;                        \
    va_end(arguments)

extern "C" {

ssize_t write(int fd, const void* buffer, size_t count) {
    return CutFd(
        Kind::Write, fd, -1, [&] { return WatchedWrite("write", fd, buffer, count, 0, false); }, BytesAt(buffer));
}
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    return CutFd(
        Kind::Write, fd, offset, [&] { return WatchedWrite("pwrite", fd, buffer, count, offset, true); },
        BytesAt(buffer));
}
ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
    return CutFd(
        Kind::Write, fd, offset, [&] { return WatchedWrite("pwrite64", fd, buffer, count, offset, true); },
        BytesAt(buffer));
}
int ftruncate(int fd, off_t size) {
    return CutFd(
        Kind::Truncate, fd, size, [&] { return WatchedTruncate("ftruncate", fd, size); }, kNoBytes);
}
int ftruncate64(int fd, off_t size) {
    return CutFd(
        Kind::Truncate, fd, size, [&] { return WatchedTruncate("ftruncate64", fd, size); }, kNoBytes);
}
int fsync(int fd) {
    return CutFd(
        Kind::Sync, fd, 0, [&] { return WatchedSync("fsync", fd); }, kNoBytes);
}
int fdatasync(int fd) {
    return CutFd(
        Kind::Sync, fd, 0, [&] { return WatchedSync("fdatasync", fd); }, kNoBytes);
}
int rename(const char* from, const char* to) {
    return CutPaths(Kind::Rename, AT_FDCWD, from, AT_FDCWD, to,
                    [&] { return WatchedTwoPaths("rename", Event::Kind::Rename, from, to); });
}
int renameat(int fromDir, const char* from, int toDir, const char* to) {
    return CutPaths(Kind::Rename, fromDir, from, toDir, to, [&] {
        return Real<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
    });
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    return CutPaths(Kind::Rename, fromDir, from, toDir, to, [&] {
        return Real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(fromDir, from, toDir, to,
                                                                                        flags);
    });
}
int link(const char* from, const char* to) {
    // A file system without hard links (FAT) answers EPERM.
    if (GetState().refuseLinks && Active() && (Watched(from) || Watched(to))) {
        errno = EPERM;
        return -1;
    }
    return CutPaths(Kind::Link, AT_FDCWD, from, AT_FDCWD, to,
                    [&] { return WatchedTwoPaths("link", Event::Kind::Link, from, to); });
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return CutPaths(Kind::Link, fromDir, from, toDir, to, [&] {
        return Real<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDir, from, toDir, to, flags);
    });
}
int unlink(const char* path) {
    return CutPaths(Kind::Remove, AT_FDCWD, path, AT_FDCWD, nullptr, [&] { return WatchedRemove("unlink", path); });
}
int unlinkat(int dirfd, const char* path, int flags) {
    return CutPaths(Kind::Remove, dirfd, path, AT_FDCWD, nullptr,
                    [&] { return Real<int (*)(int, const char*, int)>("unlinkat")(dirfd, path, flags); });
}
int remove(const char* path) {
    return CutPaths(Kind::Remove, AT_FDCWD, path, AT_FDCWD, nullptr, [&] { return WatchedRemove("remove", path); });
}
int open(const char* path, int flags, ...) {
    OSTRAWEN_MODE_ARGUMENT(flags);
    return CutOpen(AT_FDCWD, path, flags,
                   [&] { return Real<int (*)(const char*, int, ...)>("open")(path, flags, mode); });
}
int openat(int dirfd, const char* path, int flags, ...) {
    OSTRAWEN_MODE_ARGUMENT(flags);
    return CutOpen(dirfd, path, flags,
                   [&] { return Real<int (*)(int, const char*, int, ...)>("openat")(dirfd, path, flags, mode); });
}
ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t length, unsigned flags) {
    using CopyRangeFn = ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned);
    return CutFd(
        Kind::Write, out, outOffset != nullptr ? *outOffset : -1,
        [&] { return Real<CopyRangeFn>("copy_file_range")(in, inOffset, out, outOffset, length, flags); },
        BytesCopied(in, inOffset));
}
ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
    return CutFd(
        Kind::Write, out, -1,
        [&] { return Real<ssize_t (*)(int, int, off_t*, size_t)>("sendfile")(out, in, offset, count); },
        BytesCopied(in, offset));
}
// The 64-bit variants are the same calls on a 64-bit system.
static_assert(sizeof(off_t) == sizeof(off64_t));
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
int openat64(int dirfd, const char* path, int flags, ...) __attribute__((alias("openat")));
ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) __attribute__((alias("sendfile")));

} // extern "C"
