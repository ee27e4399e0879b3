#pragma once
// The operating system's own words for why a disk file could not be read or written, for the
// command line's messages: "cannot write adir: Is a directory". The archive door reports only that
// a disk file failed; these probes ask the system again, without creating, truncating or changing
// anything, so the player sees the system's reason (strerror on POSIX, FormatMessageW on Windows,
// in the system's language there).
#include <string>

namespace cli {

// Why reading the file at `utf8Path` fails ("No such file or directory", "Is a directory",
// "Permission denied"); empty when the probe finds nothing wrong (the failure was elsewhere).
std::string ReasonFileUnreadable(const std::string& utf8Path);

// Why creating or replacing the file at `utf8Path` fails; empty when the probe finds nothing wrong.
std::string ReasonFileUnwritable(const std::string& utf8Path);

// The reason of the last failed call of this thread (errno, GetLastError), for standard output.
std::string ReasonOfLastError();

} // namespace cli
