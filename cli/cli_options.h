#pragma once
// The command line's words: options may stand before or after the subcommand, and "--" ends them,
// so `ostrawen-cli lan-name set -- -=Host=-` sets a name that starts with '-'.
// Example: {"--json", "lan-name", "get", "--archive=war3x.mpq"} -> json, archive "war3x.mpq",
// words {"lan-name", "get"}.
#include "cli/messages.h"

#include <optional>
#include <string>
#include <vector>

namespace cli {

struct Options {
    std::optional<std::string> gameDir;  // --game-dir DIR: taken as it is, no war3.exe test
    std::optional<std::string> archive;  // --archive NAME, as typed
    std::optional<std::string> lockWait; // --lock-wait SECONDS, as typed
    bool json = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> words; // the subcommand, its action and its arguments
};

// The options, or the one-line reason they are not usable.
struct ParsedOptions {
    Options options;
    Text error; // empty when parsing succeeded
};

ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

} // namespace cli
