#pragma once
// Power-cut mode of the file-call interposer (io_tripwire.cpp): a SIGKILL keeps the page cache, a
// power loss does not, and only this mode tells the two apart.
//
// While armed, every process of the test executable (a forked child, and a worker started from
// the same executable, which finds the setting in its environment) appends each change it makes
// in the watched directory to one record file outside it: writes and truncations with their
// bytes, file and directory flushes, creations, renames, links and removals, kernel copies. The
// record is written with one write(2) per entry, so it survives the kill. A counter shared through
// a small mmap'd file numbers the calls of all processes; at the chosen call the whole process
// group of the child is SIGKILLed before the call is made.
//
// SimulatePowerCut(seed) then rebuilds the directory from its state at Arm() and the record, as a
// power loss at that instant would leave it. The model: a write or truncation made after the last
// fsync of its file independently persists, is lost, or (a write) persists only as a prefix; the
// directory changes made after the last fsync of the directory persist as a prefix in their order,
// as ext4 commits metadata in order, and nothing but a directory fsync makes one durable (a file's
// own fsync does not save its name). So "archive written, journal lost" is reachable as soon as
// the code forgets either flush.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testkit::power_cut {

// One recorded call, in the order the calls were made across processes.
struct Call {
    enum class Kind { Create, Write, Truncate, Sync, DirSync, Rename, Link, Remove, Done };
    Kind kind;
    std::string name;   // the file's name in the watched directory (the source of rename/link)
    std::string target; // rename/link: the new name
    std::uint64_t inode = 0;
    std::uint64_t offset = 0; // write: where; truncate: the new size
    std::vector<std::uint8_t> bytes;
    std::uint64_t point = 0; // the cut point that falls just before this call
};

std::string Describe(const Call& call);

// Starts recording the calls on files directly inside `directory` into files under `scratch`
// (which must lie outside it); remembers the directory's current content as the starting point.
void Arm(const std::filesystem::path& directory, const std::filesystem::path& scratch);
// Stops recording in this process and removes the setting from the environment.
void Disarm();

struct CutOutcome {
    bool killed = false;   // the process group died at the cut point
    bool finished = false; // the operation returned true before the cut
    std::size_t calls = 0; // calls recorded before the cut
};

// Clears the record, forks a child that runs `operation` and is killed before recorded call
// `point` (counted from 0 over all processes; a point past the last call never kills), marks in
// the record whether the operation returned true, and waits for it. Needs Arm() first.
CutOutcome RunUntilCut(std::size_t point, const std::function<bool()>& operation);

// The calls of the last RunUntilCut.
std::vector<Call> RecordedCalls();

// Rewrites the watched directory as the power loss after the last RunUntilCut leaves it. Seed 0
// loses everything that was not flushed; other seeds draw each choice.
void SimulatePowerCut(std::uint32_t seed);

namespace detail {
// Hooks for the interposed calls in io_tripwire.cpp. A Target is a watched open file.
struct Target {
    std::uint64_t inode = 0;
    std::string name;
    bool directory = false; // the watched directory itself
};
bool Armed();
// The watched file or directory behind fd, counting the call and killing at the cut point.
bool EnterFd(int fd, Target& target);
// The name when path lies directly in the watched directory (dirfd as for openat).
bool WatchedName(int dirfd, const char* path, std::string& name);
// Counts one call and kills at the cut point.
void Tick();
std::uint64_t InodeOf(int fd);
void Record(Call::Kind kind, const Target& target, std::uint64_t offset, const void* bytes, std::size_t size);
void RecordNames(Call::Kind kind, const std::string& name, const std::string& target, std::uint64_t inode);
} // namespace detail

} // namespace testkit::power_cut
