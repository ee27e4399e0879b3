#pragma once
// A game directory per test and the helpers every command-line test uses.
#include "cli_runner.h"
#include "json_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace clitest {

class CliTest : public testing::Test {
protected:
    CliTest() { BuildGameDir(GameDir()); }

    std::filesystem::path GameDir() const { return m_root / "Warcraft III"; }
    std::filesystem::path Patch() const { return GameDir() / "War3Patch.mpq"; }

    // "{dir}" in an argument stands for the game directory, "{scratch}" for a directory of files.
    std::vector<std::string> Expand(const std::vector<std::string>& arguments) const {
        std::vector<std::string> expanded;
        for (std::string argument : arguments) {
            for (const auto& [token, value] : {std::pair<std::string, std::string>{"{dir}", GameDir().string()},
                                               {"{scratch}", m_root.path().string()}}) {
                if (const auto at = argument.find(token); at != std::string::npos)
                    argument.replace(at, token.size(), value);
            }
            expanded.push_back(argument);
        }
        return expanded;
    }

    // With --game-dir and, when asked, --json.
    CliResult Run(std::vector<std::string> arguments, bool json = false,
                  const std::map<std::string, std::optional<std::string>>& env = {}) const {
        arguments = Expand(arguments);
        arguments.insert(arguments.begin(), {"--game-dir", GameDir().string()});
        if (json)
            arguments.insert(arguments.begin(), "--json");
        return RunCli(arguments, m_root.path(), env);
    }

    // The one JSON document of a --json run; fails the test when there is not exactly one.
    static JsonValue Document(const CliResult& result) {
        const auto document = ParseJson(result.out);
        EXPECT_TRUE(document.has_value()) << "not one JSON document: " << result.out;
        return document.value_or(JsonValue{});
    }
    static std::string StringAt(const JsonValue& document, const std::string& path) {
        const JsonValue* value = document.At(path);
        return value && value->kind == JsonValue::Kind::String ? value->string : "<missing " + path + ">";
    }

    testkit::TempDir m_root;
};

} // namespace clitest
