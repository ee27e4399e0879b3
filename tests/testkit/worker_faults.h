#pragma once
// What test processes need of the platform to misbehave on purpose, or to be held to limits.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace testkit::worker_faults {

// Writes raw bytes to the worker's end of its stream, named as on the worker's command line.
void WriteToChannel(const std::string& channel, std::span<const std::uint8_t> bytes);

// No file of this process, nor of the workers it starts from now on, may grow past `limit` bytes,
// as on a full disk: the write that would fails with ENOSPC (ERROR_DISK_FULL). On POSIX this is the
// file-size limit, which children inherit. Windows has none, so there every write and size change
// is refused through the io_seam observer, and the limit goes to workers in kFileSizeLimitVariable,
// which the test programs' worker entry applies. False when the limit could not be set.
bool LimitFileSize(std::uint64_t limit);
inline constexpr char kFileSizeLimitVariable[] = "OSTRAWEN_TEST_FILE_SIZE_LIMIT";

// Caps this process's address space, so that a runaway allocation fails; false where the platform
// cannot (Wine ignores a job object's memory limit).
bool CapAddressSpace(std::uint64_t bytes);

// The most memory this process has held resident so far.
std::uint64_t PeakResidentBytes();

// Ends this process with exit code 124 once `seconds` have passed, as a stuck test would never end.
void ExitAfter(unsigned seconds);

long OwnProcessId();
// The processes whose parent is `parent`, alive or (POSIX) not yet reaped.
std::vector<long> ChildProcessIds(long parent);
// True when the process has ended; a POSIX zombie nobody waits for counts as ended.
bool ProcessGone(long pid);
// True when this Windows program runs under Wine, which leaves some Windows limits unenforced.
bool RunningUnderWine();

} // namespace testkit::worker_faults
