#pragma once
// Power-cut mode of the file-call interposer (io_tripwire.cpp): a SIGKILL keeps the page cache, a
// power loss does not, and only this mode tells the two apart.
//
// While armed, every process of a cut (the forked child, and the workers it starts from the same
// executable, which find the setting in their environment) appends each change it makes directly
// inside the watched directory to one record outside it, one write(2) per entry so that it survives
// the kill: writes and truncations with their bytes, file and directory flushes, creations,
// renames, links, removals, kernel copies. A counter in a shared mapping numbers the calls of all
// of them; at the chosen call the child's process group is SIGKILLed before the call is made.
//
// SimulatePowerCut(seed) then rebuilds the directory from its state at Arm() and the record: a
// write or truncation made after the last fsync of its file independently persists, is lost, or
// (a write) persists only as a prefix; directory changes made after the last fsync of the directory
// persist as a prefix in their order, as ext4 commits metadata, and nothing but a directory fsync
// makes one durable. So "archive written, journal lost" is reachable as soon as a flush is missing.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testkit::power_cut {

// One recorded call, in the order the calls were made across processes.
struct Call {
    enum class Kind : std::uint32_t { Create, Write, Truncate, Sync, DirSync, Rename, Link, Remove, Done };
    Kind kind;
    std::string name;   // the file's name in the watched directory (the source of rename/link)
    std::string target; // rename/link: the new name
    std::uint64_t inode = 0;
    std::uint64_t offset = 0; // write: where; truncate: the new size
    std::vector<std::uint8_t> bytes;
};

// Records the calls on files directly inside `directory` into files under `scratch` (outside it),
// starting from the directory's current content.
void Arm(const std::filesystem::path& directory, const std::filesystem::path& scratch);
void Disarm();

struct CutOutcome {
    bool killed = false;   // the process group died at the cut point
    bool finished = false; // the operation returned true before the cut
    std::size_t calls = 0; // calls counted before the cut
};

// Forks a child that runs `operation` and is killed before call `point` (counted from 0 over all
// its processes; a point past the last call never kills), and waits for it. Needs Arm() first.
CutOutcome RunUntilCut(std::size_t point, const std::function<bool()>& operation);
std::vector<Call> RecordedCalls(); // of the last RunUntilCut

// Rewrites the watched directory as the power loss after the last RunUntilCut leaves it. Seed 0
// loses everything that was not flushed; other seeds draw each choice.
void SimulatePowerCut(std::uint32_t seed);

// For the interposed calls in io_tripwire.cpp; nothing is watched unless armed in a cut.
namespace detail {
// The watched file behind fd (an empty name: the watched directory itself); counts one call.
bool EnterFd(int fd, std::string& name, std::uint64_t& inode);
// The name when path lies directly in the watched directory (dirfd as for openat); counts nothing.
bool WatchedName(int dirfd, const char* path, std::string& name);
void Tick(); // counts one call; the cut may fall here
void Record(const Call& call);
// A file renamed or linked in from outside: a new name whose content was made out of our view.
void RecordBroughtIn(const std::string& name, std::uint64_t inode);
} // namespace detail

} // namespace testkit::power_cut
