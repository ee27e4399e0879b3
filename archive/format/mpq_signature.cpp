#include "archive/format/mpq_signature.h"

#include "archive/archive_file.h"
#include "archive/format/mpq_crypto.h"
#include "archive/format/tomcrypt_setup.h"

#include <tomcrypt.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <vector>

namespace mpq {

namespace {

constexpr std::uint32_t kWeakSignatureSize = 64;
constexpr std::size_t kDigestChunk = 1 << 16;

// Blizzard's weak signature key pair: published, and the same in every copy of the game, which is
// why the weak signature only tells an archive changed by a tool that does not re-sign.
constexpr const char* kWeakPrivateKey = "MIIBOQIBAAJBAJJidwS/uILMBSO5DLGsBFknIXWWjQJe2kfdfEk3G/j66w4KkhZ1"
                                        "V61Rt4zLaMVCYpDun7FLwRjkMDSepO1q2DcCAwEAAQJANtiztVDMJh2hE1hjPDKy"
                                        "UmEJ9U/aN3gomuKOjbQbQ/bWWcM/WfhSVHmPqtqh/bQI2UXFr0rnXngeteZHLr/b"
                                        "8QIhAMuWriSKGMACw18/rVVfUrThs915odKBH1Alr3vMVVzZAiEAuBHPSQkgwcb6"
                                        "L4MWaiKuOzq08mSyNqPeN8oSy18q848CIHeMn+3s+eOmu7su1UYQl6yH7OrdBd1q"
                                        "3UxfFNEJiAbhAiAqxdCyOxHGlbM7aS3DOg3cq5ayoN2cvtV7h1R4t8OmVwIgF+5z"
                                        "/6vkzBUsZhd8Nwyis+MeQYH0rpFpMKdTlqmPF2Q=";

// Sets up libtomcrypt's math and the MD5 descriptor once; the hash's index, or -1.
int Md5Index() {
    static std::once_flag once;
    std::call_once(once, [] { PrepareTomcrypt(); });
    return find_hash("md5");
}

struct RsaKey {
    rsa_key key{};
    bool loaded = false;
    ~RsaKey() {
        if (loaded)
            rsa_free(&key);
    }
};

bool LoadWeakKey(RsaKey& rsa) {
    std::vector<unsigned char> der(1024);
    unsigned long length = static_cast<unsigned long>(der.size());
    const auto* text = reinterpret_cast<const unsigned char*>(kWeakPrivateKey);
    if (base64_decode(text, std::strlen(kWeakPrivateKey), der.data(), &length) != CRYPT_OK)
        return false;
    rsa.loaded = rsa_import(der.data(), length, &rsa.key) == CRYPT_OK;
    return rsa.loaded;
}

// Where the signed range begins: the MPQ header, or the start of a map whose 'HM3W' header
// precedes it.
std::optional<std::uint64_t> SignedBegin(archive_io::File& file, const ArchiveTables& tables) {
    std::array<std::uint8_t, 4> magic{};
    if (tables.headerOffset >= magic.size() && !file.ReadAt(0, magic))
        return std::nullopt;
    if (std::memcmp(magic.data(), "HM3W", 4) == 0)
        return 0;
    return tables.headerOffset;
}

std::optional<std::array<unsigned char, 16>> Digest(archive_io::File& file, const ArchiveTables& tables,
                                                    std::uint64_t signatureOffset,
                                                    std::span<const std::uint8_t> header = {}) {
    const std::optional<std::uint64_t> begin = SignedBegin(file, tables);
    const std::uint64_t end = tables.headerOffset + tables.archiveSize;
    if (!begin || end > tables.fileSize || Md5Index() < 0)
        return std::nullopt;
    hash_state state;
    md5_init(&state);
    std::vector<std::uint8_t> chunk(kDigestChunk);
    for (std::uint64_t at = *begin; at < end;) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), end - at));
        const std::span<std::uint8_t> piece(chunk.data(), count);
        if (!file.ReadAt(at, piece))
            return std::nullopt;
        // A header about to be written stands in for the one on disk.
        const std::uint64_t headerFrom = std::max(at, tables.headerOffset);
        const std::uint64_t headerTo = std::min(at + count, tables.headerOffset + header.size());
        for (std::uint64_t i = headerFrom; i < headerTo; ++i)
            piece[static_cast<std::size_t>(i - at)] = header[static_cast<std::size_t>(i - tables.headerOffset)];
        // The signature's own bytes are hashed as zeros.
        const std::uint64_t zeroFrom = std::max(at, signatureOffset);
        const std::uint64_t zeroTo = std::min(at + count, signatureOffset + kSignatureFileSize);
        if (zeroFrom < zeroTo)
            std::fill(piece.begin() + static_cast<std::ptrdiff_t>(zeroFrom - at),
                      piece.begin() + static_cast<std::ptrdiff_t>(zeroTo - at), 0);
        md5_process(&state, piece.data(), static_cast<unsigned long>(count));
        at += count;
    }
    std::array<unsigned char, 16> digest{};
    md5_done(&state, digest.data());
    return digest;
}

} // namespace

std::optional<std::uint64_t> WeakSignatureOffset(const ArchiveTables& tables) {
    for (const std::uint32_t index : FindNameEntries(tables, "(signature)")) {
        const HashEntry& hash = tables.hashes[index];
        const BlockEntry& block = tables.blocks[hash.blockIndex];
        if (hash.locale == kLocaleNeutral && block.Exists() && block.storedSize == kSignatureFileSize)
            return tables.Absolute(block.offset);
    }
    return std::nullopt;
}

std::optional<std::array<std::uint8_t, kSignatureFileSize>> WeakSignatureOf(archive_io::File& file,
                                                                            const ArchiveTables& tables,
                                                                            std::uint64_t signatureOffset,
                                                                            std::span<const std::uint8_t> header) {
    const std::optional<std::array<unsigned char, 16>> digest = Digest(file, tables, signatureOffset, header);
    RsaKey rsa;
    if (!digest || !LoadWeakKey(rsa))
        return std::nullopt;
    std::array<std::uint8_t, kSignatureFileSize> signature{};
    unsigned long length = kWeakSignatureSize;
    if (rsa_sign_hash_ex(digest->data(), digest->size(), signature.data() + 8, &length, LTC_PKCS_1_V1_5, nullptr, 0,
                         Md5Index(), 0, &rsa.key) != CRYPT_OK ||
        length != kWeakSignatureSize) {
        return std::nullopt;
    }
    // The game keeps the number little-endian.
    std::reverse(signature.begin() + 8, signature.end());
    return signature;
}

bool SignWeakly(archive_io::File& file, const ArchiveTables& tables, std::uint64_t signatureOffset,
                std::span<const std::uint8_t> header) {
    const auto signature = WeakSignatureOf(file, tables, signatureOffset, header);
    return signature && file.WriteAt(signatureOffset, *signature);
}

bool WeakSignatureIsValid(archive_io::File& file, const ArchiveTables& tables) {
    const std::optional<std::uint64_t> offset = WeakSignatureOffset(tables);
    if (!offset)
        return false;
    std::array<std::uint8_t, kSignatureFileSize> stored{};
    const std::optional<std::array<unsigned char, 16>> digest = Digest(file, tables, *offset);
    RsaKey rsa;
    if (!digest || !file.ReadAt(*offset, stored) || !LoadWeakKey(rsa))
        return false;
    std::reverse(stored.begin() + 8, stored.end());
    int valid = 0;
    return rsa_verify_hash_ex(stored.data() + 8, kWeakSignatureSize, digest->data(), digest->size(), LTC_PKCS_1_V1_5,
                              Md5Index(), 0, &valid, &rsa.key) == CRYPT_OK &&
           valid == 1;
}

} // namespace mpq
