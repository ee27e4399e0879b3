#pragma once
// Power-cut mode of the file-call interposer (io_tripwire.cpp): a SIGKILL keeps the page cache, a
// power loss does not. While armed, every process of a cut (the forked child, and the workers it
// starts from this executable, which find the setting in their environment) appends each change it
// makes inside the watched directory to a record outside it, one write(2) per entry; a counter in a
// shared mapping numbers their calls, and the child's process group is SIGKILLed before the chosen one.
// SimulatePowerCut then rebuilds the directory as ext4 would leave it: a write or truncation after the
// last fsync of its file persists, is lost or (a write) is torn; directory changes after the last
// fsync of the directory persist as a prefix in their order, and only that fsync makes a name durable.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testkit::power_cut {

struct Call {
    enum class Kind : std::uint32_t { Create, Write, Truncate, Sync, DirSync, Rename, Link, Remove };
    Kind kind;
    std::string name;   // the file's name in the watched directory (the source of rename/link)
    std::string target; // rename/link: the new name
    std::uint64_t inode = 0;
    std::uint64_t offset = 0; // write: where; truncate: the new size
    std::vector<std::uint8_t> bytes;
};

// Records calls on files directly inside `directory`, from its current content, under `scratch`.
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
