#include "bench/game_archive.h"

#include "bench/storm_baseline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace bench {
namespace {

constexpr std::uint32_t kMinFileBytes = 200;
constexpr std::uint32_t kMaxFileBytes = 2u << 20;
// Spread of the log-normal size curve: with the median near 10 KB, one file in a hundred is
// above 500 KB, as models, sounds and textures are in the game's archives.
constexpr double kSizeSigma = 1.7;
// What the generated content shrinks to under StormLib's per-sector zlib, measured; used only to
// aim the archive at its target size.
constexpr double kStoredFraction = 0.67;

// splitmix64: small, fast and the same on every platform (std:: distributions are not).
class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in (0, 1].
    double Unit() { return (static_cast<double>(Next() >> 11) + 1.0) / 9007199254740992.0; }
    std::uint32_t Below(std::uint32_t bound) { return static_cast<std::uint32_t>(Next() % bound); }
    double Normal() { return std::sqrt(-2.0 * std::log(Unit())) * std::cos(2.0 * std::numbers::pi * Unit()); }

private:
    std::uint64_t m_state;
};

std::uint64_t Mix(std::uint64_t seed, std::uint64_t index) {
    return Random(seed ^ (index * 0xD1B54A32D192ED03ULL)).Next();
}

std::uint32_t Clamped(double size) {
    return static_cast<std::uint32_t>(std::clamp(size, double{kMinFileBytes}, double{kMaxFileBytes}));
}

// Content that compresses like game data: a file draws its words from a small vocabulary of its
// own (so 4 KB sectors, which zlib compresses one by one, still find repeats) and mixes in runs
// of noise whose share differs from file to file.
void FillContent(std::vector<std::uint8_t>& content, std::size_t size, std::uint64_t seed) {
    Random random(seed);
    std::array<std::array<std::uint8_t, 16>, 48> words{};
    std::array<std::uint8_t, 48> wordLengths{};
    for (std::size_t w = 0; w < words.size(); ++w) {
        wordLengths[w] = static_cast<std::uint8_t>(3 + random.Below(13));
        for (auto& byte : words[w])
            byte = static_cast<std::uint8_t>(random.Next());
    }
    const std::uint32_t noisePercent = 25 + random.Below(40);
    content.clear();
    content.reserve(size);
    while (content.size() < size) {
        if (random.Below(100) < noisePercent) {
            const std::uint64_t noise = random.Next();
            for (int b = 0; b < 8 && content.size() < size; ++b)
                content.push_back(static_cast<std::uint8_t>(noise >> (8 * b)));
        } else {
            const std::uint32_t w = random.Below(static_cast<std::uint32_t>(words.size()));
            for (std::size_t b = 0; b < wordLengths[w] && content.size() < size; ++b)
                content.push_back(words[w][b]);
        }
    }
}

const char* const kFolders[] = {
    "Units\\Human",
    "Units\\Orc",
    "Units\\NightElf",
    "Units\\Undead",
    "Units\\Creeps",
    "Abilities\\Spells\\Human",
    "Abilities\\Spells\\Orc",
    "Buildings\\Other",
    "Doodads\\Terrain",
    "Environment\\Sky",
    "ReplaceableTextures\\CommandButtons",
    "Textures",
    "Sound\\Units\\Footman",
    "Sound\\Ambient",
    "Objects\\Spawnmodels",
    "UI\\Widgets\\Console",
    "Scripts",
    "Splats",
    "TerrainArt\\Ashenvale",
};

std::string OrdinaryFileName(std::size_t index, std::uint32_t size, std::uint64_t seed) {
    Random random(Mix(seed ^ 0x6E616D65, index));
    const char* folder = kFolders[random.Below(std::size(kFolders))];
    const char* extension = size < 4096    ? (random.Below(2) ? ".txt" : ".slk")
                            : size < 65536 ? (random.Below(2) ? ".blp" : ".mdx")
                                           : (random.Below(3) == 0 ? ".wav"
                                              : random.Below(2)    ? ".blp"
                                                                   : ".mdx");
    char name[200];
    std::snprintf(name, sizeof(name), "%s\\Item%05zu%s", folder, index, extension);
    return name;
}

void AppendText(std::vector<std::uint8_t>& bytes, const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
}

} // namespace

std::vector<std::uint32_t> PlanFileSizes(std::size_t count, std::uint64_t rawTotal, std::uint64_t seed) {
    Random random(Mix(seed, 0x73697A65));
    std::vector<double> normals(count);
    for (auto& value : normals)
        value = random.Normal();
    const auto totalFor = [&](double mu) {
        double total = 0;
        for (double z : normals)
            total += Clamped(std::exp(mu + kSizeSigma * z));
        return total;
    };
    // The clamped total grows with mu, so halving the interval finds the median size that fits.
    double low = std::log(double{kMinFileBytes}) - 10.0;
    double high = std::log(double{kMaxFileBytes}) + 10.0;
    for (int step = 0; step < 100; ++step) {
        const double mid = (low + high) / 2;
        (totalFor(mid) < static_cast<double>(rawTotal) ? low : high) = mid;
    }
    std::vector<std::uint32_t> sizes(count);
    for (std::size_t i = 0; i < count; ++i)
        sizes[i] = Clamped(std::exp(low + kSizeSigma * normals[i]));
    return sizes;
}

std::vector<std::uint8_t> GlobalStringsContent() {
    // The shape of the game's string file: UTF-8 with BOM, CRLF, one entry a line, GAMENAME among them.
    std::vector<std::uint8_t> bytes = {0xEF, 0xBB, 0xBF};
    AppendText(bytes, "// Strings shown by the game's user interface.\r\n\r\nStringList {\r\n");
    Random random(0x666466);
    for (int line = 0; line < 1000; ++line) {
        if (line == 336)
            AppendText(bytes, "    GAMENAME                        \"%s\xE7\x9A\x84\xE6\xB8\xB8\xE6\x88\x8F\",\r\n");
        char key[64];
        std::snprintf(key, sizeof(key), "    STRING_KEY_%04d", line);
        std::string entry = key;
        entry.resize(36, ' ');
        entry += '"';
        const std::uint32_t words = 1 + random.Below(4);
        for (std::uint32_t w = 0; w < words; ++w)
            entry += w == 0 ? "Text" : " \xE6\x96\x87\xE5\xAD\x97";
        entry += "\",\r\n";
        AppendText(bytes, entry);
    }
    AppendText(bytes, "}\r\n");
    return bytes;
}

std::vector<std::uint8_t> SmallFileContent() {
    std::vector<std::uint8_t> bytes;
    const char* const races[] = {"Human", "Orc", "NightElf", "Undead"};
    for (const char* race : races) {
        AppendText(bytes, std::string("[") + race + "]\r\n");
        AppendText(bytes, std::string("Cursor=UI\\Cursor\\") + race + "Cursor.mdl\r\n");
        AppendText(bytes, std::string("ConsoleTexture=UI\\Console\\") + race + "\\" + race + "UITile.blp\r\n");
        AppendText(bytes, std::string("PlacementCursor=UI\\Cursor\\") + race + "Cursor.mdl\r\n\r\n");
    }
    return bytes;
}

std::vector<std::uint8_t> ResourceContent(int variant) {
    // Compressed audio: zlib finds nothing to take away.
    Random random(Mix(0x6D7033, static_cast<std::uint64_t>(variant)));
    std::vector<std::uint8_t> bytes(kResourceBytes);
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const std::uint64_t value = random.Next();
        for (std::size_t b = 0; b < 8 && i + b < bytes.size(); ++b)
            bytes[i + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
    return bytes;
}

bool GenerateGameArchive(const std::filesystem::path& path, const ArchiveShape& shape) {
    constexpr std::size_t kSpecialFiles = 3;
    if (shape.fileCount <= kSpecialFiles)
        return false;
    const std::size_t ordinaryCount = shape.fileCount - kSpecialFiles;
    const std::vector<std::uint8_t> globalStrings = GlobalStringsContent();
    const std::vector<std::uint8_t> smallFile = SmallFileContent();
    const std::vector<std::uint8_t> resource = ResourceContent(0);
    // The tables take 16 bytes an entry in the hash table and in the block table.
    std::uint32_t hashTableSize = 16;
    while (hashTableSize < shape.fileCount * 3 / 2 + 2)
        hashTableSize *= 2;
    const std::uint64_t fixedBytes = resource.size() + globalStrings.size() / 2 + 32ull * hashTableSize;
    if (shape.targetBytes <= fixedBytes)
        return false;
    const auto rawTotal =
        static_cast<std::uint64_t>(static_cast<double>(shape.targetBytes - fixedBytes) / kStoredFraction);
    const std::vector<std::uint32_t> sizes = PlanFileSizes(ordinaryCount, rawTotal, shape.seed);

    // The edited files sit among the others, not at the end, as in a real archive.
    const std::size_t globalStringsAt = shape.fileCount / 3;
    const std::size_t smallFileAt = shape.fileCount / 2;
    const std::size_t resourceAt = shape.fileCount * 2 / 3;
    std::size_t nextOrdinary = 0;
    return StormCreateArchive(path, 1, hashTableSize, shape.fileCount, [&](std::size_t index, StormNewFile& file) {
        if (index == globalStringsAt) {
            file.name = kGlobalStringsName;
            file.content = globalStrings;
        } else if (index == smallFileAt) {
            file.name = kSmallFileName;
            file.content = smallFile;
        } else if (index == resourceAt) {
            file.name = kResourceName;
            file.content = resource;
        } else {
            const std::uint32_t size = sizes[nextOrdinary];
            file.name = OrdinaryFileName(nextOrdinary, size, shape.seed);
            FillContent(file.content, size, Mix(shape.seed, nextOrdinary));
            ++nextOrdinary;
        }
        return true;
    });
}

} // namespace bench
