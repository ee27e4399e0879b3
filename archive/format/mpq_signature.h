#pragma once
// The weak signature: a "(signature)" file of 72 bytes stored plain (8 zero bytes, then a 512-bit
// RSA signature, PKCS #1 v1.5 over MD5, byte-reversed) made with Blizzard's published weak key.
// The digest covers the archive from its header (from offset 0 when the file starts with a
// Warcraft III map's 'HM3W' header) to the header's archive size, with the signature's own 72
// bytes taken as zeros. Writers re-sign after every change, or the game takes the archive for
// tampered. Example: after writing tables and header, SignWeakly(file, tables, signatureOffset).
#include "archive/format/mpq_reader.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace archive_io {
class File;
}

namespace mpq {

constexpr std::uint32_t kSignatureFileSize = 72;

// The absolute offset of the archive's (signature) data when it holds a weak signature (a neutral
// entry whose block is stored plain at 72 bytes); nullopt otherwise.
std::optional<std::uint64_t> WeakSignatureOffset(const ArchiveTables& tables);

// Computes the signature of the archive as it is on disk, its MPQ header taken as `header` when
// given (a writer signs before it writes the header), and writes it into the 72 bytes at
// signatureOffset. False when the file cannot be read or written.
bool SignWeakly(archive_io::File& file, const ArchiveTables& tables, std::uint64_t signatureOffset,
                std::span<const std::uint8_t> header = {});

// The 72 bytes SignWeakly would write there; nullopt when the file cannot be read.
std::optional<std::array<std::uint8_t, kSignatureFileSize>> WeakSignatureOf(archive_io::File& file,
                                                                            const ArchiveTables& tables,
                                                                            std::uint64_t signatureOffset,
                                                                            std::span<const std::uint8_t> header = {});

// True when the archive's weak signature matches its bytes.
bool WeakSignatureIsValid(archive_io::File& file, const ArchiveTables& tables);

} // namespace mpq
