// The command line's bash and zsh completion as installed by its package, driven as a user at a
// terminal would (bash: the completion function over COMP_WORDS; zsh: an interactive shell in a
// pseudo-terminal sent the line and a Tab), and held against what the installed program accepts.
#include "unpacked_packages.h"

#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

namespace {

using namespace packaging_test;
using Words = std::set<std::string>;

enum class Completer { Bash, Zsh };

struct Offered {
    bool ran = false;
    Words words;
    std::string output;
};

// What the completion offers at the end of `line`, typed in `directory`.
Offered Complete(Completer shell, const std::string& line, const fs::path& directory) {
    const UnpackedPackage& package = Unpacked("ostrawen-cli");
    const fs::path share = package.root / "usr/share";
    const std::string command =
        shell == Completer::Bash ? "bash --norc --noprofile " + Quoted(OSTRAWEN_PACKAGING_TESTS "/bash_complete.sh") +
                                       " " + Quoted((share / "bash-completion/completions/ostrawen-cli").string())
                                 : "zsh -f " + Quoted(OSTRAWEN_PACKAGING_TESTS "/zsh_complete.zsh") + " " +
                                       Quoted((share / "zsh/vendor-completions").string());
    const Output out =
        Shell("cd " + Quoted(directory.string()) + " && env -u WINEPREFIX HOME=" + Quoted(directory.string()) + " " +
              command + " " + Quoted(line));
    Offered offered{out.exitCode == 0, {}, out.text};
    std::istringstream lines(out.text);
    for (std::string word; std::getline(lines, word);)
        if (!word.empty())
            offered.words.insert(word.back() == '/' ? word.substr(0, word.size() - 1) : word);
    return offered;
}

// A directory with one subdirectory and one file, for the rows that complete paths.
const fs::path& Workspace() {
    static testkit::TempDir workspace;
    static const bool made = [] {
        fs::create_directories(workspace / "War3Game");
        testkit::WriteFile(workspace / "notes.txt", "x");
        return true;
    }();
    (void)made;
    return workspace.path();
}

std::string ShellName(Completer shell) {
    return shell == Completer::Bash ? "bash" : "zsh";
}

struct CompletionRow {
    const char* name;
    const char* line;
    Words expected;
    bool exactly; // else: offers at least these
};

void PrintTo(const CompletionRow& row, std::ostream* out) {
    *out << '"' << row.line << '"';
}
void PrintTo(Completer shell, std::ostream* out) {
    *out << (shell == Completer::Bash ? "bash" : "zsh");
}

const CompletionRow kRows[] = {
    {"Commands", "ostrawen-cli ", {"status", "lan-name", "cursor", "resource", "compact", "help"}, true},
    {"CommandPrefix", "ostrawen-cli c", {"cursor", "compact"}, true},
    {"CommandAfterOptionsAndTheirValues",
     "ostrawen-cli --json --archive War3.mpq --lock-wait 5 res",
     {"resource"},
     true},
    {"ArchiveNames", "ostrawen-cli --archive War3x", {"War3xLocal.mpq", "War3x.mpq"}, true},
    {"ArchiveNameAfterEquals", "ostrawen-cli --archive=War3P", {"War3Patch.mpq"}, true},
    {"NothingForSeconds", "ostrawen-cli --lock-wait ", {}, true},
    {"GameDirectory", "ostrawen-cli --game-dir ", {"War3Game"}, false},
    {"LanNameActions", "ostrawen-cli lan-name ", {"get", "set"}, true},
    {"NothingForAName", "ostrawen-cli lan-name set ", {}, true},
    {"CursorActions", "ostrawen-cli cursor ", {"get", "set"}, true},
    {"Races", "ostrawen-cli cursor set ", {"human", "orc", "nightelf", "undead"}, true},
    {"RacePrefix", "ostrawen-cli -q cursor set n", {"nightelf"}, true},
    {"NothingAfterGet", "ostrawen-cli cursor get ", {}, true},
    {"ResourceActions", "ostrawen-cli resource ", {"list", "extract", "replace", "delete"}, true},
    {"ItemPrefix", "ostrawen-cli resource delete font", {"font-zhcn", "font-zhtw", "font-en"}, true},
    {"ItemsAfterAnOption",
     "ostrawen-cli resource --json extract ",
     {"menu-music-roc", "menu-music-tft", "font-zhcn", "font-zhtw", "font-en", "menu-model-roc", "menu-model-tft"},
     true},
    {"NoItemsToList", "ostrawen-cli resource list ", {}, true},
    {"FileToReplaceFrom", "ostrawen-cli resource replace font-en ", {"War3Game", "notes.txt"}, true},
    {"NothingAfterTheFile", "ostrawen-cli resource replace font-en notes.txt ", {}, true},
    {"HelpTopics", "ostrawen-cli help ", {"status", "lan-name", "cursor", "resource", "compact"}, true},
    {"OptionsAfterTheCommand", "ostrawen-cli status --j", {"--json"}, true},
    {"LongOptions",
     "ostrawen-cli --",
     {"--game-dir", "--archive", "--json", "--quiet", "--help", "--version", "--lock-wait"},
     false},
    {"NoOptionsAfterDoubleDash", "ostrawen-cli lan-name set -- -", {}, true},
};

class CompletionTest : public testing::TestWithParam<std::tuple<Completer, CompletionRow>> {};

TEST_P(CompletionTest, OffersWhatFitsThere) {
    const auto& [shell, row] = GetParam();
    ASSERT_EQ(Unpacked("ostrawen-cli").problem, "");
    const Offered offered = Complete(shell, row.line, Workspace());
    ASSERT_TRUE(offered.ran) << offered.output;
    if (row.exactly) {
        EXPECT_EQ(offered.words, row.expected) << "completing \"" << row.line << "\"";
    } else {
        for (const std::string& word : row.expected)
            EXPECT_TRUE(offered.words.contains(word)) << word << " not offered for \"" << row.line << "\"";
    }
}

INSTANTIATE_TEST_SUITE_P(CommandLine, CompletionTest,
                         testing::Combine(testing::Values(Completer::Bash, Completer::Zsh), testing::ValuesIn(kRows)),
                         [](const testing::TestParamInfo<std::tuple<Completer, CompletionRow>>& info) {
                             return ShellName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

// The help of the installed program, in English.
std::string Help(const std::string& arguments) {
    const fs::path cli = Unpacked("ostrawen-cli").root / "usr/bin/ostrawen-cli";
    return Shell("env LC_ALL=C LANG=C LANGUAGE= " + Quoted(cli.string()) + " " + arguments).text;
}

// Every match of `pattern`'s first group in `text`.
Words AllMatches(const std::string& text, const std::string& pattern) {
    Words found;
    const std::regex expression(pattern, std::regex::multiline);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression); it != std::sregex_iterator(); ++it)
        found.insert((*it)[1].str());
    return found;
}

// What the program's own help names must be offered: an option, command, item or race added to the
// program and forgotten in a completion shows up here.
struct HelpRow {
    const char* name;
    const char* helpArguments;
    const char* pattern; // its first group is one word the help names
    const char* line;
};

void PrintTo(const HelpRow& row, std::ostream* out) {
    *out << "ostrawen-cli " << row.helpArguments;
}

const HelpRow kHelpRows[] = {
    {"Options", "--help", R"(^ +(?:-[A-Za-z], )?(--[a-z][a-z-]*))", "ostrawen-cli --"},
    {"ShortOptions", "--help", R"(^ +--[a-z][a-z-]*, (-[A-Za-z])\b)", "ostrawen-cli -"},
    {"Commands", "--help", R"(^  ([a-z][a-z-]+) )", "ostrawen-cli "},
    {"Items", "resource --help", R"(^  ([a-z]+-[a-z-]+) )", "ostrawen-cli resource delete "},
    {"Races", "cursor --help", R"((?:set |\|)([a-z]+)(?=\||$))", "ostrawen-cli cursor set "},
};

class CompletionAgreesWithHelpTest : public testing::TestWithParam<std::tuple<Completer, HelpRow>> {};

TEST_P(CompletionAgreesWithHelpTest, OffersEverythingTheHelpNames) {
    const auto& [shell, row] = GetParam();
    ASSERT_EQ(Unpacked("ostrawen-cli").problem, "");
    const std::string help = Help(row.helpArguments);
    const Words named = AllMatches(help, row.pattern);
    ASSERT_FALSE(named.empty()) << "nothing found in the help:\n" << help;
    const Offered offered = Complete(shell, row.line, Workspace());
    ASSERT_TRUE(offered.ran) << offered.output;
    for (const std::string& word : named)
        EXPECT_TRUE(offered.words.contains(word))
            << word << " (in `ostrawen-cli " << row.helpArguments << "`) not offered for \"" << row.line << "\"";
}

INSTANTIATE_TEST_SUITE_P(CommandLine, CompletionAgreesWithHelpTest,
                         testing::Combine(testing::Values(Completer::Bash, Completer::Zsh),
                                          testing::ValuesIn(kHelpRows)),
                         [](const testing::TestParamInfo<std::tuple<Completer, HelpRow>>& info) {
                             return ShellName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
                         });

} // namespace
