#pragma once
// Watches the calls by which this process changes files in one directory, as the product reports
// them through its file-I/O seam (support/io_seam.h): creates, writes, truncations, flushes of a
// file or of the directory, renames, links and removals, whichever of our code makes them (the
// journal, the engine's writer, compaction). It can end the process at any of them, as SIGKILL or
// TerminateProcess would.
//
// Kill points: each call is one event; point 2*i stops the process inside event i (a write has
// half of its bytes written first, any other call is not made), point 2*i+1 right after it.
#include "support/io_seam.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testkit::tripwire {

struct Event {
    using Kind = io_seam::Kind;
    Kind kind;
    std::string path;         // the file (SyncDirectory: the directory); the source of rename/link
    std::string target;       // the target of rename/link
    std::uint64_t offset = 0; // write: where; truncate: the new size
    std::uint64_t size = 0;   // write: how many bytes
};

// Starts recording calls on files directly inside `directory` (and flushes of it); clears earlier
// events.
void Watch(const std::filesystem::path& directory);
// Stops recording and killing.
void Stop();
const std::vector<Event>& Events();
// Ends this process at kill point `point` (counted from the next call on a watched file). With a
// note, the point is written there first: whoever waits for the process can tell this kill from a
// crash.
void KillAt(std::size_t point, const std::filesystem::path& note = {});
// While watching, hard links to or from watched files fail as on a file system without them.
void RefuseHardLinks(bool refuse);

std::string Describe(const Event& event);

} // namespace testkit::tripwire
