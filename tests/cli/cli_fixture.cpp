#include "cli_fixture.h"

#include <fstream>
#include <sys/wait.h>

namespace clitest {

namespace fs = std::filesystem;

CliTest::CliTest() {
    fs::create_directories(GameDir());
    testkit::WriteFile(GameDir() / "war3.exe", "MZ");
    testkit::BuildArchive(
        Patch(),
        {Strings("Host"), Skins("Human"), {u"Sound\\Music\\mp3Music\\Mainscreen.mp3", testkit::PatternBytes(5000, 7)}});
}

CliResult CliTest::Run(std::vector<std::string> arguments, bool json, bool gameDir, bool terminal) {
    const auto quote = [](std::string word) {
        for (std::size_t at = 0; (at = word.find('\'', at)) != std::string::npos; at += 4)
            word.replace(at, 1, "'\\''");
        return "'" + word + "'";
    };
    if (json)
        arguments.insert(arguments.begin(), "--json");
    if (gameDir)
        arguments.insert(arguments.begin(), {"--game-dir", GameDir().string()});
    std::string command = "cd " + quote(m_root.path().string()) + " && " + quote(OSTRAWEN_CLI);
    for (const std::string& argument : arguments)
        command += " " + quote(argument);
    // script(1) runs the command with a pseudo-terminal for stderr and copies what reaches it.
    command = terminal ? "script -qec " + quote(command + " >cli-out") + " /dev/null </dev/null >" +
                             quote((m_root / "cli-err").string())
                       : command + " </dev/null >cli-out 2>cli-err";
    const int status = std::system(command.c_str());
    const auto read = [&](const char* name) {
        std::ifstream in(m_root / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read("cli-out"), read("cli-err")};
}

namespace {

struct JsonParser {
    const std::string& text;
    std::size_t pos = 0;
    std::map<std::string, std::string> document = {};

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
            const std::size_t length = text.compare(pos, 1, "u") == 0 ? 5 : 1;
            if (pos + length > text.size() || std::string_view("\"\\/bfnrtu").find(text[pos]) == std::string::npos ||
                text.substr(pos + 1, length - 1).find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            pos += length;
        }
        raw = text.substr(begin, pos - begin);
        return Eat('"');
    }
    // The program prints no numbers but whole ones.
    bool Scalar() {
        const std::string token = text.substr(pos, text.find_first_not_of("0123456789aeflnrstu", pos) - pos);
        pos += token.size();
        return token == "true" || token == "false" || token == "null" ||
               (!token.empty() && token.find_first_not_of("0123456789") == std::string::npos);
    }
    bool Value(const std::string& path) {
        std::string& slot = document[path];
        if (Eat('{') || Eat('[')) {
            const bool object = text[pos - 1] == '{';
            slot = object ? "{}" : "[]";
            for (std::size_t index = 0; !Eat(object ? '}' : ']'); ++index) {
                std::string key = std::to_string(index);
                if ((index > 0 && !Eat(',')) || (object && !(String(key) && Eat(':'))))
                    return false;
                // A key twice would make the document ambiguous.
                const std::string member = path.empty() ? key : path + "/" + key;
                if (document.count(member) || !Value(member))
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

std::map<std::string, std::string> CliTest::Document(const CliResult& result) {
    JsonParser parser{result.out};
    const bool valid = parser.Value("") && !parser.Eat(' ') && parser.pos == result.out.size();
    EXPECT_TRUE(valid) << "not one JSON document: " << result.out;
    return valid ? parser.document : std::map<std::string, std::string>{};
}

} // namespace clitest
