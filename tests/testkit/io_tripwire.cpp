#include "testkit/io_tripwire.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <limits>
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

extern "C" {

ssize_t write(int fd, const void* buffer, size_t count) {
    return WatchedWrite("write", fd, buffer, count, 0, false);
}
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    return WatchedWrite("pwrite", fd, buffer, count, offset, true);
}
ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset) {
    return WatchedWrite("pwrite64", fd, buffer, count, offset, true);
}
int ftruncate(int fd, off_t size) {
    return WatchedTruncate("ftruncate", fd, size);
}
int ftruncate64(int fd, off_t size) {
    return WatchedTruncate("ftruncate64", fd, size);
}
int fsync(int fd) {
    return WatchedSync("fsync", fd);
}
int fdatasync(int fd) {
    return WatchedSync("fdatasync", fd);
}
int rename(const char* from, const char* to) {
    return WatchedTwoPaths("rename", Event::Kind::Rename, from, to);
}
int link(const char* from, const char* to) {
    // A file system without hard links (FAT) answers EPERM.
    if (GetState().refuseLinks && Active() && (Watched(from) || Watched(to))) {
        errno = EPERM;
        return -1;
    }
    return WatchedTwoPaths("link", Event::Kind::Link, from, to);
}
int unlink(const char* path) {
    return WatchedRemove("unlink", path);
}
int remove(const char* path) {
    return WatchedRemove("remove", path);
}

} // extern "C"
