#pragma once
// Whole disk files in and out of byte buffers, as raw bytes.
// WriteWholeFile replaces the target atomically: the new content goes to a temporary file in the
// same directory, is flushed to disk and renamed over the target, so a failure at any point leaves
// the old file exactly as it was and no temporary file behind. A read-only target is refused.
#include <cstdint>
#include <string>
#include <vector>

namespace modFileStreams {

// False for an empty path, a missing file, a directory, or a read error.
bool ReadWholeFile(std::u16string path, std::vector<std::uint8_t>& buffer);

// True when the file at path now holds exactly the buffer's bytes.
bool WriteWholeFile(std::u16string path, const std::vector<std::uint8_t>& buffer);

} // namespace modFileStreams
