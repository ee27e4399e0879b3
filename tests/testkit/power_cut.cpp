#include "testkit/power_cut.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testkit::power_cut {

namespace {

constexpr const char* kDirectoryVariable = "OSTRAWEN_POWER_CUT_DIR";
constexpr const char* kRecordVariable = "OSTRAWEN_POWER_CUT_RECORD";
constexpr const char* kCounterVariable = "OSTRAWEN_POWER_CUT_COUNTER";
constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

// Shared by every process of one cut through a MAP_SHARED mapping.
struct Shared {
    std::uint64_t calls;
    std::uint64_t killPoint;
    std::int64_t group;
};

struct State {
    bool recording = false; // in a cut child or its workers
    bool inside = false;    // our own bookkeeping is never recorded
    std::string directory;
    dev_t directoryDevice = 0;
    ino_t directoryInode = 0;
    std::string recordPath;
    std::string counterPath;
    int recordFd = -1;
    Shared* shared = nullptr;
    // The test process only: the directory as it was at Arm().
    std::map<std::string, std::uint64_t> startNames;
    std::map<std::uint64_t, std::vector<std::uint8_t>> startContent;
    std::uint64_t lastPoint = 0; // of the call being made
};

State& GetState() {
    static State state;
    return state;
}

class Inside {
public:
    Inside() : m_was(GetState().inside) { GetState().inside = true; }
    ~Inside() { GetState().inside = m_was; }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;

private:
    bool m_was;
};

bool Open(State& state) {
    struct stat info {};
    if (::stat(state.directory.c_str(), &info) != 0)
        return false;
    state.directoryDevice = info.st_dev;
    state.directoryInode = info.st_ino;
    state.recordFd = ::open(state.recordPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    const int counter = ::open(state.counterPath.c_str(), O_RDWR | O_CLOEXEC);
    if (state.recordFd < 0 || counter < 0)
        return false;
    void* mapped = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, counter, 0);
    ::close(counter);
    if (mapped == MAP_FAILED)
        return false;
    state.shared = static_cast<Shared*>(mapped);
    return true;
}

// A worker started from the same executable learns the setting from its environment.
void InitFromEnvironment() {
    static bool tried = false;
    if (tried)
        return;
    tried = true;
    const char* directory = std::getenv(kDirectoryVariable);
    const char* record = std::getenv(kRecordVariable);
    const char* counter = std::getenv(kCounterVariable);
    if (directory == nullptr || record == nullptr || counter == nullptr)
        return;
    State& state = GetState();
    Inside inside;
    state.directory = directory;
    state.recordPath = record;
    state.counterPath = counter;
    state.recording = Open(state);
}

[[noreturn]] void Kill() {
    const Shared* shared = GetState().shared;
    if (shared != nullptr && shared->group > 0)
        ::kill(static_cast<pid_t>(-shared->group), SIGKILL);
    ::kill(::getpid(), SIGKILL);
    for (;;)
        ::pause();
}

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t GetLe(const std::uint8_t* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

// Entry: length of the rest (u32), kind (u32), inode (u64), offset (u64), cut point (u64), name
// length (u32), target length (u32), then the name, the target and the bytes.
constexpr std::size_t kEntryHead = 4 + 4 + 8 + 8 + 8 + 4 + 4;

void Append(const Call& call) {
    State& state = GetState();
    if (state.recordFd < 0)
        return;
    std::vector<std::uint8_t> entry;
    entry.reserve(kEntryHead + call.name.size() + call.target.size() + call.bytes.size());
    PutLe(entry, kEntryHead - 4 + call.name.size() + call.target.size() + call.bytes.size(), 4);
    PutLe(entry, static_cast<std::uint64_t>(call.kind), 4);
    PutLe(entry, call.inode, 8);
    PutLe(entry, call.offset, 8);
    PutLe(entry, call.kind == Call::Kind::Done ? kNever : state.lastPoint, 8);
    PutLe(entry, call.name.size(), 4);
    PutLe(entry, call.target.size(), 4);
    entry.insert(entry.end(), call.name.begin(), call.name.end());
    entry.insert(entry.end(), call.target.begin(), call.target.end());
    entry.insert(entry.end(), call.bytes.begin(), call.bytes.end());
    // The raw system call: the interposed write() would record this write as well.
    std::size_t done = 0;
    while (done < entry.size()) {
        const long count = ::syscall(SYS_write, state.recordFd, entry.data() + done, entry.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return;
        done += static_cast<std::size_t>(count);
    }
}

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void Place(std::vector<std::uint8_t>& file, std::uint64_t offset, const std::uint8_t* bytes, std::size_t size) {
    if (offset + size > file.size())
        file.resize(static_cast<std::size_t>(offset + size), 0);
    std::copy(bytes, bytes + size, file.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool ChangesDirectory(Call::Kind kind) {
    return kind == Call::Kind::Create || kind == Call::Kind::Rename || kind == Call::Kind::Link ||
           kind == Call::Kind::Remove;
}

} // namespace

std::string Describe(const Call& call) {
    switch (call.kind) {
    case Call::Kind::Create:
        return "create " + call.name;
    case Call::Kind::Write:
        return "write " + call.name + " @" + std::to_string(call.offset) + "+" + std::to_string(call.bytes.size());
    case Call::Kind::Truncate:
        return "truncate " + call.name + " to " + std::to_string(call.offset);
    case Call::Kind::Sync:
        return "fsync " + call.name;
    case Call::Kind::DirSync:
        return "fsync the directory";
    case Call::Kind::Rename:
        return "rename " + call.name + " -> " + call.target;
    case Call::Kind::Link:
        return "link " + call.name + " -> " + call.target;
    case Call::Kind::Remove:
        return "remove " + call.name;
    case Call::Kind::Done:
        return "operation returned true";
    }
    return call.name;
}

void Arm(const fs::path& directory, const fs::path& scratch) {
    Disarm();
    State& state = GetState();
    Inside inside;
    state.directory = fs::absolute(directory).lexically_normal().string();
    if (state.directory.size() > 1 && state.directory.back() == '/')
        state.directory.pop_back();
    fs::create_directories(scratch);
    state.recordPath = (fs::absolute(scratch) / "power-cut.record").string();
    state.counterPath = (fs::absolute(scratch) / "power-cut.counter").string();
    WriteAll(state.recordPath, {});
    WriteAll(state.counterPath, std::vector<std::uint8_t>(sizeof(Shared), 0));
    state.startNames.clear();
    state.startContent.clear();
    for (const fs::directory_entry& entry : fs::directory_iterator(state.directory)) {
        struct stat info {};
        if (!entry.is_regular_file() || ::stat(entry.path().c_str(), &info) != 0)
            continue;
        state.startNames[entry.path().filename().string()] = info.st_ino;
        state.startContent[info.st_ino] = ReadAll(entry.path());
    }
    if (!Open(state))
        throw std::runtime_error("power cut: cannot open the record under " + scratch.string());
}

void Disarm() {
    State& state = GetState();
    if (state.recordFd >= 0)
        ::close(state.recordFd);
    if (state.shared != nullptr)
        ::munmap(state.shared, sizeof(Shared));
    state.recordFd = -1;
    state.shared = nullptr;
    state.recording = false;
    ::unsetenv(kDirectoryVariable);
    ::unsetenv(kRecordVariable);
    ::unsetenv(kCounterVariable);
}

CutOutcome RunUntilCut(std::size_t point, const std::function<bool()>& operation) {
    State& state = GetState();
    if (state.shared == nullptr)
        throw std::runtime_error("power cut: RunUntilCut before Arm");
    if (::ftruncate(state.recordFd, 0) != 0)
        throw std::runtime_error("power cut: cannot clear the record");
    state.shared->calls = 0;
    state.shared->killPoint = point;
    state.shared->group = 0;
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("power cut: fork failed");
    if (child == 0) {
        // Its own process group, so the cut takes the child's workers and never the test runner.
        ::setpgid(0, 0);
        state.shared->group = ::getpid();
        ::setenv(kDirectoryVariable, state.directory.c_str(), 1);
        ::setenv(kRecordVariable, state.recordPath.c_str(), 1);
        ::setenv(kCounterVariable, state.counterPath.c_str(), 1);
        state.recording = true;
        const bool done = operation();
        if (done) {
            Call finished{Call::Kind::Done, {}, {}, 0, 0, {}};
            Append(finished);
        }
        ::_exit(done ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    CutOutcome outcome;
    outcome.killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    outcome.calls = static_cast<std::size_t>(std::min<std::uint64_t>(state.shared->calls, point));
    for (const Call& call : RecordedCalls()) {
        if (call.kind == Call::Kind::Done)
            outcome.finished = true;
    }
    return outcome;
}

std::vector<Call> RecordedCalls() {
    const std::vector<std::uint8_t> record = ReadAll(GetState().recordPath);
    std::vector<Call> calls;
    std::size_t position = 0;
    // A torn last entry (killed inside the append) is not a call.
    while (position + kEntryHead <= record.size()) {
        const std::uint8_t* head = record.data() + position;
        const std::size_t length = static_cast<std::size_t>(GetLe(head, 4));
        if (length < kEntryHead - 4 || position + 4 + length > record.size())
            break;
        Call call;
        call.kind = static_cast<Call::Kind>(GetLe(head + 4, 4));
        call.inode = GetLe(head + 8, 8);
        call.offset = GetLe(head + 16, 8);
        call.point = GetLe(head + 24, 8);
        const std::size_t nameLength = static_cast<std::size_t>(GetLe(head + 32, 4));
        const std::size_t targetLength = static_cast<std::size_t>(GetLe(head + 36, 4));
        const std::size_t rest = length - (kEntryHead - 4);
        if (nameLength + targetLength > rest)
            break;
        const char* text = reinterpret_cast<const char*>(head + kEntryHead);
        call.name.assign(text, nameLength);
        call.target.assign(text + nameLength, targetLength);
        call.bytes.assign(head + kEntryHead + nameLength + targetLength, head + 4 + length);
        calls.push_back(std::move(call));
        position += 4 + length;
    }
    return calls;
}

void SimulatePowerCut(std::uint32_t seed) {
    State& state = GetState();
    Inside inside;
    const std::vector<Call> calls = RecordedCalls();
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    // Inode numbers are reused after a removal, so each creation starts a file of its own.
    std::vector<std::vector<std::uint8_t>> contents;
    std::map<std::uint64_t, std::size_t> fileOfInode;
    for (const auto& [inode, bytes] : state.startContent) {
        fileOfInode[inode] = contents.size();
        contents.push_back(bytes);
    }
    std::vector<std::size_t> fileOfCall(calls.size(), kNone);
    std::vector<std::size_t> syncedBefore; // per file: the calls before this index are on disk
    std::size_t lastDirectorySync = 0; // calls before this index are durable names
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        if (call.kind == Call::Kind::Done)
            continue;
        if (call.kind == Call::Kind::DirSync) {
            lastDirectorySync = i;
            continue;
        }
        auto known = fileOfInode.find(call.inode);
        if (call.kind == Call::Kind::Create || known == fileOfInode.end()) {
            fileOfInode[call.inode] = contents.size();
            contents.emplace_back();
        }
        fileOfCall[i] = fileOfInode[call.inode];
        syncedBefore.resize(contents.size(), 0);
        if (call.kind == Call::Kind::Sync)
            syncedBefore[fileOfCall[i]] = i;
    }
    syncedBefore.resize(contents.size(), 0);

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
        if (call.kind == Call::Kind::Truncate)
            file.resize(static_cast<std::size_t>(call.offset), 0);
        else
            Place(file, call.offset, call.bytes.data(), kept);
    }

    std::vector<std::size_t> changes;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (ChangesDirectory(calls[i].kind))
            changes.push_back(i);
    }
    std::size_t durable = 0;
    while (durable < changes.size() && changes[durable] < lastDirectorySync)
        ++durable;
    const std::size_t unflushed = changes.size() - durable;
    const std::size_t persisted = durable + (seed == 0 ? 0 : random() % (unflushed + 1));

    // The names start as at Arm(); the first files in `contents` are the ones found then.
    std::map<std::string, std::size_t> names;
    {
        std::map<std::uint64_t, std::size_t> startFiles;
        std::size_t index = 0;
        for (const auto& [inode, bytes] : state.startContent)
            startFiles[inode] = index++;
        for (const auto& [name, inode] : state.startNames)
            names[name] = startFiles[inode];
    }
    for (std::size_t c = 0; c < persisted; ++c) {
        const Call& call = calls[changes[c]];
        const std::size_t file = fileOfCall[changes[c]];
        switch (call.kind) {
        case Call::Kind::Create:
            names[call.name] = file;
            break;
        case Call::Kind::Rename:
            names.erase(call.name);
            names[call.target] = file;
            break;
        case Call::Kind::Link:
            names[call.target] = file;
            break;
        case Call::Kind::Remove:
            names.erase(call.name);
            break;
        default:
            break;
        }
    }

    // Files keep their inodes across a power cut, and the archive's journal knows its archive by
    // inode: every file still on disk is set aside under a holding name and comes back rewritten.
    std::map<std::uint64_t, fs::path> held;
    std::vector<fs::path> present;
    for (const fs::directory_entry& entry : fs::directory_iterator(state.directory))
        present.push_back(entry.path());
    for (const fs::path& path : present) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || held.count(info.st_ino) != 0) {
            fs::remove_all(path);
            continue;
        }
        const fs::path hold = fs::path(state.directory) / (".power-cut-held-" + std::to_string(info.st_ino));
        fs::rename(path, hold);
        held[info.st_ino] = hold;
    }
    std::map<std::size_t, std::uint64_t> inodeOfFile;
    for (const auto& [inode, file] : fileOfInode)
        inodeOfFile[file] = inode;
    std::map<std::size_t, fs::path> written;
    for (const auto& [name, file] : names) {
        const fs::path path = fs::path(state.directory) / name;
        auto first = written.find(file);
        if (first != written.end()) {
            fs::create_hard_link(first->second, path);
            continue;
        }
        auto inode = inodeOfFile.find(file);
        if (inode != inodeOfFile.end() && held.count(inode->second) != 0) {
            fs::rename(held[inode->second], path);
            held.erase(inode->second);
        }
        WriteAll(path, contents[file]); // in place when the file was held
        written[file] = path;
    }
    for (const auto& [inode, path] : held)
        fs::remove(path);
}

namespace detail {

bool Armed() {
    InitFromEnvironment();
    const State& state = GetState();
    return state.recording && !state.inside;
}

void Tick() {
    Shared* shared = GetState().shared;
    if (shared == nullptr)
        return;
    const std::uint64_t call = __atomic_fetch_add(&shared->calls, 1, __ATOMIC_SEQ_CST);
    GetState().lastPoint = call;
    if (call == shared->killPoint)
        Kill();
}

std::uint64_t InodeOf(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? info.st_ino : 0;
}

bool EnterFd(int fd, Target& target) {
    if (!Armed())
        return false;
    State& state = GetState();
    Inside inside;
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return false;
    if (S_ISDIR(info.st_mode)) {
        if (info.st_dev != state.directoryDevice || info.st_ino != state.directoryInode)
            return false;
        target.directory = true;
    } else {
        if (!S_ISREG(info.st_mode))
            return false;
        char link[64];
        std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        char resolved[4096];
        const ssize_t length = ::readlink(link, resolved, sizeof(resolved) - 1);
        if (length <= 0)
            return false;
        std::string path(resolved, static_cast<std::size_t>(length));
        // A removed file is still the watched directory's if its name is lost in the cut.
        const std::string deleted = " (deleted)";
        if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
            path.resize(path.size() - deleted.size());
        const fs::path file(path);
        if (file.parent_path().string() != state.directory)
            return false;
        target.name = file.filename().string();
    }
    target.inode = info.st_ino;
    Tick();
    return true;
}

bool WatchedName(int dirfd, const char* path, std::string& name) {
    if (path == nullptr || !Armed())
        return false;
    Inside inside;
    fs::path full(path);
    if (full.is_relative()) {
        fs::path base;
        if (dirfd == AT_FDCWD) {
            std::error_code error;
            base = fs::current_path(error);
        } else {
            char link[64];
            std::snprintf(link, sizeof(link), "/proc/self/fd/%d", dirfd);
            std::error_code error;
            base = fs::read_symlink(link, error);
        }
        full = base / full;
    }
    full = full.lexically_normal();
    if (full.parent_path().string() != GetState().directory)
        return false;
    name = full.filename().string();
    return true;
}

void Record(Call::Kind kind, const Target& target, std::uint64_t offset, const void* bytes, std::size_t size) {
    Inside inside;
    Call call{kind, target.name, {}, target.inode, offset, {}};
    if (bytes != nullptr)
        call.bytes.assign(static_cast<const std::uint8_t*>(bytes), static_cast<const std::uint8_t*>(bytes) + size);
    Append(call);
}

void RecordNames(Call::Kind kind, const std::string& name, const std::string& target, std::uint64_t inode) {
    Inside inside;
    Append(Call{kind, name, target, inode, 0, {}});
}

} // namespace detail

} // namespace testkit::power_cut
