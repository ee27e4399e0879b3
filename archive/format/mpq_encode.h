#pragma once
// Writing the MPQ format (formats 0 and 1, below 4 GiB), piece by piece, so that a writer can stream
// an archive to disk without holding it: the header, the two encrypted tables, hash slot placement,
// one file's stored block (sectors, sector offset table, sector checksums, encryption), and the
// contents of (listfile) and (attributes). Everything produced here is what StormLib 9.22 and our
// reader (archive/mpq_layout.h) accept; (attributes) is also decoded here, from untrusted bytes.
//
// Example, one file at relative offset 0x20 of a format-0 archive:
//   mpq::FileEncoder encoder({.fileSize = 5, .name = "war3skins.txt", .blockOffset = 0x20}, writeAfterTable);
//   encoder.Write(bytes); encoder.Finish();  // sectors went to writeAfterTable, in order
//   write encoder.Table() at 0x20, then BlockEntry{0x20, encoder.StoredSize(), 5, encoder.Flags()}.
#include "archive/format/mpq_format.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mpq {

// Sector sizes are 512 << shift; our reader accepts shifts up to this one (32 MiB sectors), and
// StormLib 9.22 refuses an archive whose shift is 0 (it takes it for "no sector size").
constexpr std::uint16_t kSmallestSectorSizeShift = 1;
constexpr std::uint16_t kLargestSectorSizeShift = 16;
constexpr std::uint16_t kDefaultSectorSizeShift = 3; // 4096 bytes, what the game's archives use
constexpr std::uint32_t kUserDataHeaderSize = 16;
constexpr std::uint32_t kHashEntrySize = 16;
constexpr std::uint32_t kBlockEntrySize = 16;

// ---------------------------------------------------------------------------------------------
// Header

struct HeaderFields {
    std::uint16_t formatVersion = 1; // 0 (32-byte header) or 1 (44 bytes, its 64-bit fields zero)
    std::uint16_t sectorSizeShift = kDefaultSectorSizeShift;
    std::uint32_t archiveSize = 0;      // from the header to the end of the block table
    std::uint32_t hashTableOffset = 0;  // relative to the header
    std::uint32_t blockTableOffset = 0; // relative to the header
    std::uint32_t hashTableEntries = 0;
    std::uint32_t blockTableEntries = 0;
};

// 32 or 44; 0 for any other format.
std::uint32_t HeaderSize(std::uint16_t formatVersion);
// The header's bytes; empty for a format other than 0 and 1.
std::vector<std::uint8_t> EncodeHeader(const HeaderFields& fields);

// An 'MPQ\x1B' user-data header announcing userDataSize bytes of user data after itself; the MPQ
// header then lies at UserDataHeaderDistance(userDataSize) from it, the first multiple of 512
// past the user data (496 -> 512, 512 -> 1024). The user data region stays zero.
std::uint32_t UserDataHeaderDistance(std::uint32_t userDataSize);
std::array<std::uint8_t, kUserDataHeaderSize> EncodeUserDataHeader(std::uint32_t userDataSize);

// ---------------------------------------------------------------------------------------------
// Tables

// The tables' on-disk bytes: little-endian words encrypted with kHashTableKey / kBlockTableKey.
std::vector<std::uint8_t> EncodeHashTable(std::span<const HashEntry> entries);
std::vector<std::uint8_t> EncodeBlockTable(std::span<const BlockEntry> entries);

// The smallest power of two holding `entries`, at least 4; 0 past 2^31.
std::uint32_t HashTableSizeFor(std::uint64_t entries);

// Puts (name, locale, platform 0, blockIndex) in the first free or deleted slot of the probe chain
// that starts at MpqHashString(name, 0) & (size - 1). Returns the slot, or nullopt when the table
// is full, its size is not a power of two, or the chain already holds the name with that locale
// (the caller replaces that entry's block instead of adding a second entry readers never reach).
std::optional<std::uint32_t> InsertHashEntry(std::span<HashEntry> table, const std::string& name, std::uint16_t locale,
                                             std::uint32_t blockIndex);
// The slot holding (name, locale), found as readers find it: along the same chain, past deleted
// slots, stopping at a free one or after a full turn.
std::optional<std::uint32_t> FindHashEntry(std::span<const HashEntry> table, const std::string& name,
                                           std::uint16_t locale);

// ---------------------------------------------------------------------------------------------
// One file's stored block

struct FileEncoding {
    std::uint32_t fileSize = 0; // the plain size, known before the first byte (sector count, fix key)
    std::uint16_t sectorSizeShift = kDefaultSectorSizeShift;
    bool compress = true;    // each unit deflated (zlib, mask byte 0x02) when that makes it smaller
    bool singleUnit = false; // the whole file as one unit, no sector offset table
    bool sectorCrc = false;  // Adler-32 per stored sector; only compressed sectored files carry them
    bool encrypt = false;
    bool fixKey = false;           // with encrypt: the key depends on blockOffset and fileSize too
    std::string name = {};         // the stored name; its part after the last '\' or '/' gives the key
    std::uint32_t blockOffset = 0; // where the block starts, relative to the MPQ header
};

// Turns a file's plain bytes, given in pieces of any size, into its stored block. Holds one unit
// (a sector, or the whole file when single-unit) and the sector offset table, never more.
//
// Layout of the block: [sector offset table: TableSize() bytes][units, in order][sector checksums].
// Everything after the table goes to the sink as it is produced; the table, only known at the end,
// is Table() after Finish(), for the caller to write at the block's start. A sink returning false
// stops the encoder.
//
// As StormLib writes and reads it: a unit stored at its plain size is raw, else it is the mask
// byte and a zlib stream; the sector checksums are Adler-32 (started from 0, as StormLib calls
// zlib's adler32) of each stored sector before encryption, one little-endian word per sector,
// themselves compressed the same way and never encrypted; encryption uses the file key (mpq_crypto.h)
// plus the sector index for sector i and minus one for the offset table. An empty file stores
// nothing and has no table.
class FileEncoder {
public:
    using Sink = std::function<bool(std::span<const std::uint8_t>)>;

    FileEncoder(const FileEncoding& encoding, Sink sink);
    ~FileEncoder();
    FileEncoder(const FileEncoder&) = delete;
    FileEncoder& operator=(const FileEncoder&) = delete;

    // The block's flags (kFileExists and what was asked for and applies: no sector checksums on
    // a single-unit, uncompressed or empty file, no fix key without encryption).
    std::uint32_t Flags() const;
    // Bytes the caller leaves at the block's start for the sector offset table (0 when none).
    std::uint32_t TableSize() const;

    // False when the encoder has failed (Failure() says why), more than fileSize bytes are given,
    // or the sink refused.
    bool Write(std::span<const std::uint8_t> bytes);
    // False when fewer than fileSize bytes were given or anything failed. Then Table() and
    // StoredSize() hold the result.
    bool Finish();
    std::span<const std::uint8_t> Table() const;
    std::uint32_t StoredSize() const; // table, units and checksums
    const std::string& Failure() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// ---------------------------------------------------------------------------------------------
// (listfile)

// (listfile), (attributes) and (signature): kept out of (listfile), as StormLib does.
bool IsInternalFileName(const std::string& name);

// The names one per line, each ended by CR LF, sorted and made unique without regard to ASCII case
// (StormLib's order, strcasecmp's; its reader splits on CR and LF alike), internal names left out.
// Example: {"b.txt", "A.txt", "a.TXT"} -> "A.txt\r\nb.txt\r\n" (the first of equal names stays).
std::vector<std::uint8_t> EncodeListfile(std::span<const std::string> names);

// (listfile)'s names as readers split them, on CR, LF, ';' and NUL, from bytes given in pieces of
// any size; a line longer than kMaxListedName is no stored file's name and is skipped. Holds one
// line at a time. Example: Feed("a.txt\r\nb", f); Feed(".txt", f); Finish(f) calls f("a.txt"),
// f("b.txt").
class ListfileSplitter {
public:
    static constexpr std::size_t kMaxListedName = 1024;
    using NameSink = std::function<void(const std::string&)>;

    void Feed(std::span<const std::uint8_t> bytes, const NameSink& sink);
    void Finish(const NameSink& sink);

private:
    std::string m_line;
    bool m_overlong = false;
};

// ---------------------------------------------------------------------------------------------
// (attributes)

// The file's contents by arrays, one entry per block-table entry; each array is present (with
// entryCount values) exactly when its flag is set.
struct Attributes {
    std::uint32_t flags = 0; // kAttributeCrc32 | kAttributeFileTime | kAttributeMd5, kAttributePatchBit decoded only
    std::uint32_t entryCount = 0;
    std::vector<std::uint32_t> crc32;
    std::vector<std::uint64_t> fileTimes; // FILETIME: 100 ns units since 1601
    std::vector<std::array<std::uint8_t, 16>> md5;
    std::vector<bool> patch;
};

// Version 100, the flags, then the arrays. Nullopt when flags has a bit other than CRC32, file time
// and MD5, or an array's size is not entryCount. The block count a writer gives includes the
// (attributes) block itself, whose entry StormLib leaves zero (its CRC and MD5 then go unchecked).
std::optional<std::vector<std::uint8_t>> EncodeAttributes(const Attributes& attributes);

// Untrusted bytes against the archive's block count, as StormLib 9.22 loads them: version 100,
// no flag beyond the four known, and a size that is one of the four StormLib accepts (every
// block, every block but the last, the patch bits missing, or patch words instead of bits). The
// patch bits are read only where StormLib reads them. Anything else is refused with a reason.
struct AttributesDecoding {
    std::optional<Attributes> attributes;
    std::string refusal;
};
AttributesDecoding DecodeAttributes(std::span<const std::uint8_t> bytes, std::uint32_t blockCount);

// ---------------------------------------------------------------------------------------------
// Checksums of plain file data

// CRC-32 (zlib's) and MD5 (libtomcrypt's) of everything given to Update, in pieces of any size.
class PlainDigest {
public:
    PlainDigest();
    ~PlainDigest();
    PlainDigest(PlainDigest&&) noexcept;
    PlainDigest& operator=(PlainDigest&&) noexcept;

    void Update(std::span<const std::uint8_t> bytes);
    std::uint32_t Crc32() const;
    std::array<std::uint8_t, 16> Md5() const; // of the bytes so far; Update may go on

private:
    struct Md5State;
    std::uint32_t m_crc32;
    std::unique_ptr<Md5State> m_md5;
};

} // namespace mpq
