#pragma once
// Our reading of an MPQ archive: the header and both tables, checked against the bytes really there
// before anything is allocated, and each file's data, decoded one sector at a time.
//
// ReadArchiveTables refuses what a game archive never is:
//   - no 'MPQ\x1A' header at offset 0 or at a multiple of 512 (after an optional 'MPQ\x1B' user
//     data header, followed once), or, with headerAtStart, none at offset 0;
//   - a format other than 0 or 1, a header size other than that format's (32 or 44), 64-bit
//     extensions in use, a sector size shift over 16, an archive over 4 GiB;
//   - a hash table size that is not a power of two, tables over 2^20 entries or outside the file,
//     and in format 1 a hash table not directly followed by a block table that ends the archive;
//   - a hash entry in use that names a block past the block table or is for another platform;
//   - an existing or named block with a flag game archives do not use (patch file, delete marker,
//     unknown bits), data outside the file, or a size more than 2048 times its stored size.
// FileReader then refuses, for the one file it reads: a sector table that is not ascending inside
// the block from its own end, a packed single unit stored longer than its data, a compression
// other than zlib, bzip2 and PKWARE implode (each named in the refusal), a unit that does not
// decode to exactly its size, and a sector whose checksum is present and wrong. A sector stored at
// least as long as its data is taken plain, as Storm takes it.
// Example: tables = ReadArchiveTables(file, false, &why); FindGameEntry(*tables, "UI\\war3skins.txt").
#include "archive/format/mpq_format.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace archive_io {
class File;
}

namespace mpq {

enum class ReadError : std::uint8_t {
    None,
    Io,             // the file could not be read
    NoHeader,       // no MPQ header where one may be
    BadHeader,      // a format, header size or sector size game archives do not have
    BadTables,      // tables of an impossible size or outside the file
    BadHashEntry,   // a hash entry naming a block past the table, or for another platform
    BadBlock,       // a block with unknown flags, outside the file or of an impossible size
    NotFound,       // no such file
    BadSectorTable, // a sector offset table that does not fit its block
    Huffman,        // compressions the game's data files do not use
    Adpcm,
    Sparse,
    Lzma,
    UnknownCompression,
    CorruptData,      // a unit that does not decode to exactly its size
    ChecksumMismatch, // a sector whose stored checksum does not match
    TooLarge,         // a single-unit file too large to decode at once
};

// A short stable English text, e.g. ReadError::Lzma -> "LZMA compression is not supported".
const char* ReadErrorText(ReadError error);

struct ArchiveTables {
    std::uint64_t fileSize = 0;
    std::uint64_t headerOffset = 0; // absolute offset of 'MPQ\x1A'
    std::uint32_t headerSize = 0;
    std::uint16_t formatVersion = 0;
    std::uint16_t sectorShift = 0;
    std::uint32_t archiveSize = 0;   // as the header says
    std::uint32_t hashTablePos = 0;  // relative to the header
    std::uint32_t blockTablePos = 0; // relative to the header
    std::vector<HashEntry> hashes;   // the whole table, free and deleted slots included
    std::vector<BlockEntry> blocks;  // the whole table

    std::uint32_t SectorSize() const { return 0x200u << sectorShift; }
    std::uint64_t Absolute(std::uint32_t relative) const { return headerOffset + relative; }
};

// Nullopt with *why set when the archive is refused; never throws.
std::optional<ArchiveTables> ReadArchiveTables(archive_io::File& file, bool headerAtStart, ReadError* why = nullptr);

// Every hash slot on name's probe chain that holds name (any locale), in chain order. The chain
// starts at the name's table index and ends at the first never-used slot or after a full turn;
// deleted slots are passed through. The writer probes the same way.
std::vector<std::uint32_t> FindNameEntries(const ArchiveTables& tables, const std::string& name);

// The entry of exactly that locale a reader takes when the chain holds several: for the neutral
// locale the last on the chain, for any other the first, as the game's Storm picks them. Only
// entries whose block exists count.
std::optional<std::uint32_t> FindEntry(const ArchiveTables& tables, const std::string& name, std::uint16_t locale);

// The entry the game on a Chinese system reads: Simplified Chinese (0x804), else neutral, else the
// lowest other locale, each as FindEntry picks it.
std::optional<std::uint32_t> FindGameEntry(const ArchiveTables& tables, const std::string& name);

// One file's bytes, read in order. It holds at most one sector (or, for a packed single-unit file,
// the unit, which kMaxSingleUnit bounds) besides the sector table.
class FileReader {
public:
    // A packed or encrypted single-unit file larger than this is refused (TooLarge): it is decoded
    // whole. No game file the program edits comes near it.
    static constexpr std::uint32_t kMaxSingleUnit = 64u << 20;

    // Null with *why set when the entry's block is missing or its sector table is refused.
    static std::unique_ptr<FileReader> Open(archive_io::File& file, const ArchiveTables& tables,
                                            std::uint32_t hashIndex, const std::string& name, ReadError* why = nullptr);
    ~FileReader();

    std::uint32_t Size() const;
    std::uint16_t Locale() const;
    std::uint64_t Position() const;
    // The next out.size() bytes; false with *why set when they are past the end or do not decode.
    bool Read(std::span<std::uint8_t> out, ReadError* why = nullptr);

private:
    struct State;
    explicit FileReader(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

// Decodes one stored unit (a sector, a single unit or a sector checksum table) of a block with the
// given flags into exactly out.size() bytes. stored may be changed (used as scratch).
ReadError DecodeUnit(std::span<std::uint8_t> stored, std::span<std::uint8_t> out, std::uint32_t blockFlags,
                     std::uint16_t formatVersion);

} // namespace mpq
