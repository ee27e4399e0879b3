#include "testkit/mpq_fixtures.h"

#include "testkit/temp_dir.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace testkit {

namespace {

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::optional<std::string> RunAndCapture(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string output;
    char chunk[4096];
    std::size_t count;
    while ((count = fread(chunk, 1, sizeof(chunk), pipe)) > 0) output.append(chunk, count);
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    return output;
}

} // namespace

std::vector<MpqBuilderFile> SampleArchiveFiles() {
    return {
        {u"UI\\FrameDef\\GlobalStrings.fdf", Bytes("StringList {\r\nGAMENAME \"%s's game\",\r\n}\r\n")},
        {u"UI\\war3skins.txt", Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n")},
        {u"Sound\\Music\\mp3Music\\Mainscreen.mp3", PatternBytes(70000, 7, false)},
        {u"Fonts\\dfst-m3u.ttf", PatternBytes(20000, 11)},
        {u"empty.txt", {}},
    };
}

void BuildArchive(const fs::path& path, const std::vector<MpqBuilderFile>& files, int formatVersion) {
    if (!CreateMpqArchive(path, files, formatVersion)) throw std::runtime_error("cannot build " + path.string());
}

bool HaveSmpq() {
    std::error_code error;
    return fs::is_regular_file(SMPQ_EXECUTABLE, error);
}

std::optional<std::vector<std::string>> SmpqList(const fs::path& archive) {
    std::optional<std::string> output = RunAndCapture(Quote(SMPQ_EXECUTABLE) + " -l " + Quote(archive.string()));
    if (!output) return std::nullopt;
    // Lines are "<size> <date> <time> <name>"; the name is the rest after three fields.
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < output->size()) {
        std::size_t end = output->find('\n', start);
        if (end == std::string::npos) end = output->size();
        std::string line = output->substr(start, end - start);
        start = end + 1;
        std::size_t position = line.find_first_not_of(' ');
        for (int field = 0; field < 3 && position != std::string::npos; ++field) {
            position = line.find(' ', position);
            if (position != std::string::npos) position = line.find_first_not_of(' ', position);
        }
        if (position != std::string::npos) names.push_back(line.substr(position));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::vector<std::uint8_t>> SmpqExtract(const fs::path& archive, const std::string& name) {
    TempDir out;
    const std::string command = "cd " + Quote(out.path().string()) + " && " + Quote(SMPQ_EXECUTABLE) + " -q -x " +
                                Quote(fs::absolute(archive).string()) + " " + Quote(name);
    if (!RunAndCapture(command)) return std::nullopt;
    std::string relative = name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    std::error_code error;
    if (!fs::is_regular_file(out / relative, error)) return std::nullopt;
    return ReadFile(out / relative);
}

std::vector<std::uint8_t> PatternBytes(std::size_t size, std::uint32_t seed, bool compressible) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(size);
    static const char words[] = "the quick brown footman ran past the ancient of war; ";
    for (std::size_t i = 0; i < size; ++i) {
        if (compressible)
            bytes[i] = static_cast<std::uint8_t>(words[(i + random() % 3) % (sizeof(words) - 1)]);
        else
            bytes[i] = static_cast<std::uint8_t>(random());
    }
    return bytes;
}

} // namespace testkit
