#include "testkit/power_cut.h"

#include "archive/archive_file.h"
#include "support/io_seam.h"
#include "testkit/child_process.h"
#include "testkit/temp_dir.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <utility>

namespace fs = std::filesystem;

namespace testkit::power_cut {

namespace {

using Kind = Call::Kind;
using SeamKind = io_seam::Kind;

// Where a process of the cut (the child, a worker started from this executable) finds the setting.
constexpr const char* kDirectoryVariable = "OSTRAWEN_POWER_CUT_DIR";
constexpr const char* kRecordVariable = "OSTRAWEN_POWER_CUT_RECORD";
constexpr const char* kSharedVariable = "OSTRAWEN_POWER_CUT_SHARED";

// The absolute, normalised form paths are compared in, without a trailing separator.
fs::path Normal(const fs::path& path) {
    return (fs::absolute(path).lexically_normal() / "").parent_path();
}

// Paths in the environment and the record as UTF-8, on both platforms.
std::string PathText(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

fs::path TextPath(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::vector<std::uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A record entry: the head, then the name, '/', the target and the bytes (names hold no '/').
struct Head {
    std::uint64_t kind, offset, textLength, byteCount;
};

// The observer in each process of a cut: counts the calls on the watched directory (the cut falls
// before one of them) and records what each successful one changed.
class Recorder final : public io_seam::Observer {
public:
    bool Start(const fs::path& directory, const fs::path& record, const fs::path& shared) {
        m_directory = directory;
        m_record.open(record, std::ios::binary | std::ios::app);
        m_shared = detail::MapShared(shared);
        if (!m_record || m_shared == nullptr)
            return false;
        const std::uint64_t slot = std::atomic_ref(m_shared->processCount).fetch_add(1);
        if (slot < std::size(m_shared->processes))
            m_shared->processes[slot] = detail::ThisProcess();
        io_seam::SetObserver(this);
        return true;
    }

    io_seam::Verdict Before(const io_seam::Call& call) override {
        m_pending = Classify(call);
        if (m_pending && std::atomic_ref(m_shared->calls).fetch_add(1) == m_shared->killPoint)
            detail::EndCut(*m_shared);
        return io_seam::Verdict::Proceed;
    }

    void After(const io_seam::Call& call, bool succeeded) override {
        if (!m_pending || !succeeded)
            return;
        Pending& pending = *m_pending;
        if (pending.broughtIn) {
            // A file renamed or linked in from outside: a new name whose content was made out of view.
            Record({Kind::Create, pending.name, {}, 0, {}});
            Record({Kind::Write, pending.name, {}, 0, ReadAll(*call.target)});
            Record({Kind::Sync, pending.name, {}, 0, {}});
            return;
        }
        Record({pending.kind, pending.name, pending.target, pending.kind == Kind::Write ? call.offset : pending.offset,
                pending.kind == Kind::Write ? std::vector<std::uint8_t>(call.bytes.begin(), call.bytes.end())
                                            : std::vector<std::uint8_t>()});
    }

private:
    struct Pending {
        Pending(Kind kind, std::string name, std::string target = {}, std::uint64_t offset = 0, bool broughtIn = false)
            : kind(kind), name(std::move(name)), target(std::move(target)), offset(offset), broughtIn(broughtIn) {}
        Kind kind;
        std::string name;
        std::string target;
        std::uint64_t offset;
        bool broughtIn;
    };

    // The file's name when it lies directly in the watched directory.
    std::optional<std::string> NameIn(const fs::path& path) const {
        const fs::path normal = fs::absolute(path).lexically_normal();
        if (normal.parent_path() != m_directory)
            return std::nullopt;
        return PathText(normal.filename());
    }

    // What the call will change in the watched directory if it succeeds; nothing for other calls.
    std::optional<Pending> Classify(const io_seam::Call& call) const {
        std::error_code error;
        if (call.kind == SeamKind::SyncDirectory) {
            if (Normal(call.path) != m_directory)
                return std::nullopt;
            return Pending{Kind::DirSync, {}};
        }
        const std::optional<std::string> name = NameIn(call.path);
        if (call.kind == SeamKind::Rename || call.kind == SeamKind::Link) {
            const std::optional<std::string> target = NameIn(*call.target);
            if ((!name && !target) || !fs::exists(fs::symlink_status(call.path, error)))
                return std::nullopt;
            const Kind kind = call.kind == SeamKind::Rename ? Kind::Rename : Kind::Link;
            if (name && target)
                return Pending{kind, *name, *target};
            if (target)
                return Pending{kind, *target, {}, 0, true};
            // Moved out: gone from the directory. A link out leaves it as it was (a call all the same).
            return Pending{kind == Kind::Rename ? Kind::Remove : Kind::Link, *name};
        }
        if (!name)
            return std::nullopt;
        switch (call.kind) {
        case SeamKind::Create:
            // Emptying a file that was there is its truncation; a new name is a creation.
            if (fs::exists(fs::symlink_status(call.path, error)))
                return Pending{Kind::Truncate, *name};
            return Pending{Kind::Create, *name};
        case SeamKind::Write:
            return Pending{Kind::Write, *name};
        case SeamKind::Truncate:
            return Pending{Kind::Truncate, *name, {}, call.offset};
        case SeamKind::Sync:
            return Pending{Kind::Sync, *name};
        case SeamKind::Remove:
            // Removing what is not there changes nothing.
            if (!fs::is_regular_file(fs::symlink_status(call.path, error)))
                return std::nullopt;
            return Pending{Kind::Remove, *name};
        default:
            return std::nullopt;
        }
    }

    // One entry, flushed at once: the process may be killed at its next call.
    void Record(const Call& call) {
        if (call.kind == Kind::Link && call.target.empty())
            return;
        const std::string text = call.name + '/' + call.target;
        const Head head{static_cast<std::uint64_t>(call.kind), call.offset, text.size(), call.bytes.size()};
        m_record.write(reinterpret_cast<const char*>(&head), sizeof(head));
        m_record.write(text.data(), static_cast<std::streamsize>(text.size()));
        m_record.write(reinterpret_cast<const char*>(call.bytes.data()),
                       static_cast<std::streamsize>(call.bytes.size()));
        m_record.flush();
    }

    fs::path m_directory;
    std::ofstream m_record;
    detail::Shared* m_shared = nullptr;
    std::optional<Pending> m_pending;
};

Recorder& GetRecorder() {
    static Recorder recorder;
    return recorder;
}

// In a process of a cut: observes the calls as the environment says; once.
bool ObserveFromEnvironment() {
    static bool observing = false;
    const char* directory = std::getenv(kDirectoryVariable);
    const char* record = std::getenv(kRecordVariable);
    const char* shared = std::getenv(kSharedVariable);
    if (observing || directory == nullptr || record == nullptr || shared == nullptr)
        return observing;
    observing = GetRecorder().Start(TextPath(directory), TextPath(record), TextPath(shared));
    return observing;
}

// A worker started by the child is this executable again: it observes from its start.
[[maybe_unused]] const bool kObservingFromStart = ObserveFromEnvironment();

// The child of a cut: observes, then runs the test's role (args: the role, then its arguments).
TESTKIT_CHILD_ROLE(PowerCutChild) {
    if (args.empty() || !ObserveFromEnvironment())
        return child::kNoSuchRoleCode;
    return child::detail::RunRole(args[0], std::vector<std::string>(args.begin() + 1, args.end()));
}

// The test runner's side.
struct Armed {
    fs::path directory; // normalised
    fs::path record;
    fs::path shared;
    bool armed = false;
    // The files found at Arm(): their contents, and which one each name was.
    std::vector<std::vector<std::uint8_t>> startFiles;
    std::map<std::string, std::size_t> startNames;
};

Armed& GetArmed() {
    static Armed armed;
    return armed;
}

} // namespace

void Arm(const fs::path& directory, const fs::path& scratch) {
    Disarm();
    Armed& armed = GetArmed();
    armed.directory = Normal(directory);
    fs::create_directories(scratch);
    armed.record = Normal(scratch) / "power-cut.record";
    armed.shared = Normal(scratch) / "power-cut.shared";
    WriteAll(armed.record, {});
    WriteAll(armed.shared, std::vector<std::uint8_t>(sizeof(detail::Shared), 0));
    armed.startFiles.clear();
    armed.startNames.clear();
    // Hard links found here are one file under several names.
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> fileOfIdentity;
    for (const fs::directory_entry& entry : fs::directory_iterator(armed.directory)) {
        const std::optional<archive_io::FileIdentity> identity = archive_io::IdentityOf(entry.path());
        if (!entry.is_regular_file() || !identity)
            continue;
        const auto [place, added] =
            fileOfIdentity.try_emplace({identity->device, identity->inode}, armed.startFiles.size());
        if (added)
            armed.startFiles.push_back(ReadAll(entry.path()));
        armed.startNames[PathText(entry.path().filename())] = place->second;
    }
    armed.armed = true;
}

void Disarm() {
    GetArmed().armed = false;
}

CutOutcome RunUntilCut(std::size_t point, const std::string& role, const std::vector<std::string>& args) {
    Armed& armed = GetArmed();
    if (!armed.armed)
        throw std::runtime_error("power cut: RunUntilCut before Arm");
    WriteAll(armed.record, {});
    // Mapped only while the cut runs: Windows removes no file that is mapped.
    detail::Shared* const shared = detail::MapShared(armed.shared);
    if (shared == nullptr)
        throw std::runtime_error("power cut: cannot map " + armed.shared.string());
    std::memset(static_cast<void*>(shared), 0, sizeof(detail::Shared));
    shared->killPoint = point;
    std::vector<std::string> childArgs = {role};
    childArgs.insert(childArgs.end(), args.begin(), args.end());
    child::Outcome outcome;
    {
        const ScopedEnv directory(kDirectoryVariable, PathText(armed.directory));
        const ScopedEnv record(kRecordVariable, PathText(armed.record));
        const ScopedEnv sharedPath(kSharedVariable, PathText(armed.shared));
        outcome = child::Run("PowerCutChild", childArgs);
    }
    detail::AwaitProcesses(*shared);
    const std::uint64_t calls = std::atomic_ref(shared->calls).load();
    detail::UnmapShared(shared);
    // Killed by the cut, not by a crash of its own or the timeout.
    return {detail::EndedByCut(outcome) && !outcome.timedOut && calls > point, outcome.exited && outcome.code == 0,
            static_cast<std::size_t>(std::min<std::uint64_t>(calls, point)), outcome};
}

std::vector<Call> RecordedCalls() {
    const std::vector<std::uint8_t> record = ReadAll(GetArmed().record);
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
        calls.push_back({static_cast<Kind>(head.kind), std::string(text, slash),
                         std::string(slash + (slash != bytes ? 1 : 0), bytes), head.offset,
                         std::vector<std::uint8_t>(bytes, bytes + static_cast<std::ptrdiff_t>(head.byteCount))});
    }
    return calls;
}

void SimulatePowerCut(std::uint32_t seed) {
    const Armed& armed = GetArmed();
    const std::vector<Call> calls = RecordedCalls();

    // Files by creation, told apart by following their names through the calls in order; the
    // first are those found at Arm().
    std::vector<std::vector<std::uint8_t>> contents = armed.startFiles;
    std::vector<std::size_t> syncedBefore(contents.size(), 0);  // per file: its calls before this index are on disk
    std::map<std::string, std::size_t> live = armed.startNames; // the names as the calls left them
    const auto newFile = [&] {
        contents.emplace_back();
        syncedBefore.push_back(0);
        return contents.size() - 1;
    };
    const auto fileOf = [&](const std::string& name) {
        const auto found = live.find(name);
        return found != live.end() ? found->second : live[name] = newFile();
    };
    std::vector<std::size_t> fileOfCall(calls.size(), 0);
    std::vector<std::size_t> changes;      // the calls that change the directory
    std::size_t directorySyncedBefore = 0; // directory changes before this index are durable
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        switch (call.kind) {
        case Kind::DirSync:
            directorySyncedBefore = i;
            continue;
        case Kind::Create:
            fileOfCall[i] = live[call.name] = newFile();
            break;
        case Kind::Rename:
            fileOfCall[i] = fileOf(call.name);
            live.erase(call.name);
            live[call.target] = fileOfCall[i];
            break;
        case Kind::Link:
            fileOfCall[i] = live[call.target] = fileOf(call.name);
            break;
        case Kind::Remove:
            fileOfCall[i] = fileOf(call.name);
            live.erase(call.name);
            break;
        case Kind::Sync:
            fileOfCall[i] = fileOf(call.name);
            syncedBefore[fileOfCall[i]] = i;
            break;
        case Kind::Write:
        case Kind::Truncate:
            fileOfCall[i] = fileOf(call.name);
            break;
        }
        if (call.kind == Kind::Create || call.kind >= Kind::Rename) // or Link, Remove
            changes.push_back(i);
    }

    std::mt19937 random(seed);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        if (call.kind != Kind::Write && call.kind != Kind::Truncate)
            continue;
        std::vector<std::uint8_t>& file = contents[fileOfCall[i]];
        std::size_t kept = call.bytes.size();
        if (i >= syncedBefore[fileOfCall[i]]) {
            // Not flushed: persists, is lost, or (a write) is torn after a prefix.
            const unsigned choice = seed == 0 ? 1 : random() % 3;
            if (choice == 1)
                continue;
            if (choice == 2 && call.kind == Kind::Write)
                kept = call.bytes.empty() ? 0 : random() % call.bytes.size();
        }
        const std::size_t end = call.offset + (call.kind == Kind::Write ? kept : 0);
        if (call.kind == Kind::Truncate || end > file.size())
            file.resize(end, 0);
        std::copy_n(call.bytes.begin(), kept, file.begin() + static_cast<std::ptrdiff_t>(call.offset));
    }

    const std::size_t durable =
        detail::kDirectoryChangesNeedFlush
            ? static_cast<std::size_t>(std::lower_bound(changes.begin(), changes.end(), directorySyncedBefore) -
                                       changes.begin())
            : changes.size();
    const std::size_t persisted = durable + (seed == 0 ? 0 : random() % (changes.size() - durable + 1));
    std::map<std::string, std::size_t> names = armed.startNames;
    for (std::size_t c = 0; c < persisted; ++c) {
        const Call& call = calls[changes[c]];
        if (call.kind == Kind::Remove || call.kind == Kind::Rename)
            names.erase(call.name);
        if (call.kind != Kind::Remove)
            names[call.kind == Kind::Create ? call.name : call.target] = fileOfCall[changes[c]];
    }

    // Files keep their identity (inode, file index) across a power cut, and the archive's journal
    // knows its archive by it: every file still on disk is set aside under a holding name and comes
    // back rewritten. What the calls did not make is not the product's and goes.
    std::map<std::size_t, fs::path> held;
    const std::vector<fs::directory_entry> present{fs::directory_iterator(armed.directory), {}};
    for (const fs::directory_entry& entry : present) {
        const auto file = live.find(PathText(entry.path().filename()));
        if (!entry.is_regular_file() || entry.is_symlink() || file == live.end() || held.count(file->second) != 0) {
            fs::remove_all(entry.path());
            continue;
        }
        held[file->second] = armed.directory / (".power-cut-held-" + std::to_string(file->second));
        fs::rename(entry.path(), held[file->second]);
    }
    std::map<std::size_t, fs::path> written;
    for (const auto& [name, file] : names) {
        const fs::path path = armed.directory / TextPath(name);
        if (written.count(file) != 0) {
            fs::create_hard_link(written[file], path);
            continue;
        }
        if (const auto hold = held.find(file); hold != held.end()) {
            fs::rename(hold->second, path);
            held.erase(hold);
        }
        WriteAll(path, contents[file]); // in place when the file was held
        written[file] = path;
    }
    for (const auto& [file, path] : held)
        fs::remove(path);
}

} // namespace testkit::power_cut
