#pragma once
// The command line's whole behaviour behind main(): one run of `ostrawen-cli` with its arguments
// (without the program name). Exit codes: 0 success, 1 the operation failed (the archive as it
// was), 2 usage error, 3 no game directory, 4 the archive is locked by another operation (try
// again). Human text goes to `out`, in the language chosen with SetLanguage (messages.h), or exactly
// one JSON document with --json, always English; each failure also gives one line on `err` naming
// the archive and the reason.
#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitNoGameDir = 3, kExitLocked = 4 };

// The JSON document's "format": raised only when a member changes meaning or goes away.
constexpr unsigned kJsonFormat = 1;

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace cli
