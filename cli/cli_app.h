#pragma once
// The command line's whole behaviour behind main(): one run of `ostrawen-cli` with its arguments
// (without the program name). Exit codes: 0 success, 1 the operation failed (the archive as it
// was), 2 usage error, 3 no game directory. Human text goes to `out`, or exactly one JSON document
// with --json; each failure also gives one English line on `err` naming the archive and the reason.
#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitNoGameDir = 3 };

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

} // namespace cli
