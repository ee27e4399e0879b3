#include "testkit/worker_faults.h"

#include "support/win32.h"

#include <cstdlib>

namespace testkit::worker_faults {

// The channel argument is "<in handle>,<out handle>" on Windows; the worker writes to the second.
void WriteToChannel(const std::string& channel, std::span<const std::uint8_t> bytes) {
    const std::size_t comma = channel.find(',');
    if (comma == std::string::npos)
        return;
    const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(channel.c_str() + comma + 1, nullptr, 10)));
    DWORD written = 0;
    (void)::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Windows has no per-process file-size limit.
bool LimitFileSize(std::uint64_t) {
    return false;
}

} // namespace testkit::worker_faults
