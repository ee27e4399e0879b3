#pragma once
// The MPQ cipher and name hashes. Tables are encrypted as whole little-endian words with the key
// of their name ("(hash table)", "(block table)"); a file's data with its file key, sector i with
// key + i and its sector offset table with key - 1. Bytes after the last whole word stay plain.
// Example: MpqHashString("(hash table)", 3) == 0xC3AF3770.
#include <cstdint>
#include <span>
#include <string>

// The cipher one word at a time, for data that arrives in pieces: each call advances the key
// stream by one word. Example: MpqCipher cipher(key); plain = cipher.Decrypt(word) for each word.
class MpqCipher {
public:
    explicit MpqCipher(std::uint32_t key) : m_key(key) {}
    std::uint32_t Decrypt(std::uint32_t word);
    std::uint32_t Encrypt(std::uint32_t word);

private:
    // The key stream depends on the plain text.
    std::uint32_t Step(std::uint32_t in, bool encrypt);
    std::uint32_t m_key;
    std::uint32_t m_seed = 0xEEEEEEEE;
};

// The cipher's key-mixing word for a key's low byte: recovering a key from a known plain word
// needs it.
std::uint32_t MpqKeyMix(std::uint8_t lowByte);

// In place, on whole words.
void MpqDecryptBlock(std::span<std::uint32_t> words, std::uint32_t key);
void MpqEncryptBlock(std::span<std::uint32_t> words, std::uint32_t key);

// In place, on bytes read as little-endian words; a tail shorter than a word is left as it is.
void MpqDecryptBytes(std::span<std::uint8_t> bytes, std::uint32_t key);
void MpqEncryptBytes(std::span<std::uint8_t> bytes, std::uint32_t key);

// The name hash (types: 0 table index, 1 name A, 2 name B, 3 file key); ASCII letters are taken
// as upper case and '/' as '\'.
std::uint32_t MpqHashString(const std::string& name, std::uint32_t hashType);

// An encrypted file's key: the hash of its name after the last '\' (or '/'), adjusted by the
// block's offset (relative to the MPQ header) and file size when the block has the fix-key flag.
std::uint32_t MpqFileKey(const std::string& name, std::uint32_t relativeOffset, std::uint32_t fileSize,
                         std::uint32_t flags);
