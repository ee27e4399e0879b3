#pragma once
// Watches the file-system calls this process makes on files in one directory, whoever makes them
// (StormLib, our journal code, the standard library), and can SIGKILL the process at any of them.
// It works by defining write, pwrite, ftruncate, rename, link, unlink, remove, fsync and their
// 64-bit twins in the test executable, which the dynamic linker then prefers over the C library's
// for every shared library too (StormLib calls write, lseek64, ftruncate64 and rename).
//
// Kill points: each call is one event; point 2*i stops the process inside event i (a write has
// half of its bytes written first, any other call is not made), point 2*i+1 right after it.
// The same definitions (and open, openat, renameat, linkat, unlinkat, copy_file_range, sendfile)
// serve the power-cut mode of power_cut.h.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testkit::tripwire {

struct Event {
    enum class Kind { Write, Truncate, Sync, Rename, Link, Remove };
    Kind kind;
    std::string path;         // the file written, synced or truncated; the source of rename/link
    std::string target;       // the target of rename/link
    std::uint64_t offset = 0; // write: where; truncate: the new size
    std::uint64_t size = 0;   // write: how many bytes
};

// Starts recording calls on files directly inside `directory`; clears earlier events.
void Watch(const std::filesystem::path& directory);
// Stops recording and killing.
void Stop();
const std::vector<Event>& Events();
// SIGKILLs this process at kill point `point` (counted from the next call on a watched file).
void KillAt(std::size_t point);
// While watching, hard links to or from watched files fail as on a file system without them.
void RefuseHardLinks(bool refuse);

std::string Describe(const Event& event);

} // namespace testkit::tripwire
