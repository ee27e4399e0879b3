#pragma once
// Power loss, not just a kill: a killed process leaves the page cache behind, a power cut does not.
// While armed, every process of a cut (the child running the operation, and the workers it starts
// from this executable, which find the setting in their environment) observes the product's file
// calls through its seam (support/io_seam.h) and appends each change it makes inside the watched
// directory to a record outside it; a counter in memory shared by those processes numbers their
// calls, and they are all killed before the chosen one. SimulatePowerCut then rebuilds the
// directory as the file system would leave it: a write or truncation after the last flush of its
// file persists, is lost or (a write) is torn; directory changes (create, rename, link, remove)
// after the last flush of the directory persist as a prefix in their order, and only that flush
// makes a name durable (ext4's rules).
//
// On Windows durable::SyncDirectory makes no call (NTFS journals directory changes, and renames
// are made with MOVEFILE_WRITE_THROUGH), so there the model covers FlushFileBuffers only: every
// directory change counts as durable once made, and what a cut can lose is unflushed file data.
#include "testkit/child_process.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testkit::power_cut {

struct Call {
    enum class Kind : std::uint32_t { Create, Write, Truncate, Sync, DirSync, Rename, Link, Remove };
    Kind kind;
    std::string name;         // the file's name in the watched directory (the source of rename/link)
    std::string target;       // rename/link: the new name
    std::uint64_t offset = 0; // write: where; truncate: the new size
    std::vector<std::uint8_t> bytes;
};

// Records calls on files directly inside `directory`, from its current content, under `scratch`.
void Arm(const std::filesystem::path& directory, const std::filesystem::path& scratch);
void Disarm();

struct CutOutcome {
    bool killed = false;   // the processes died at the cut point
    bool finished = false; // the role returned 0 (the operation succeeded) before the cut
    std::size_t calls = 0; // calls counted before the cut
    child::Outcome ended;  // how the child ended, for messages
};

// Runs the child role `role` (testkit/child_process.h) with `args`, killed before call `point`
// (counted from 0 over all its processes; a point past the last call never kills), and waits for
// it. Needs Arm() first.
CutOutcome RunUntilCut(std::size_t point, const std::string& role, const std::vector<std::string>& args);
std::vector<Call> RecordedCalls(); // of the last RunUntilCut

// Rewrites the watched directory as the power loss after the last RunUntilCut leaves it. Seed 0
// loses everything that was not flushed; other seeds draw each choice.
void SimulatePowerCut(std::uint32_t seed);

// What the platform gives the model (power_cut_posix.cpp, power_cut_win.cpp).
namespace detail {
// The bytes the processes of one cut share, mapped from a file that holds them.
struct Shared {
    std::uint64_t calls;
    std::uint64_t killPoint;
    std::uint64_t processCount;
    struct Process {
        std::uint64_t id;
        std::uint64_t started;
    } processes[64];
};
Shared* MapShared(const std::filesystem::path& file);
void UnmapShared(Shared* shared);
// This process, as EndCut finds it again.
Shared::Process ThisProcess();
// Kills every process of the cut, this one last.
[[noreturn]] void EndCut(const Shared& shared);
// True when the child ended by EndCut (and not by a crash of its own).
bool EndedByCut(const child::Outcome& outcome);
// Returns once every process of the cut has ended, so that none still holds a file open.
void AwaitProcesses(const Shared& shared);
// Whether a directory change needs the directory's flush to survive (see above).
extern const bool kDirectoryChangesNeedFlush;
} // namespace detail

} // namespace testkit::power_cut
