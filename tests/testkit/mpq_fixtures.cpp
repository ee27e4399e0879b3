#include "testkit/mpq_fixtures.h"

#include "testkit/temp_dir.h"

#include "archive/door/mpq_layout.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testkit {

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
    if (!CreateMpqArchive(path, files, formatVersion))
        throw std::runtime_error("cannot build " + path.string());
}

const char* SignatureCheckName(SignatureCheck check) {
    switch (check) {
    case SignatureCheck::None:
        return "no signature";
    case SignatureCheck::WeakValid:
        return "valid weak signature";
    case SignatureCheck::WeakBroken:
        return "broken weak signature";
    case SignatureCheck::Other:
        return "other";
    }
    return "?";
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return bytes;
}

bool RenameInHashTable(const fs::path& archive, const std::string& from, const std::string& to) {
    std::vector<std::uint8_t> bytes = ReadFile(archive);
    if (bytes.size() < 32)
        return false;
    auto le32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
                                          (static_cast<std::uint32_t>(bytes[at + 3]) << 24));
    };
    const std::uint32_t tablePos = le32(16);
    const std::uint32_t count = le32(24);
    if (tablePos + static_cast<std::size_t>(count) * 16 > bytes.size() || count == 0)
        return false;
    std::vector<std::uint32_t> words(count * 4);
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = le32(tablePos + i * 4);

    // The same stream cipher as the archive's tables: key from "(hash table)".
    std::array<std::uint32_t, 0x500> table{};
    std::uint32_t seed = 0x00100001;
    for (std::uint32_t a = 0; a < 0x100; ++a) {
        for (std::uint32_t b = a, i = 0; i < 5; ++i, b += 0x100) {
            seed = (seed * 125 + 3) % 0x2AAAAB;
            const std::uint32_t high = (seed & 0xFFFF) << 16;
            seed = (seed * 125 + 3) % 0x2AAAAB;
            table[b] = high | (seed & 0xFFFF);
        }
    }
    auto crypt = [&](bool encrypt) {
        std::uint32_t key = MpqHashString("(hash table)", 3);
        std::uint32_t seed2 = 0xEEEEEEEE;
        for (std::uint32_t& word : words) {
            seed2 += table[0x400 + (key & 0xFF)];
            const std::uint32_t plain = encrypt ? word : word ^ (key + seed2);
            const std::uint32_t cipher = encrypt ? word ^ (key + seed2) : word;
            key = ((~key << 0x15) + 0x11111111) | (key >> 0x0B);
            seed2 = plain + seed2 + (seed2 << 5) + 3;
            word = encrypt ? cipher : plain;
        }
    };
    crypt(false);
    std::size_t found = count;
    for (std::size_t i = 0; i < count; ++i) {
        if (words[i * 4] == MpqHashString(from, 1) && words[i * 4 + 1] == MpqHashString(from, 2))
            found = i;
    }
    if (found == count)
        return false;
    const std::uint32_t block = words[found * 4 + 3];
    const std::uint32_t locale = words[found * 4 + 2];
    words[found * 4 + 3] = 0xFFFFFFFE;
    std::size_t slot = MpqHashString(to, 0) & (count - 1);
    for (std::size_t probe = 0; probe < count; ++probe, slot = (slot + 1) & (count - 1)) {
        if (words[slot * 4 + 3] >= 0xFFFFFFFE)
            break;
    }
    words[slot * 4] = MpqHashString(to, 1);
    words[slot * 4 + 1] = MpqHashString(to, 2);
    words[slot * 4 + 2] = locale;
    words[slot * 4 + 3] = block;
    crypt(true);
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (int b = 0; b < 4; ++b)
            bytes[tablePos + i * 4 + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
    }
    WriteFile(archive, bytes);
    return true;
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
