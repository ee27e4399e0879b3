#include "testkit/power_cut.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace fs = std::filesystem;

namespace testkit::power_cut {

namespace {

// Where a worker started from the same executable finds the setting.
constexpr const char* kVariables[] = {"OSTRAWEN_POWER_CUT_DIR", "OSTRAWEN_POWER_CUT_RECORD",
                                      "OSTRAWEN_POWER_CUT_COUNTER"};

struct Counter { // shared by every process of one cut
    std::uint64_t calls;
    std::uint64_t killPoint;
};

struct State {
    bool recording = false; // in a cut child or its workers
    bool inside = false;    // our own bookkeeping is never recorded
    std::string paths[3];   // the directory, the record, the counter
    struct stat directory {};
    int recordFd = -1;
    Counter* counter = nullptr;
    std::map<std::string, std::pair<std::uint64_t, std::vector<std::uint8_t>>> start; // inode, bytes at Arm()
};

State& GetState() {
    static State state;
    return state;
}

struct Inside {
    bool was = std::exchange(GetState().inside, true);
    ~Inside() { GetState().inside = was; }
};

bool Open(State& state) {
    state.recordFd = ::open(state.paths[1].c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int counter = ::open(state.paths[2].c_str(), O_RDWR | O_CLOEXEC);
    void* mapped =
        counter < 0 ? MAP_FAILED : ::mmap(nullptr, sizeof(Counter), PROT_READ | PROT_WRITE, MAP_SHARED, counter, 0);
    if (counter >= 0)
        ::close(counter);
    state.counter = mapped == MAP_FAILED ? nullptr : static_cast<Counter*>(mapped);
    return ::stat(state.paths[0].c_str(), &state.directory) == 0 && state.recordFd >= 0 && state.counter != nullptr;
}

bool Armed() {
    static bool fromEnvironment = false;
    State& state = GetState();
    if (!fromEnvironment && !state.inside) {
        fromEnvironment = true;
        Inside inside;
        if (const char* dir = std::getenv(kVariables[0]); dir != nullptr && std::getenv(kVariables[2]) != nullptr) {
            for (int i = 0; i < 3; ++i)
                state.paths[i] = std::getenv(kVariables[i]);
            state.recording = Open(state);
        }
    }
    return state.recording && !state.inside;
}

// Entry: the head, then the name, '/', the target and the bytes (names hold no '/'). Written with the
// raw system call, since the interposed write() would record it too, and in one call, so that a
// kill leaves at most a torn last entry.
struct Head {
    std::uint64_t kind, inode, offset, textLength, byteCount;
};

} // namespace

void detail::Record(const Call& call) {
    Inside inside;
    const std::string text = call.name + '/' + call.target;
    const Head head{static_cast<std::uint64_t>(call.kind), call.inode, call.offset, text.size(), call.bytes.size()};
    std::vector<char> entry(reinterpret_cast<const char*>(&head), reinterpret_cast<const char*>(&head + 1));
    entry.insert(entry.end(), text.begin(), text.end());
    entry.insert(entry.end(), call.bytes.begin(), call.bytes.end());
    for (std::size_t done = 0; done < entry.size();) {
        const long count = ::syscall(SYS_write, GetState().recordFd, entry.data() + done, entry.size() - done);
        if (count <= 0 && errno != EINTR)
            return;
        done += count > 0 ? static_cast<std::size_t>(count) : 0;
    }
}

namespace {

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// The name of path when it lies directly in the watched directory.
bool InDirectory(const fs::path& path, std::string& name) {
    if (path.parent_path().string() != GetState().paths[0])
        return false;
    name = path.filename().string();
    return true;
}

fs::path PathOfFd(int fd) {
    std::error_code error;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
}

} // namespace

void Arm(const fs::path& directory, const fs::path& scratch) {
    Disarm();
    State& state = GetState();
    Inside inside;
    state.paths[0] = (fs::absolute(directory).lexically_normal() / "").parent_path().string();
    fs::create_directories(scratch);
    state.paths[1] = (fs::absolute(scratch) / "power-cut.record").string();
    state.paths[2] = (fs::absolute(scratch) / "power-cut.counter").string();
    WriteAll(state.paths[1], {});
    WriteAll(state.paths[2], std::vector<std::uint8_t>(sizeof(Counter), 0));
    state.start.clear();
    for (const fs::directory_entry& entry : fs::directory_iterator(state.paths[0])) {
        struct stat info {};
        if (entry.is_regular_file() && ::stat(entry.path().c_str(), &info) == 0)
            state.start[entry.path().filename().string()] = {info.st_ino, ReadAll(entry.path())};
    }
    if (!Open(state))
        throw std::runtime_error("power cut: cannot open the record under " + scratch.string());
}

void Disarm() {
    State& state = GetState();
    if (state.counter != nullptr)
        ::munmap(std::exchange(state.counter, nullptr), sizeof(Counter));
    if (state.recordFd >= 0)
        ::close(std::exchange(state.recordFd, -1));
    state.recording = false;
    for (const char* variable : kVariables)
        ::unsetenv(variable);
}

CutOutcome RunUntilCut(std::size_t point, const std::function<bool()>& operation) {
    State& state = GetState();
    if (state.counter == nullptr || ::ftruncate(state.recordFd, 0) != 0)
        throw std::runtime_error("power cut: RunUntilCut before Arm");
    *state.counter = {0, point};
    const pid_t child = ::fork();
    if (child == 0) {
        // Its own process group, so the cut takes the child's workers and never the test runner.
        ::setpgid(0, 0);
        for (int i = 0; i < 3; ++i)
            ::setenv(kVariables[i], state.paths[i].c_str(), 1);
        state.recording = true;
        ::_exit(operation() ? 0 : 1); // nothing is counted after it returns
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return {child > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL,
            child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0,
            static_cast<std::size_t>(std::min<std::uint64_t>(state.counter->calls, point))};
}

std::vector<Call> RecordedCalls() {
    const std::vector<std::uint8_t> record = ReadAll(GetState().paths[1]);
    std::vector<Call> calls;
    Head head{};
    for (std::size_t at = 0; at + sizeof(Head) <= record.size();
         at += sizeof(Head) + head.textLength + head.byteCount) {
        std::memcpy(&head, record.data() + at, sizeof(Head));
        if (head.textLength > record.size() || head.byteCount > record.size() ||
            at + sizeof(Head) + head.textLength + head.byteCount > record.size())
            break; // torn by the kill
        const auto text = record.begin() + static_cast<std::ptrdiff_t>(at + sizeof(Head));
        const auto bytes = text + static_cast<std::ptrdiff_t>(head.textLength);
        const auto slash = std::find(text, bytes, '/');
        calls.push_back({static_cast<Call::Kind>(head.kind), std::string(text, slash),
                         std::string(slash + (slash != bytes ? 1 : 0), bytes), head.inode, head.offset,
                         std::vector<std::uint8_t>(bytes, bytes + static_cast<std::ptrdiff_t>(head.byteCount))});
    }
    return calls;
}

void SimulatePowerCut(std::uint32_t seed) {
    State& state = GetState();
    Inside inside;
    const std::vector<Call> calls = RecordedCalls();

    // Files by creation, since inode numbers are reused after a removal; the first are those found
    // at Arm(), under their names then.
    std::vector<std::vector<std::uint8_t>> contents;
    std::vector<std::uint64_t> inodes;
    std::vector<std::size_t> syncedBefore; // per file: its calls before this index are on disk
    std::map<std::uint64_t, std::size_t> fileOfInode;
    std::map<std::string, std::size_t> names;
    const auto newFile = [&](std::uint64_t inode, std::vector<std::uint8_t> bytes) {
        fileOfInode[inode] = contents.size();
        contents.push_back(std::move(bytes));
        inodes.push_back(inode);
        syncedBefore.push_back(0);
    };
    for (const auto& [name, file] : state.start) {
        if (fileOfInode.count(file.first) == 0)
            newFile(file.first, file.second);
        names[name] = fileOfInode[file.first];
    }
    std::vector<std::size_t> fileOfCall(calls.size(), 0);
    std::vector<std::size_t> changes;      // the calls that change the directory
    std::size_t directorySyncedBefore = 0; // directory changes before this index are durable
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call::Kind kind = calls[i].kind;
        if (kind == Call::Kind::DirSync)
            directorySyncedBefore = i;
        if (kind == Call::Kind::DirSync)
            continue;
        if (kind == Call::Kind::Create || fileOfInode.count(calls[i].inode) == 0)
            newFile(calls[i].inode, {});
        fileOfCall[i] = fileOfInode[calls[i].inode];
        if (kind == Call::Kind::Sync)
            syncedBefore[fileOfCall[i]] = i;
        if (kind == Call::Kind::Create || kind >= Call::Kind::Rename) // or Link, Remove
            changes.push_back(i);
    }

    std::mt19937 random(seed);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        if (call.kind != Call::Kind::Write && call.kind != Call::Kind::Truncate)
            continue;
        std::vector<std::uint8_t>& file = contents[fileOfCall[i]];
        std::size_t kept = call.bytes.size();
        if (i >= syncedBefore[fileOfCall[i]]) {
            // Not flushed: persists, is lost, or (a write) is torn after a prefix.
            const unsigned choice = seed == 0 ? 1 : random() % 3;
            if (choice == 1)
                continue;
            if (choice == 2 && call.kind == Call::Kind::Write)
                kept = call.bytes.empty() ? 0 : random() % call.bytes.size();
        }
        const std::size_t end = call.offset + (call.kind == Call::Kind::Write ? kept : 0);
        if (call.kind == Call::Kind::Truncate || end > file.size())
            file.resize(end, 0);
        std::copy_n(call.bytes.begin(), kept, file.begin() + static_cast<std::ptrdiff_t>(call.offset));
    }

    const auto durable = static_cast<std::size_t>(
        std::lower_bound(changes.begin(), changes.end(), directorySyncedBefore) - changes.begin());
    const std::size_t persisted = durable + (seed == 0 ? 0 : random() % (changes.size() - durable + 1));
    for (std::size_t c = 0; c < persisted; ++c) {
        const Call& call = calls[changes[c]];
        if (call.kind == Call::Kind::Remove || call.kind == Call::Kind::Rename)
            names.erase(call.name);
        if (call.kind != Call::Kind::Remove)
            names[call.kind == Call::Kind::Create ? call.name : call.target] = fileOfCall[changes[c]];
    }

    // Files keep their inodes across a power cut, and the archive's journal knows its archive by
    // inode: every file still on disk is set aside under a holding name and comes back rewritten.
    std::map<std::uint64_t, fs::path> held;
    const std::vector<fs::directory_entry> present{fs::directory_iterator(state.paths[0]), {}};
    for (const fs::path& path : present) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || held.count(info.st_ino) != 0) {
            fs::remove_all(path);
            continue;
        }
        held[info.st_ino] = fs::path(state.paths[0]) / (".power-cut-held-" + std::to_string(info.st_ino));
        fs::rename(path, held[info.st_ino]);
    }
    std::map<std::size_t, fs::path> written;
    for (const auto& [name, file] : names) {
        const fs::path path = fs::path(state.paths[0]) / name;
        if (written.count(file) != 0) {
            fs::create_hard_link(written[file], path);
            continue;
        }
        const auto hold = held.find(inodes[file]);
        if (hold != held.end() && fileOfInode[inodes[file]] == file) {
            fs::rename(hold->second, path);
            held.erase(hold);
        }
        WriteAll(path, contents[file]); // in place when the file was held
        written[file] = path;
    }
    for (const auto& [inode, path] : held)
        fs::remove(path);
}

namespace detail {

void Tick() {
    State& state = GetState();
    if (__atomic_fetch_add(&state.counter->calls, 1, __ATOMIC_SEQ_CST) == state.counter->killPoint) {
        ::kill(0, SIGKILL); // the cut child's process group: the child and its workers
        for (;;)
            ::pause();
    }
}

bool EnterFd(int fd, std::string& name, std::uint64_t& inode) {
    if (!Armed())
        return false;
    const State& state = GetState();
    Inside inside;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    name.clear();
    if (S_ISDIR(info.st_mode) && (info.st_dev != state.directory.st_dev || info.st_ino != state.directory.st_ino))
        return false;
    if (!S_ISDIR(info.st_mode)) {
        std::string path = PathOfFd(fd).string();
        if (path.ends_with(" (deleted)")) // still the directory's if its name is lost in the cut
            path.resize(path.size() - 10);
        if (!S_ISREG(info.st_mode) || !InDirectory(path, name))
            return false;
    }
    inode = info.st_ino;
    Tick();
    return true;
}

bool WatchedName(int dirfd, const char* path, std::string& name) {
    if (path == nullptr || !Armed())
        return false;
    Inside inside;
    std::error_code error;
    const fs::path base = dirfd == AT_FDCWD ? fs::current_path(error) : PathOfFd(dirfd);
    return InDirectory((base / path).lexically_normal(), name);
}

void RecordBroughtIn(const std::string& name, std::uint64_t inode) {
    Record({Call::Kind::Create, name, {}, inode, 0, {}});
    Record({Call::Kind::Write, name, {}, inode, 0, ReadAll(fs::path(GetState().paths[0]) / name)});
    Record({Call::Kind::Sync, name, {}, inode, 0, {}});
}

} // namespace detail

} // namespace testkit::power_cut
