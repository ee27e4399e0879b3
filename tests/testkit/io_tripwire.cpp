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
namespace cut = testkit::power_cut;
namespace cutd = testkit::power_cut::detail;

namespace {

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using RenameAtFn = int (*)(int, const char*, int, const char*);
using RenameAt2Fn = int (*)(int, const char*, int, const char*, unsigned);
using LinkAtFn = int (*)(int, const char*, int, const char*, int);
using UnlinkAtFn = int (*)(int, const char*, int);
using CopyRangeFn = ssize_t (*)(int, off64_t*, int, off64_t*, size_t, unsigned);
using SendFileFn = ssize_t (*)(int, int, off_t*, size_t);

// Power-cut hooks around each kind of call: count it (the cut may fall here), make it, and record
// what it changed once it succeeded.
template <typename Call> ssize_t CutWrite(int fd, const void* buffer, off_t offset, bool positioned, Call call) {
    cutd::Target target;
    if (!cutd::EnterFd(fd, target) || target.directory)
        return call();
    const off_t at = positioned ? offset : ::lseek(fd, 0, SEEK_CUR);
    const ssize_t result = call();
    if (result > 0)
        cutd::Record(cut::Call::Kind::Write, target, static_cast<std::uint64_t>(at), buffer,
                     static_cast<std::size_t>(result));
    return result;
}

template <typename Call> int CutTruncate(int fd, off_t size, Call call) {
    cutd::Target target;
    if (!cutd::EnterFd(fd, target) || target.directory)
        return call();
    const int result = call();
    if (result == 0)
        cutd::Record(cut::Call::Kind::Truncate, target, static_cast<std::uint64_t>(size), nullptr, 0);
    return result;
}

template <typename Call> int CutSync(int fd, Call call) {
    cutd::Target target;
    if (!cutd::EnterFd(fd, target))
        return call();
    const int result = call();
    if (result == 0)
        cutd::Record(target.directory ? cut::Call::Kind::DirSync : cut::Call::Kind::Sync, target, 0, nullptr, 0);
    return result;
}

std::vector<std::uint8_t> ReadAllOf(int dirfd, const char* path) {
    std::vector<std::uint8_t> bytes;
    const int fd = ::openat(dirfd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    std::uint8_t buffer[65536];
    for (ssize_t count; (count = ::read(fd, buffer, sizeof(buffer))) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + count);
    ::close(fd);
    return bytes;
}

template <typename Call>
int CutTwoPaths(cut::Call::Kind kind, int fromDir, const char* from, int toDir, const char* to, Call call) {
    std::string fromName;
    std::string toName;
    const bool fromWatched = cutd::WatchedName(fromDir, from, fromName);
    const bool toWatched = cutd::WatchedName(toDir, to, toName);
    if (!fromWatched && !toWatched)
        return call();
    struct stat info {};
    const bool found = ::fstatat(fromDir, from, &info, AT_SYMLINK_NOFOLLOW) == 0;
    cutd::Tick();
    const int result = call();
    if (result != 0 || !found)
        return result;
    if (fromWatched && toWatched) {
        cutd::RecordNames(kind, fromName, toName, info.st_ino);
    } else if (toWatched) {
        // Brought in from elsewhere: a new name whose content was made outside our view.
        cutd::RecordNames(cut::Call::Kind::Create, toName, {}, info.st_ino);
        const std::vector<std::uint8_t> bytes = ReadAllOf(toDir, to);
        cutd::Target target{info.st_ino, toName, false};
        cutd::Record(cut::Call::Kind::Write, target, 0, bytes.data(), bytes.size());
        cutd::Record(cut::Call::Kind::Sync, target, 0, nullptr, 0);
    } else if (kind == cut::Call::Kind::Rename) {
        cutd::RecordNames(cut::Call::Kind::Remove, fromName, {}, info.st_ino);
    }
    return result;
}

template <typename Call> int CutRemove(int dirfd, const char* path, Call call) {
    std::string name;
    if (!cutd::WatchedName(dirfd, path, name))
        return call();
    struct stat info {};
    const bool found = ::fstatat(dirfd, path, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
    cutd::Tick();
    const int result = call();
    if (result == 0 && found)
        cutd::RecordNames(cut::Call::Kind::Remove, name, {}, info.st_ino);
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
    if (fd < 0)
        return fd;
    cutd::Target target{cutd::InodeOf(fd), name, false};
    if (existed)
        cutd::Record(cut::Call::Kind::Truncate, target, 0, nullptr, 0);
    else
        cutd::RecordNames(cut::Call::Kind::Create, name, {}, target.inode);
    return fd;
}

// A kernel copy into a watched file: recorded as the write of the bytes read back from the source.
template <typename Call> ssize_t CutCopy(int in, off64_t* inOffset, int out, off64_t* outOffset, Call call) {
    cutd::Target target;
    if (!cutd::EnterFd(out, target) || target.directory)
        return call();
    const off64_t from = inOffset != nullptr ? *inOffset : ::lseek(in, 0, SEEK_CUR);
    const off64_t at = outOffset != nullptr ? *outOffset : ::lseek(out, 0, SEEK_CUR);
    const ssize_t result = call();
    if (result > 0) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(result));
        if (::pread(in, bytes.data(), bytes.size(), from) == result)
            cutd::Record(cut::Call::Kind::Write, target, static_cast<std::uint64_t>(at), bytes.data(), bytes.size());
    }
    return result;
}

mode_t ModeArgument(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
}

} // namespace

extern "C" {

ssize_t write(int fd, const void* buffer, size_t count) {
    return CutWrite(fd, buffer, 0, false, [&] { return WatchedWrite("write", fd, buffer, count, 0, false); });
}
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    return CutWrite(fd, buffer, offset, true, [&] { return WatchedWrite("pwrite", fd, buffer, count, offset, true); });
}
ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
    return CutWrite(fd, buffer, offset, true,
                    [&] { return WatchedWrite("pwrite64", fd, buffer, count, offset, true); });
}
int ftruncate(int fd, off_t size) {
    return CutTruncate(fd, size, [&] { return WatchedTruncate("ftruncate", fd, size); });
}
int ftruncate64(int fd, off_t size) {
    return CutTruncate(fd, size, [&] { return WatchedTruncate("ftruncate64", fd, size); });
}
int fsync(int fd) {
    return CutSync(fd, [&] { return WatchedSync("fsync", fd); });
}
int fdatasync(int fd) {
    return CutSync(fd, [&] { return WatchedSync("fdatasync", fd); });
}
int rename(const char* from, const char* to) {
    return CutTwoPaths(cut::Call::Kind::Rename, AT_FDCWD, from, AT_FDCWD, to,
                       [&] { return WatchedTwoPaths("rename", Event::Kind::Rename, from, to); });
}
int renameat(int fromDir, const char* from, int toDir, const char* to) {
    return CutTwoPaths(cut::Call::Kind::Rename, fromDir, from, toDir, to,
                       [&] { return Real<RenameAtFn>("renameat")(fromDir, from, toDir, to); });
}
int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    return CutTwoPaths(cut::Call::Kind::Rename, fromDir, from, toDir, to,
                       [&] { return Real<RenameAt2Fn>("renameat2")(fromDir, from, toDir, to, flags); });
}
int link(const char* from, const char* to) {
    // A file system without hard links (FAT) answers EPERM.
    if (GetState().refuseLinks && Active() && (Watched(from) || Watched(to))) {
        errno = EPERM;
        return -1;
    }
    return CutTwoPaths(cut::Call::Kind::Link, AT_FDCWD, from, AT_FDCWD, to,
                       [&] { return WatchedTwoPaths("link", Event::Kind::Link, from, to); });
}
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return CutTwoPaths(cut::Call::Kind::Link, fromDir, from, toDir, to,
                       [&] { return Real<LinkAtFn>("linkat")(fromDir, from, toDir, to, flags); });
}
int unlink(const char* path) {
    return CutRemove(AT_FDCWD, path, [&] { return WatchedRemove("unlink", path); });
}
int unlinkat(int dirfd, const char* path, int flags) {
    return CutRemove(dirfd, path, [&] { return Real<UnlinkAtFn>("unlinkat")(dirfd, path, flags); });
}
int remove(const char* path) {
    return CutRemove(AT_FDCWD, path, [&] { return WatchedRemove("remove", path); });
}
int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    return CutOpen(AT_FDCWD, path, flags, [&] { return Real<OpenFn>("open")(path, flags, mode); });
}
int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    return CutOpen(AT_FDCWD, path, flags, [&] { return Real<OpenFn>("open64")(path, flags, mode); });
}
int openat(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    return CutOpen(dirfd, path, flags, [&] { return Real<OpenAtFn>("openat")(dirfd, path, flags, mode); });
}
int openat64(int dirfd, const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeArgument(flags, arguments);
    va_end(arguments);
    return CutOpen(dirfd, path, flags, [&] { return Real<OpenAtFn>("openat64")(dirfd, path, flags, mode); });
}
ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t length, unsigned flags) {
    return CutCopy(in, inOffset, out, outOffset,
                   [&] { return Real<CopyRangeFn>("copy_file_range")(in, inOffset, out, outOffset, length, flags); });
}
ssize_t sendfile(int out, int in, off_t* offset, size_t count) {
    return CutCopy(in, offset, out, nullptr, [&] { return Real<SendFileFn>("sendfile")(out, in, offset, count); });
}
ssize_t sendfile64(int out, int in, off64_t* offset, size_t count) {
    return CutCopy(in, offset, out, nullptr, [&] { return Real<SendFileFn>("sendfile64")(out, in, offset, count); });
}

} // extern "C"
