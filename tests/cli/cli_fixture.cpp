#include "cli_fixture.h"

#include "../mods/game_files.h"
#include "testkit/mpq_fixtures.h"

#include <fstream>
#include <sys/wait.h>

namespace clitest {

namespace fs = std::filesystem;

CliTest::CliTest() {
    fs::create_directories(GameDir());
    testkit::WriteFile(GameDir() / "war3.exe", "MZ");
    BuildGameArchive(Patch(),
                     {"Host", "Human", {{u"Sound\\Music\\mp3Music\\Mainscreen.mp3", testkit::PatternBytes(5000, 7)}}});
}

CliResult CliTest::Run(std::vector<std::string> arguments, bool json, bool gameDir, bool terminal) {
    const auto quote = [](std::string word) {
        for (std::size_t at = 0; (at = word.find('\'', at)) != std::string::npos; at += 4)
            word.replace(at, 1, "'\\''");
        return "'" + word + "'";
    };
    static int runNumber = 0;
    const fs::path outPath = m_root / ("cli-out-" + std::to_string(++runNumber));
    const fs::path errPath = m_root / ("cli-err-" + std::to_string(runNumber));
    const std::string out = quote(outPath.string());
    const std::string err = quote(errPath.string());
    if (json)
        arguments.insert(arguments.begin(), "--json");
    if (gameDir)
        arguments.insert(arguments.begin(), {"--game-dir", GameDir().string()});
    std::string command = quote(OSTRAWEN_CLI);
    for (std::string argument : arguments) {
        if (const auto at = argument.find("{scratch}"); at != std::string::npos)
            argument.replace(at, 9, m_root.path().string());
        command += " " + quote(argument);
    }
    // script(1) runs the command with a pseudo-terminal for stderr and copies what reaches it.
    command = terminal ? "script -qec " + quote(command + " >" + out) + " /dev/null </dev/null >" + err
                       : command + " </dev/null >" + out + " 2>" + err;
    const int status = std::system(command.c_str());
    CliResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const auto read = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    result.out = read(outPath);
    result.err = read(errPath);
    return result;
}

namespace {

struct JsonParser {
    const std::string& text;
    std::size_t pos = 0;
    JsonDocument document = {};

    bool Eat(char c) {
        pos = std::min(text.find_first_not_of(" \t\r\n", pos), text.size());
        return pos < text.size() && text[pos] == c && ++pos;
    }
    // Checks a string and gives what it holds as written, escapes and all.
    bool String(std::string& raw) {
        if (!Eat('"'))
            return false;
        const std::size_t begin = pos;
        while (pos < text.size() && text[pos] != '"') {
            if (static_cast<unsigned char>(text[pos]) < 0x20)
                return false;
            if (text[pos++] != '\\')
                continue;
            const bool unicode = text.compare(pos, 1, "u") == 0;
            const std::string escape = text.substr(pos, unicode ? 5 : 1);
            if (unicode
                    ? escape.size() != 5 || escape.find_first_not_of("0123456789abcdefABCDEF", 1) != std::string::npos
                    : escape.empty() || std::string_view("\"\\/bfnrt").find(escape[0]) == std::string::npos)
                return false;
            pos += escape.size();
        }
        raw = text.substr(begin, pos - begin);
        return Eat('"');
    }
    bool Scalar() {
        const std::string token = text.substr(pos, text.find_first_not_of("+-.0123456789Eaeflnrstu", pos) - pos);
        char* end = nullptr;
        std::strtod(token.c_str(), &end);
        pos += token.size();
        return token == "true" || token == "false" || token == "null" ||
               (token.find_first_of("-0123456789") == 0 && *end == '\0');
    }
    bool Value(const std::string& path, int depth) {
        std::string& slot = document[path];
        if (depth < 64 && (Eat('{') || Eat('['))) {
            const bool object = text[pos - 1] == '{';
            slot = object ? "{}" : "[]";
            for (std::size_t index = 0; !Eat(object ? '}' : ']'); ++index) {
                std::string key = std::to_string(index);
                if ((index > 0 && !Eat(',')) || (object && !(String(key) && Eat(':'))))
                    return false;
                // A key twice would make the document ambiguous.
                const std::string member = path.empty() ? key : path + "/" + key;
                if (document.count(member) || !Value(member, depth + 1))
                    return false;
            }
            return true;
        }
        const std::size_t start = pos;
        if (std::string raw; pos < text.size() && text[pos] == '"' ? !String(raw) : !Scalar())
            return false;
        slot = text.substr(start, pos - start);
        return true;
    }
};

} // namespace

JsonDocument CliTest::Document(const CliResult& result) {
    JsonParser parser{result.out};
    const bool valid = parser.Value("", 0) && (parser.Eat(' '), parser.pos == result.out.size());
    EXPECT_TRUE(valid) << "not one JSON document: " << result.out;
    return valid ? parser.document : JsonDocument{};
}

void BuildGameArchive(const fs::path& path, const ArchiveContent& content) {
    // The builder needs at least one file; a marker stands in for an archive without game files.
    std::vector<MpqBuilderFile> files = {{u"readme.txt", testkit::Bytes("marker")}};
    if (content.gameName)
        files.push_back({u"UI\\FrameDef\\GlobalStrings.fdf", modstest::GlobalStringsFile(*content.gameName)});
    if (content.cursor)
        files.push_back({u"UI\\war3skins.txt", modstest::War3SkinsFile(*content.cursor)});
    for (const auto& [address, bytes] : content.others)
        files.push_back({address, bytes});
    testkit::BuildArchive(path, files);
}

} // namespace clitest
