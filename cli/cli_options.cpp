#include "cli/cli_options.h"

namespace cli {
namespace {

// "--name=value" or "--name value": the value, or nothing when it is missing.
bool TakeValue(const std::vector<std::string>& arguments, std::size_t& i, const std::string& name,
               std::optional<std::string>& value, Text& error) {
    const std::string& argument = arguments[i];
    if (argument.size() > name.size() && argument.compare(0, name.size(), name) == 0 && argument[name.size()] == '=') {
        value = argument.substr(name.size() + 1);
        return true;
    }
    if (argument != name)
        return false;
    // "--archive --json" is a forgotten value, not an archive named "--json"; such a value can still
    // be given as "--archive=--json".
    if (i + 1 >= arguments.size() || arguments[i + 1].rfind("--", 0) == 0) {
        if (error.english.empty())
            error = Msg("option %s needs a value", {name});
        return true;
    }
    value = arguments[++i];
    return true;
}

} // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
    ParsedOptions parsed;
    Options& options = parsed.options;
    bool optionsEnded = false;
    // Parsing goes on after an error, so that --json further on still shapes the error's output.
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        // "-" alone is an ordinary word (a file name by convention).
        if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
            options.words.push_back(argument);
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--json") {
            options.json = true;
        } else if (argument == "--quiet" || argument == "-q") {
            options.quiet = true;
        } else if (argument == "--help" || argument == "-h") {
            options.help = true;
        } else if (argument == "--version" || argument == "-V") {
            options.version = true;
        } else if (TakeValue(arguments, i, "--game-dir", options.gameDir, parsed.error) ||
                   TakeValue(arguments, i, "--archive", options.archive, parsed.error) ||
                   TakeValue(arguments, i, "--lock-wait", options.lockWait, parsed.error)) {
            // taken, or the error says what is missing
        } else if (parsed.error.english.empty()) {
            parsed.error = Msg("unknown option %s", {Value(argument)});
        }
    }
    return parsed;
}

} // namespace cli
