// The command line's texts: the locale rule, the placeholders, and the Chinese catalogue against the
// sources: every text the code shows has a translation with the same placeholders, and the catalogue
// keeps no text the code no longer shows.
#include "cli/messages.h"
#include "cli/ui_language.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace clitest {
namespace {
namespace fs = std::filesystem;

struct LocaleCase {
    const char* name;
    const char* locale;
    bool chinese;
};
class LocaleNameTest : public testing::TestWithParam<LocaleCase> {};
TEST_P(LocaleNameTest, SimplifiedChineseOnly) {
    EXPECT_EQ(cli::LanguageOfLocaleName(GetParam().locale) == cli::Language::SimplifiedChinese, GetParam().chinese);
}
// clang-format off
const LocaleCase kLocaleCases[] = {
    {"ChinaUtf8", "zh_CN.UTF-8", true}, {"ChinaGb18030", "zh_CN.GB18030", true}, {"ChinaBare", "zh_CN", true},
    {"Singapore", "zh_SG.UTF-8", true}, {"HansScript", "zh_Hans_CN.UTF-8", true}, {"HansAlone", "zh_Hans", true},
    {"LanguageAlone", "zh", true}, {"LanguageWithCodeset", "zh.UTF-8", true}, {"WithModifier", "zh_CN@pinyin", true},
    {"Taiwan", "zh_TW.UTF-8", false}, {"HongKong", "zh_HK", false}, {"HantScript", "zh_Hant_TW", false},
    {"English", "en_US.UTF-8", false}, {"C", "C", false}, {"Posix", "POSIX", false},
    {"PrefixOnly", "zh_CNX", false}, {"OtherLanguageStartingWithZ", "zu_ZA", false}, {"Empty", "", false},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, LocaleNameTest, testing::ValuesIn(kLocaleCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct FormatCase {
    const char* name;
    const char* pattern;
    std::vector<std::string> arguments;
    const char* expected;
};
class FormatTest : public testing::TestWithParam<FormatCase> {};
TEST_P(FormatTest, FillsPlaceholders) {
    const FormatCase& row = GetParam();
    std::vector<std::string_view> arguments(row.arguments.begin(), row.arguments.end());
    EXPECT_EQ(cli::FormatList(row.pattern, arguments), row.expected);
}
// clang-format off
const FormatCase kFormatCases[] = {
    {"InOrder", "%s: cannot read %s", {"War3.mpq", "x"}, "War3.mpq: cannot read x"},
    {"Reordered", "%2$s（来自 %1$s）", {"a", "b"}, "b（来自 a）"},
    {"Percent", "100%% of %s", {"x"}, "100% of x"},
    {"ArgumentHoldsPlaceholder", "%s and %s", {"%s", "y"}, "%s and y"},
    {"MissingArgumentIsEmpty", "[%s][%s]", {"a"}, "[a][]"},
    {"LonePercentAtEnd", "50%", {}, "50%"},
    {"UnknownConversionKept", "%d %s", {"x"}, "%d x"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Rows, FormatTest, testing::ValuesIn(kFormatCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ControlCharacters, EscapedForTheTerminalOnly) {
    const cli::Text value = cli::Value("a\x1b[31m\x7f\t\xe4\xb8\xad");
    EXPECT_EQ(value.english, "a\x1b[31m\x7f\t\xe4\xb8\xad");
    EXPECT_EQ(value.shown, "a\\x1b[31m\\x7f\\x09\xe4\xb8\xad");
}

std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What xgettext --keyword=Tr --keyword=Msg finds: the first argument's string literals, joined, escapes as written.
std::set<std::string> MessagesInSources() {
    std::set<std::string> messages;
    const std::regex call(R"re(\b(Tr|Msg)\(\s*((?:"(?:[^"\\]|\\.)*"\s*)+))re");
    const std::regex literal(R"re("((?:[^"\\]|\\.)*)")re");
    for (const auto& entry : fs::directory_iterator(OSTRAWEN_CLI_SOURCE_DIR)) {
        if (entry.path().extension() != ".cpp")
            continue;
        const std::string source = Slurp(entry.path());
        for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
            std::string joined;
            const std::string literals = (*it)[2];
            for (std::sregex_iterator part(literals.begin(), literals.end(), literal); part != end; ++part)
                joined += (*part)[1];
            messages.insert(joined);
        }
    }
    return messages;
}

// msgid -> msgstr of the .po file, escapes as written; the header and fuzzy entries left out.
std::map<std::string, std::string> Catalogue() {
    std::map<std::string, std::string> entries;
    std::ifstream po(OSTRAWEN_CLI_SOURCE_DIR "/po/zh_CN.po");
    std::string id, str, *field = nullptr;
    bool fuzzy = false;
    const auto flush = [&] {
        if (!id.empty() && !fuzzy)
            entries[id] = str;
        id.clear(), str.clear(), field = nullptr, fuzzy = false;
    };
    const auto quoted = [](const std::string& line, std::size_t from) {
        return line.substr(from + 1, line.size() - from - 2);
    };
    for (std::string line; std::getline(po, line);) {
        if (line.starts_with("#,") && line.find("fuzzy") != std::string::npos)
            fuzzy = true;
        else if (line.starts_with("msgid ")) {
            if (field)
                flush();
            id = quoted(line, 6), field = &id;
        } else if (line.starts_with("msgstr "))
            str = quoted(line, 7), field = &str;
        else if (line.starts_with("\"") && field)
            *field += quoted(line, 0);
    }
    flush();
    return entries;
}

// The placeholders in order: "%s", "%2$s", "%%".
std::multiset<std::string> Placeholders(const std::string& text) {
    std::multiset<std::string> found;
    const std::regex placeholder(R"(%(\d+\$)?s)");
    std::size_t next = 1;
    for (std::sregex_iterator it(text.begin(), text.end(), placeholder), end; it != end; ++it)
        found.insert((*it)[1].matched ? std::string((*it)[1]).substr(0, (*it)[1].length() - 1)
                                      : std::to_string(next++));
    return found;
}

TEST(ChineseCatalogue, EveryMessageTranslatedAndNoneStale) {
    const std::set<std::string> used = MessagesInSources();
    const std::map<std::string, std::string> catalogue = Catalogue();
    ASSERT_GT(used.size(), 50u) << "the sources were not found or not read";
    for (const std::string& message : used) {
        SCOPED_TRACE(message);
        const auto entry = catalogue.find(message);
        ASSERT_NE(entry, catalogue.end()) << "no msgid in po/zh_CN.po";
        EXPECT_FALSE(entry->second.empty()) << "empty msgstr";
        EXPECT_EQ(Placeholders(entry->second), Placeholders(message)) << entry->second;
    }
    for (const auto& [id, str] : catalogue)
        EXPECT_TRUE(used.count(id)) << "no longer in the code: " << id;
}

// The compiled table is the .po file's, entry for entry, and Tr answers from it only in Chinese.
TEST(ChineseCatalogue, CompiledIntoTheProgram) {
    const std::map<std::string, std::string> catalogue = Catalogue();
    const cli::Catalogue compiled = cli::SimplifiedChineseCatalogue();
    ASSERT_EQ(compiled.size, catalogue.size());
    std::size_t compared = 0;
    for (std::size_t i = 0; i < compiled.size; ++i) {
        const std::string english = compiled.entries[i].english;
        // Texts without escapes read the same in the .po file and in the program.
        if (english.find_first_of("\\\"\n") != std::string::npos)
            continue;
        EXPECT_EQ(catalogue.count(english) ? catalogue.at(english) : "(missing)", compiled.entries[i].translated);
        cli::SetLanguage(cli::Language::SimplifiedChinese);
        EXPECT_STREQ(cli::Tr(compiled.entries[i].english), compiled.entries[i].translated);
        cli::SetLanguage(cli::Language::English);
        EXPECT_EQ(cli::Tr(compiled.entries[i].english), english);
        ++compared;
    }
    EXPECT_GT(compared, compiled.size / 2);
}

} // namespace
} // namespace clitest
