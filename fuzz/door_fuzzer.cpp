// Every door operation on a mutated archive, with our MPQ engine in a worker process beside the
// harness, built with the sanitizers as this harness is: a fault of the engine ends the worker with
// a report on its standard error, which the door contains as a failed operation. What must hold:
//   - this process survives and does not hang (libFuzzer reports a crash or a timeout otherwise);
//   - a read never changes the archive, and an operation that returned false left it byte-identical;
//   - a file that reads, reads the same in a second worker (no bytes from uninitialised memory);
//   - after a write that returned true the archive verifies: our check accepts it, it opens, the
//     written file reads back as written and every other file that read before reads the same;
//   - nothing but the archive (and its lock file) is left in its directory.
// The fuzzer input is the archive; which file is written and deleted follows from its bytes.
#include "fuzz/game_files.h"

#include "archive/door/mpq_control.h"
#include "archive/door/mpq_layout.h"
#include "archive/mpq_failure.h"
#include "archive/worker/worker_mpq_engine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "door_fuzzer: %s\n", what.c_str());
    std::abort();
}

Bytes ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteWhole(const fs::path& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.flush())
        Fail("cannot write the archive to " + path.string());
}

std::u16string Address(const std::string& name) {
    return std::u16string(name.begin(), name.end());
}

// One directory for the whole run, emptied before each input so that no journal or backup of an
// earlier input is taken for this one's.
class Workspace {
public:
    Workspace() {
        std::string pattern = (fs::temp_directory_path() / "ostrawen-door-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr)
            Fail("cannot make a temporary directory");
        m_directory = pattern;
    }
    ~Workspace() {
        std::error_code error;
        fs::remove_all(m_directory, error);
    }
    // What is left beside the archive besides its lock file, which is never deleted by design.
    std::vector<std::string> Leftovers(const fs::path& archive) const {
        std::vector<std::string> names;
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_directory, error)) {
            const std::string name = entry.path().filename().string();
            if (name != archive.filename().string() && name != archive.filename().string() + "-lock")
                names.push_back(name);
        }
        return names;
    }
    fs::path Fresh() {
        std::error_code error;
        for (const fs::directory_entry& entry : fs::directory_iterator(m_directory, error))
            fs::remove_all(entry.path(), error);
        return m_directory / "War3Patch.mpq";
    }

private:
    fs::path m_directory;
};

// How often each operation succeeded and why it failed, printed at exit: a run in which no write
// ever succeeds tests nothing about writes, and one in which the worker dies shows archives on which
// our engine faults.
class Tally {
public:
    static void Count(const char* operation, bool result, MpqFailure why) {
        static const bool registered = [] { return std::atexit(Print) == 0; }();
        (void)registered;
        ++Counts()[operation][result ? "true" : MpqFailureText(why)];
    }

private:
    using Table = std::map<std::string, std::map<std::string, std::uint64_t>>;
    static Table& Counts() {
        // Never destroyed: Print runs among the exit handlers, after function statics may be gone.
        static auto* counts = new Table();
        return *counts;
    }
    static void Print() {
        for (const auto& [operation, outcomes] : Counts()) {
            std::string line;
            for (const auto& [outcome, count] : outcomes)
                line += " " + outcome + " " + std::to_string(count) + ",";
            line.pop_back();
            std::fprintf(stderr, "door_fuzzer: %s:%s\n", operation.c_str(), line.c_str());
        }
    }
};

// Inputs on which the worker died go to FUZZ_WORKER_DEATHS_DIR when it is set, the first few per
// operation and process: the engine in the worker is ours, so each is a fault of ours to look at
// (run through check_fuzzer, or through door_fuzzer alone, where the worker's report shows).
void KeepWorkerDeath(const char* operation, std::span<const std::uint8_t> input) {
    static std::map<std::string, int> kept;
    const char* directory = std::getenv("FUZZ_WORKER_DEATHS_DIR");
    if (directory == nullptr || *directory == '\0' || ++kept[operation] > 10) {
        return;
    }
    std::uint64_t digest = 1469598103934665603ull;
    for (std::uint8_t byte : input)
        digest = (digest ^ byte) * 1099511628211ull;
    char name[17];
    std::snprintf(name, sizeof(name), "%016llx", static_cast<unsigned long long>(digest));
    std::error_code error;
    fs::create_directories(directory, error);
    WriteWhole(fs::path(directory) / (std::string(operation) + "-" + name), input.data(), input.size());
}

// The worker is built with the address sanitizer, as this harness is, and an address-space limit
// leaves no room for the sanitizer's shadow memory. So the worker gets no such limit (memory cap 0)
// and the sanitizer's own limits instead, through the environment it inherits when it starts; this
// process read its own options when it started and keeps them.
// FUZZ_DOOR_WORKER names another worker instead, e.g. the program of an ordinary build: there a
// heap overflow in the engine does not stop the worker, and only the checks after each operation
// can tell whether it did harm, as it would for a player.
std::shared_ptr<MpqEngine> MakeDoorEngine() {
    WorkerOptions options;
    options.silenceBound = std::chrono::seconds(5);
    if (const char* plainWorker = std::getenv("FUZZ_DOOR_WORKER"); plainWorker != nullptr && *plainWorker != '\0') {
        options.executable = plainWorker;
        options.memoryCap = std::uint64_t{1} << 30;
    } else {
        options.executable = DOOR_WORKER_EXECUTABLE;
        options.memoryCap = 0;
    }
    return MakeWorkerMpqEngine(options);
}

// Workers started from now on fill every block their allocator hands out with this byte.
void SetWorkerFill(std::uint8_t fill) {
    static const std::string inherited = [] {
        const char* options = std::getenv("ASAN_OPTIONS");
        return options != nullptr && *options != '\0' ? std::string(options) + ":" : std::string();
    }();
    const std::string options = inherited +
                                "allocator_may_return_null=1:max_allocation_size_mb=1024:hard_rss_limit_mb=1536:"
                                "detect_leaks=0:max_malloc_fill_size=1048576:malloc_fill_byte=" +
                                std::to_string(fill);
    setenv("ASAN_OPTIONS", options.c_str(), 1);
}

constexpr std::uint8_t kMainFill = 0xBE;
constexpr std::uint8_t kOtherFill = 0x5A;

class DoorRun {
public:
    DoorRun(clsMpqControl& door, fs::path archive, std::span<const std::uint8_t> input)
        : m_door(door), m_archive(std::move(archive)), m_input(input) {
        m_door.SetMpqFileName(m_archive.u16string());
        m_bytes = ReadWhole(m_archive);
    }

    void Reads(const std::vector<std::string>& names) {
        Expect(m_door.ArchiveOpens(&m_why), "ArchiveOpens", "", true);
        for (const std::string& name : names) {
            Expect(m_door.FileExistsInMpq(Address(name), &m_why), "FileExistsInMpq", name, true);
            Bytes content;
            if (Expect(m_door.ReadFileFromMpq(Address(name), content, &m_why), "ReadFileFromMpq", name, true))
                m_readable[name] = std::move(content);
        }
    }

    // A second worker, whose fresh memory holds other bytes, reads every file that read: bytes
    // the engine hands back without having filled them show up as two different answers.
    void CrossRead() {
        if (m_readable.empty())
            return;
        SetWorkerFill(kOtherFill);
        {
            clsMpqControl other(MakeDoorEngine());
            other.SetMpqFileName(m_archive.u16string());
            for (const auto& [name, content] : m_readable) {
                Bytes again;
                if (!other.ReadFileFromMpq(Address(name), again) || again != content)
                    Fail("a second worker reads " + name + " differently: bytes that are not in the archive");
            }
        }
        SetWorkerFill(kMainFill);
        if (ReadWhole(m_archive) != m_bytes)
            Fail("reading with a second worker changed the archive");
    }

    void Save(const std::string& name, const Bytes& content) {
        if (Expect(m_door.SaveFileToMpq(Address(name), content, &m_why), "SaveFileToMpq", name, false)) {
            m_readable[name] = content;
            Verify("SaveFileToMpq " + name);
        }
    }

    void Delete(const std::string& name) {
        if (Expect(m_door.DeleteFileFromMpq(Address(name), &m_why), "DeleteFileFromMpq", name, false)) {
            // The name may still read: another locale's entry can take the deleted one's place.
            m_readable.erase(name);
            Verify("DeleteFileFromMpq " + name);
        }
    }

    void Compress() {
        if (Expect(m_door.CompressMpq(&m_why), "CompressMpq", "", false))
            Verify("CompressMpq");
    }

private:
    // Returns the operation's result; a read, or any operation that failed, must leave the bytes.
    bool Expect(bool result, const char* operation, const std::string& name, bool isRead) {
        Tally::Count(operation, result, m_why);
        if (!result && m_why == MpqFailure::WorkerDied)
            KeepWorkerDeath(operation, m_input);
        m_why = MpqFailure::None;
        const Bytes now = ReadWhole(m_archive);
        if ((isRead || !result) && now != m_bytes) {
            Fail(std::string(operation) + " " + name + (result ? " (a read)" : " returned false but") +
                 " changed the archive");
        }
        m_bytes = now;
        return result;
    }

    void Verify(const std::string& operation) {
        if (!ReadMpqLayout(m_archive))
            Fail("after " + operation + " our check refuses the archive");
        if (!m_door.ArchiveOpens())
            Fail("after " + operation + " the archive does not open");
        for (const auto& [name, content] : m_readable) {
            Bytes now;
            if (!m_door.ReadFileFromMpq(Address(name), now) || now != content)
                Fail("after " + operation + " " + name + " no longer reads as before");
        }
        if (ReadWhole(m_archive) != m_bytes)
            Fail("verifying after " + operation + " changed the archive");
    }

    clsMpqControl& m_door;
    fs::path m_archive;
    std::span<const std::uint8_t> m_input;
    Bytes m_bytes;
    std::map<std::string, Bytes> m_readable;
    MpqFailure m_why = MpqFailure::None;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Workspace workspace;
    static const std::vector<std::string> names = GameFileNames();
    static clsMpqControl door([] {
        SetWorkerFill(kMainFill);
        return MakeDoorEngine();
    }());

    const fs::path archive = workspace.Fresh();
    WriteWhole(archive, data, size);

    // A cheap digest of the input picks the written and the deleted name and the new content, so
    // that each input is one reproducible run.
    std::uint32_t digest = 2166136261u;
    for (std::size_t i = 0; i < size; i += 1 + size / 64)
        digest = (digest ^ data[i]) * 16777619u;
    const std::string& saved = names[digest % names.size()];
    const std::string& deleted = names[(digest >> 8) % names.size()];
    Bytes content(16 + (digest >> 16) % 200);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<std::uint8_t>('A' + (digest + i * 7) % 26);

    DoorRun run(door, archive, std::span<const std::uint8_t>(data, size));
    run.Reads(names);
    run.CrossRead();
    run.Save(saved, content);
    run.Delete(deleted);
    run.Compress();
    // Every write goes to the archive alone: a journal, backup or temporary file left after the
    // operations ended is a write elsewhere.
    for (const std::string& name : workspace.Leftovers(archive))
        Fail("the operations left " + name + " beside the archive");
    return 0;
}
