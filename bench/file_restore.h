#pragma once
// Puts a file back to the bytes of a reference copy between two timed runs, writing only the
// blocks that differ (an edit changes a few megabytes of a 500 MB archive), then flushes it to disk
// so that the next timed run does not pay for the restore's writes.
#include <filesystem>

namespace bench {

bool RestoreFile(const std::filesystem::path& reference, const std::filesystem::path& target);

} // namespace bench
