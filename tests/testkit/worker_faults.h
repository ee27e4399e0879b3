#pragma once
// What the test worker needs of the platform to misbehave on purpose.
#include <cstdint>
#include <span>
#include <string>

namespace testkit::worker_faults {

// Writes raw bytes to the worker's end of its stream, named as on the worker's command line.
void WriteToChannel(const std::string& channel, std::span<const std::uint8_t> bytes);

// No file of this process may grow past `limit` bytes from now on, as on a full disk; false where
// the platform has no such limit.
bool LimitFileSize(std::uint64_t limit);

} // namespace testkit::worker_faults
