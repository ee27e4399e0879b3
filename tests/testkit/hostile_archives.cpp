#include "testkit/hostile_archives.h"

#include "archive/mpq_layout.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <StormLib.h>

#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace testkit {

namespace {

constexpr std::uint32_t kHashTableKey = 0xC3AF3770;
constexpr std::uint32_t kBlockTableKey = 0xEC83B3A3;
constexpr std::uint32_t kEncrypted = 0x00010000;
constexpr std::uint32_t kFixKey = 0x00020000;
constexpr std::uint32_t kPatchFile = 0x00100000;
constexpr std::uint32_t kSingleUnit = 0x01000000;
constexpr std::uint32_t kSectorCrc = 0x04000000;

std::uint32_t Le32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    if (at + 4 > bytes.size())
        throw std::runtime_error("read past the archive's end");
    return static_cast<std::uint32_t>(bytes[at]) | (static_cast<std::uint32_t>(bytes[at + 1]) << 8) |
           (static_cast<std::uint32_t>(bytes[at + 2]) << 16) | (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

void PutLe32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    if (at + 4 > bytes.size())
        throw std::runtime_error("write past the archive's end");
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::vector<std::uint32_t> ReadWords(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t count) {
    std::vector<std::uint32_t> words(count);
    for (std::size_t i = 0; i < count; ++i)
        words[i] = Le32(bytes, at + i * 4);
    return words;
}

void WriteWords(std::vector<std::uint8_t>& bytes, std::size_t at, const std::vector<std::uint32_t>& words) {
    for (std::size_t i = 0; i < words.size(); ++i)
        PutLe32(bytes, at + i * 4, words[i]);
}

// Lines of a game text file, long enough for several 4 KiB sectors and compressible as text is.
std::vector<std::uint8_t> TextLines(const std::string& head, const std::string& line, int count,
                                    const std::string& tail) {
    std::string text = head;
    for (int i = 0; i < count; ++i)
        text += line + std::to_string(i) + "\",\r\n";
    text += tail;
    return {text.begin(), text.end()};
}

std::vector<std::uint8_t> BaseArchive(int formatVersion) {
    TempDir dir;
    BuildArchive(dir / "base.mpq", HostileBaseFiles(), formatVersion);
    return ReadBytes(dir / "base.mpq");
}

// The archive with one file stored again with sector checksums (the builder writes none), through
// StormLib itself.
std::vector<std::uint8_t> WithSectorChecksums(const std::vector<std::uint8_t>& archive, const std::string& name) {
    TempDir dir;
    const fs::path path = dir / "crc.mpq";
    WriteFile(path, archive);
    std::vector<std::uint8_t> content;
    for (const MpqBuilderFile& file : HostileBaseFiles()) {
        if (std::string(file.address.begin(), file.address.end()) == name)
            content = file.content;
    }
    HANDLE handle = nullptr;
    if (content.empty() || !SFileOpenArchive(path.c_str(), 0, 0, &handle))
        throw std::runtime_error("cannot reopen the base archive");
    HANDLE file = nullptr;
    bool ok = SFileCreateFile(handle, name.c_str(), 0, static_cast<DWORD>(content.size()), 0,
                              MPQ_FILE_COMPRESS | MPQ_FILE_SECTOR_CRC | MPQ_FILE_REPLACEEXISTING, &file);
    ok = ok && SFileWriteFile(file, content.data(), static_cast<DWORD>(content.size()), MPQ_COMPRESSION_ZLIB);
    if (file != nullptr && !SFileFinishFile(file))
        ok = false;
    if (!SFileCloseArchive(handle) || !ok)
        throw std::runtime_error("cannot store " + name + " with sector checksums");
    return ReadBytes(path);
}

void Save(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::error_code error;
    fs::remove(path, error);
    WriteFile(path, bytes);
}

// A Huffman mask byte, then pseudo-random bits that StormLib 9.22's Huffman decoder follows off
// its tree (this seed's bytes make it read through a stale pointer).
std::vector<std::uint8_t> HuffmanGarbage(std::size_t size) {
    std::mt19937 random(10);
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& byte : bytes)
        byte = static_cast<std::uint8_t>(random());
    bytes[0] = 0x01;                                    // Huffman
    bytes[1] = static_cast<std::uint8_t>(random() % 9); // one of the decoder's weight tables
    return bytes;
}

void MakeSparseHugeHashTable(const fs::path& path) {
    ArchiveEditor base(BaseArchive(0));
    std::vector<std::uint8_t> bytes = base.Bytes();
    const std::uint32_t blockTablePos = base.HeaderWord(20);
    const std::uint32_t blockCount = base.HeaderWord(28);
    const std::vector<std::uint8_t> blockTable(bytes.begin() + blockTablePos,
                                               bytes.begin() + blockTablePos + blockCount * 16);
    // The hash table starts past the copied archive and fills 2 GiB of holes; the block table
    // follows it. Nothing but the two ends is written, so the file takes no space on disk.
    const auto hashTablePos = static_cast<std::uint32_t>(bytes.size());
    const std::uint32_t hashEntries = 1u << 27;
    const std::uint64_t newBlockTablePos = hashTablePos + static_cast<std::uint64_t>(hashEntries) * 16;
    const std::uint64_t fileSize = newBlockTablePos + blockTable.size();
    PutLe32(bytes, 8, static_cast<std::uint32_t>(fileSize));
    PutLe32(bytes, 16, hashTablePos);
    PutLe32(bytes, 20, static_cast<std::uint32_t>(newBlockTablePos));
    PutLe32(bytes, 24, hashEntries);

    std::error_code error;
    fs::remove(path, error);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.seekp(static_cast<std::streamoff>(newBlockTablePos));
    out.write(reinterpret_cast<const char*>(blockTable.data()), static_cast<std::streamsize>(blockTable.size()));
    out.close();
    if (!out || fs::file_size(path, error) != fileSize)
        throw std::runtime_error("cannot write " + path.string());
}

} // namespace

std::vector<MpqBuilderFile> HostileBaseFiles() {
    return {
        {u"UI\\FrameDef\\GlobalStrings.fdf", TextLines("StringList {\r\nGAMENAME \"%s's game\",\r\n",
                                                       "    HOSTILE_STRING_ID \"Game text number ", 400, "}\r\n")},
        {u"UI\\war3skins.txt",
         TextLines("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.mdl\r\n", "Skin=\"UI\\Widgets\\Skin", 300, "")},
        {u"Fonts\\dfst-m3u.ttf", PatternBytes(20000, 11)},
        {u"Sound\\Music\\mp3Music\\Mainscreen.mp3", PatternBytes(30000, 7, false)},
    };
}

std::vector<std::uint8_t> FileFingerprint(const fs::path& path) {
    const std::uintmax_t size = fs::file_size(path);
    if (size <= (64u << 20))
        return ReadBytes(path);
    constexpr std::size_t edge = 1u << 20;
    std::vector<std::uint8_t> print(2 * edge);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(print.data()), edge);
    in.seekg(static_cast<std::streamoff>(size - edge));
    in.read(reinterpret_cast<char*>(print.data() + edge), edge);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    for (int i = 0; i < 8; ++i)
        print.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    return print;
}

std::vector<HostileShape> AllHostileShapes() {
    return {HostileShape::ArchiveSizeDisagrees,      HostileShape::HuffmanSector,  HostileShape::PatchFlagOnAttributes,
            HostileShape::SectorOffsetsOutsideBlock, HostileShape::HugeAttributes, HostileShape::SparseHugeHashTable};
}

const char* HostileShapeName(HostileShape shape) {
    switch (shape) {
    case HostileShape::ArchiveSizeDisagrees:
        return "ArchiveSizeDisagrees";
    case HostileShape::HuffmanSector:
        return "HuffmanSector";
    case HostileShape::PatchFlagOnAttributes:
        return "PatchFlagOnAttributes";
    case HostileShape::SectorOffsetsOutsideBlock:
        return "SectorOffsetsOutsideBlock";
    case HostileShape::HugeAttributes:
        return "HugeAttributes";
    case HostileShape::SparseHugeHashTable:
        return "SparseHugeHashTable";
    }
    return "Unknown";
}

void MakeHostileArchive(HostileShape shape, const fs::path& path) {
    switch (shape) {
    case HostileShape::ArchiveSizeDisagrees: {
        std::vector<std::uint8_t> bytes = BaseArchive(1);
        bytes.resize(bytes.size() + 100, 0);
        PutLe32(bytes, 8, static_cast<std::uint32_t>(bytes.size()));
        Save(path, bytes);
        return;
    }
    case HostileShape::HuffmanSector: {
        const std::string name = "UI\\FrameDef\\GlobalStrings.fdf";
        ArchiveEditor editor(BaseArchive(0));
        const ArchiveEditor::Block block = editor.blocks()[editor.BlockOf(name)];
        const std::vector<std::uint32_t> offsets = editor.SectorOffsets(name);
        editor.Overwrite(block.offset + offsets[0], HuffmanGarbage(offsets[1] - offsets[0]));
        Save(path, editor.Bytes());
        return;
    }
    case HostileShape::PatchFlagOnAttributes: {
        ArchiveEditor editor(BaseArchive(1));
        editor.blocks()[editor.BlockOf("(attributes)")].flags |= kPatchFile;
        Save(path, editor.Bytes());
        return;
    }
    case HostileShape::SectorOffsetsOutsideBlock: {
        const std::string name = "UI\\war3skins.txt";
        ArchiveEditor editor(WithSectorChecksums(BaseArchive(1), name));
        const ArchiveEditor::Block block = editor.blocks()[editor.BlockOf(name)];
        std::vector<std::uint32_t> offsets = editor.SectorOffsets(name);
        // The last entry ends the sector checksums; moved past the block's end (still inside the
        // file) it makes them longer than the one word per sector StormLib loads them into.
        offsets.back() = block.compressedSize + 64;
        editor.SetSectorOffsets(name, offsets);
        Save(path, editor.Bytes());
        return;
    }
    case HostileShape::HugeAttributes: {
        ArchiveEditor editor(BaseArchive(1));
        editor.blocks()[editor.BlockOf("(attributes)")].fileSize = 0x7FFFFFF0;
        Save(path, editor.Bytes());
        return;
    }
    case HostileShape::SparseHugeHashTable:
        MakeSparseHugeHashTable(path);
        return;
    }
    throw std::runtime_error("unknown hostile shape");
}

ArchiveEditor::ArchiveEditor(std::vector<std::uint8_t> bytes) : m_bytes(std::move(bytes)) {
    if (Le32(m_bytes, 0) != 0x1A51504D)
        throw std::runtime_error("no MPQ header at offset 0");
    m_hashTablePos = HeaderWord(16);
    m_blockTablePos = HeaderWord(20);
    std::vector<std::uint32_t> hashWords = ReadWords(m_bytes, m_hashTablePos, std::size_t{HeaderWord(24)} * 4);
    std::vector<std::uint32_t> blockWords = ReadWords(m_bytes, m_blockTablePos, std::size_t{HeaderWord(28)} * 4);
    MpqDecryptBlock(hashWords, kHashTableKey);
    MpqDecryptBlock(blockWords, kBlockTableKey);
    for (std::size_t i = 0; i < hashWords.size(); i += 4)
        m_hashes.push_back({hashWords[i], hashWords[i + 1], hashWords[i + 2], hashWords[i + 3]});
    for (std::size_t i = 0; i < blockWords.size(); i += 4)
        m_blocks.push_back({blockWords[i], blockWords[i + 1], blockWords[i + 2], blockWords[i + 3]});
}

std::uint32_t ArchiveEditor::HeaderWord(std::size_t offset) const {
    return Le32(m_bytes, offset);
}

void ArchiveEditor::SetHeaderWord(std::size_t offset, std::uint32_t value) {
    PutLe32(m_bytes, offset, value);
}

std::uint32_t ArchiveEditor::SectorSize() const {
    return 0x200u << (HeaderWord(12) >> 16);
}

std::size_t ArchiveEditor::BlockOf(const std::string& name) const {
    const std::uint32_t name1 = MpqHashString(name, 1);
    const std::uint32_t name2 = MpqHashString(name, 2);
    for (const Hash& hash : m_hashes) {
        if (hash.name1 == name1 && hash.name2 == name2 && hash.blockIndex < m_blocks.size())
            return hash.blockIndex;
    }
    throw std::runtime_error("no entry for " + name);
}

std::uint32_t ArchiveEditor::FileKey(const std::string& name, const Block& block) const {
    const std::size_t slash = name.find_last_of('\\');
    std::uint32_t key = MpqHashString(slash == std::string::npos ? name : name.substr(slash + 1), 3);
    if ((block.flags & kFixKey) != 0)
        key = (key + block.offset) ^ block.fileSize;
    return key;
}

std::vector<std::uint32_t> ArchiveEditor::SectorOffsets(const std::string& name) const {
    const Block& block = m_blocks[BlockOf(name)];
    if ((block.flags & kSingleUnit) != 0 || block.fileSize == 0)
        throw std::runtime_error(name + " has no sector offset table");
    // One entry per sector and one for the end, and one more that ends the sector checksums.
    const std::size_t entries = (block.fileSize - 1) / SectorSize() + 2 + ((block.flags & kSectorCrc) != 0 ? 1 : 0);
    std::vector<std::uint32_t> offsets = ReadWords(m_bytes, block.offset, entries);
    if ((block.flags & kEncrypted) != 0)
        MpqDecryptBlock(offsets, FileKey(name, block) - 1);
    return offsets;
}

void ArchiveEditor::SetSectorOffsets(const std::string& name, std::vector<std::uint32_t> offsets) {
    const Block& block = m_blocks[BlockOf(name)];
    if ((block.flags & kEncrypted) != 0)
        MpqEncryptBlock(offsets, FileKey(name, block) - 1);
    WriteWords(m_bytes, block.offset, offsets);
}

void ArchiveEditor::Overwrite(std::uint32_t offset, const std::vector<std::uint8_t>& bytes) {
    if (offset + bytes.size() > m_bytes.size())
        throw std::runtime_error("overwrite past the archive's end");
    std::copy(bytes.begin(), bytes.end(), m_bytes.begin() + offset);
}

std::vector<std::uint8_t> ArchiveEditor::Bytes() const {
    std::vector<std::uint8_t> bytes = m_bytes;
    std::vector<std::uint32_t> hashWords;
    for (const Hash& hash : m_hashes)
        hashWords.insert(hashWords.end(), {hash.name1, hash.name2, hash.locale, hash.blockIndex});
    std::vector<std::uint32_t> blockWords;
    for (const Block& block : m_blocks)
        blockWords.insert(blockWords.end(), {block.offset, block.compressedSize, block.fileSize, block.flags});
    MpqEncryptBlock(hashWords, kHashTableKey);
    MpqEncryptBlock(blockWords, kBlockTableKey);
    WriteWords(bytes, m_hashTablePos, hashWords);
    WriteWords(bytes, m_blockTablePos, blockWords);
    return bytes;
}

} // namespace testkit
