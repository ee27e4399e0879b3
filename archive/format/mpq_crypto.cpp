#include "archive/format/mpq_crypto.h"

#include "archive/format/mpq_format.h"

#include <array>

namespace {

const std::array<std::uint32_t, 0x500>& CryptTable() {
    static const std::array<std::uint32_t, 0x500> table = [] {
        std::array<std::uint32_t, 0x500> values{};
        std::uint32_t seed = 0x00100001;
        for (std::uint32_t index1 = 0; index1 < 0x100; ++index1) {
            for (std::uint32_t index2 = index1, i = 0; i < 5; ++i, index2 += 0x100) {
                seed = (seed * 125 + 3) % 0x2AAAAB;
                const std::uint32_t high = (seed & 0xFFFF) << 16;
                seed = (seed * 125 + 3) % 0x2AAAAB;
                values[index2] = high | (seed & 0xFFFF);
            }
        }
        return values;
    }();
    return table;
}

std::uint32_t LoadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void StoreLe32(std::uint8_t* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// One pass of the cipher over words; the key stream depends on the plain text, hence the flag.
template <bool Encrypt, typename Load, typename Store>
void Cipher(std::size_t count, std::uint32_t key, Load load, Store store) {
    const auto& table = CryptTable();
    std::uint32_t seed2 = 0xEEEEEEEE;
    for (std::size_t i = 0; i < count; ++i) {
        seed2 += table[0x400 + (key & 0xFF)];
        const std::uint32_t in = load(i);
        const std::uint32_t out = in ^ (key + seed2);
        const std::uint32_t plain = Encrypt ? in : out;
        key = ((~key << 0x15) + 0x11111111) | (key >> 0x0B);
        seed2 = plain + seed2 + (seed2 << 5) + 3;
        store(i, out);
    }
}

} // namespace

void MpqDecryptBlock(std::span<std::uint32_t> words, std::uint32_t key) {
    Cipher<false>(
        words.size(), key, [&](std::size_t i) { return words[i]; },
        [&](std::size_t i, std::uint32_t value) { words[i] = value; });
}

void MpqEncryptBlock(std::span<std::uint32_t> words, std::uint32_t key) {
    Cipher<true>(
        words.size(), key, [&](std::size_t i) { return words[i]; },
        [&](std::size_t i, std::uint32_t value) { words[i] = value; });
}

void MpqDecryptBytes(std::span<std::uint8_t> bytes, std::uint32_t key) {
    Cipher<false>(
        bytes.size() / 4, key, [&](std::size_t i) { return LoadLe32(bytes.data() + i * 4); },
        [&](std::size_t i, std::uint32_t value) { StoreLe32(bytes.data() + i * 4, value); });
}

void MpqEncryptBytes(std::span<std::uint8_t> bytes, std::uint32_t key) {
    Cipher<true>(
        bytes.size() / 4, key, [&](std::size_t i) { return LoadLe32(bytes.data() + i * 4); },
        [&](std::size_t i, std::uint32_t value) { StoreLe32(bytes.data() + i * 4, value); });
}

std::uint32_t MpqHashString(const std::string& name, std::uint32_t hashType) {
    const auto& table = CryptTable();
    std::uint32_t seed1 = 0x7FED7FED;
    std::uint32_t seed2 = 0xEEEEEEEE;
    for (char c : name) {
        std::uint32_t ch = static_cast<std::uint8_t>(c);
        if (ch >= 'a' && ch <= 'z')
            ch -= 'a' - 'A';
        if (ch == '/')
            ch = '\\';
        seed1 = table[(hashType << 8) + ch] ^ (seed1 + seed2);
        seed2 = ch + seed1 + seed2 + (seed2 << 5) + 3;
    }
    return seed1;
}

std::uint32_t MpqFileKey(const std::string& name, std::uint32_t relativeOffset, std::uint32_t fileSize,
                         std::uint32_t flags) {
    const std::size_t slash = name.find_last_of("\\/");
    std::uint32_t key = MpqHashString(slash == std::string::npos ? name : name.substr(slash + 1), 3);
    if ((flags & mpq::kFileFixKey) != 0)
        key = (key + relativeOffset) ^ fileSize;
    return key;
}
