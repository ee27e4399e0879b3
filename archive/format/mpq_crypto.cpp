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

} // namespace

std::uint32_t MpqCipher::Step(std::uint32_t in, bool encrypt) {
    m_seed += CryptTable()[0x400 + (m_key & 0xFF)];
    const std::uint32_t out = in ^ (m_key + m_seed);
    const std::uint32_t plain = encrypt ? in : out;
    m_key = ((~m_key << 0x15) + 0x11111111) | (m_key >> 0x0B);
    m_seed = plain + m_seed + (m_seed << 5) + 3;
    return out;
}

std::uint32_t MpqCipher::Decrypt(std::uint32_t word) {
    return Step(word, false);
}

std::uint32_t MpqCipher::Encrypt(std::uint32_t word) {
    return Step(word, true);
}

std::uint32_t MpqKeyMix(std::uint8_t lowByte) {
    return CryptTable()[0x400 + lowByte];
}

void MpqDecryptBlock(std::span<std::uint32_t> words, std::uint32_t key) {
    MpqCipher cipher(key);
    for (std::uint32_t& word : words)
        word = cipher.Decrypt(word);
}

void MpqEncryptBlock(std::span<std::uint32_t> words, std::uint32_t key) {
    MpqCipher cipher(key);
    for (std::uint32_t& word : words)
        word = cipher.Encrypt(word);
}

void MpqDecryptBytes(std::span<std::uint8_t> bytes, std::uint32_t key) {
    MpqCipher cipher(key);
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4)
        mpq::StoreLe32(bytes.data() + at, cipher.Decrypt(mpq::LoadLe32(bytes.data() + at)));
}

void MpqEncryptBytes(std::span<std::uint8_t> bytes, std::uint32_t key) {
    MpqCipher cipher(key);
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += 4)
        mpq::StoreLe32(bytes.data() + at, cipher.Encrypt(mpq::LoadLe32(bytes.data() + at)));
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
