#include "testkit/hostile_archives.h"

#include "archive/door/mpq_layout.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testkit {

namespace {

static_assert(std::endian::native == std::endian::little, "the tables are copied as they lie in the file");
constexpr std::uint32_t kHashTableKey = 0xC3AF3770;
constexpr std::uint32_t kBlockTableKey = 0xEC83B3A3;
const std::string kStrings = "UI\\FrameDef\\GlobalStrings.fdf";
const std::string kSkins = "UI\\war3skins.txt";

std::vector<std::uint32_t> Words(const std::vector<std::uint8_t>& bytes, std::size_t at, std::size_t count) {
    if (at > bytes.size() || count * 4 > bytes.size() - at)
        throw std::runtime_error("read past the archive's end");
    std::vector<std::uint32_t> words(count);
    std::memcpy(words.data(), bytes.data() + at, count * 4);
    return words;
}

void PutWords(std::vector<std::uint8_t>& bytes, std::size_t at, const std::vector<std::uint32_t>& words) {
    if (at > bytes.size() || words.size() * 4 > bytes.size() - at)
        throw std::runtime_error("write past the archive's end");
    std::memcpy(bytes.data() + at, words.data(), words.size() * 4);
}

// Lines of a game text file, long enough for several 4 KiB sectors and compressible as text is.
std::vector<std::uint8_t> TextLines(std::string text, const std::string& line, int count, const std::string& tail) {
    for (int i = 0; i < count; ++i)
        text += line + std::to_string(i) + "\",\r\n";
    text += tail;
    return {text.begin(), text.end()};
}

void Save(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::error_code error;
    fs::remove(path, error); // a new file, never a write through another name
    WriteFile(path, bytes);
}

// The base archive with war3skins.txt stored with sector checksums (the builder's are checked
// against StormLib's reading in the format tests).
std::vector<std::uint8_t> WithSkinChecksums() {
    TempDir dir;
    const fs::path path = dir / "crc.mpq";
    std::vector<MpqBuilderFile> files = HostileBaseFiles();
    files[1].sectorCrc = true;
    BuildArchive(path, files, 1);
    return ReadBytes(path);
}

// The hash table starts past the copied archive and fills 2 GiB of holes; the block table follows
// it. Nothing but the two ends is written, so the file takes no space on disk.
void MakeSparseHugeHashTable(const fs::path& path) {
    ArchiveEditor editor(EditedBaseArchive(0, [](ArchiveEditor&) {}));
    const auto blockTable = editor.bytes.begin() + editor.Word(20);
    const std::vector<std::uint8_t> blocks(blockTable, blockTable + editor.Word(28) * 16);
    const auto hashTablePos = static_cast<std::uint32_t>(editor.bytes.size());
    const std::uint32_t blockTablePos = hashTablePos + (1u << 27) * 16;
    editor.SetWord(8, static_cast<std::uint32_t>(blockTablePos + blocks.size()));
    editor.SetWord(16, hashTablePos);
    editor.SetWord(20, blockTablePos);
    editor.SetWord(24, 1u << 27);
    Save(path, editor.bytes);
    fs::resize_file(path, blockTablePos);
    std::ofstream(path, std::ios::binary | std::ios::app)
        .write(reinterpret_cast<const char*>(blocks.data()), static_cast<std::streamsize>(blocks.size()));
    if (fs::file_size(path) != blockTablePos + blocks.size())
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
    std::vector<HostileShape> shapes;
    for (int i = 0; i <= static_cast<int>(HostileShape::SparseHugeHashTable); ++i)
        shapes.push_back(static_cast<HostileShape>(i));
    return shapes;
}

const char* HostileShapeName(HostileShape shape) {
    static const char* const names[] = {"ArchiveSizeDisagrees",      "HuffmanSector",  "PatchFlagOnAttributes",
                                        "SectorOffsetsOutsideBlock", "HugeAttributes", "SparseHugeHashTable"};
    return names[static_cast<int>(shape)];
}

void MakeHostileArchive(HostileShape shape, const fs::path& path) {
    switch (shape) {
    case HostileShape::ArchiveSizeDisagrees:
        return Save(path, EditedBaseArchive(1, [](ArchiveEditor& e) {
                        e.bytes.resize(e.bytes.size() + 100, 0);
                        e.SetWord(8, static_cast<std::uint32_t>(e.bytes.size()));
                    }));
    case HostileShape::HuffmanSector:
        // A Huffman mask byte, one of the decoder's weight tables, then bits that StormLib 9.22's
        // decoder follows off its tree (this seed's make it read through a stale pointer).
        return Save(path, EditedBaseArchive(0, [](ArchiveEditor& e) {
                        const std::vector<std::uint32_t> offsets = e.SectorOffsets(kStrings);
                        const auto first = e.bytes.begin() + e.BlockOf(kStrings).offset + offsets[0];
                        std::mt19937 random(10);
                        std::generate(first, first + (offsets[1] - offsets[0]), [&] { return random(); });
                        first[0] = 0x01;
                        first[1] = static_cast<std::uint8_t>(random() % 9);
                    }));
    case HostileShape::PatchFlagOnAttributes:
        return Save(path, EditedBaseArchive(1, [](ArchiveEditor& e) { e.BlockOf("(attributes)").flags |= 0x100000; }));
    case HostileShape::SectorOffsetsOutsideBlock: {
        // The last entry ends the sector checksums; moved past the block's end (still inside the
        // file) it makes them longer than the one word per sector StormLib loads them into.
        ArchiveEditor editor(WithSkinChecksums());
        std::vector<std::uint32_t> offsets = editor.SectorOffsets(kSkins);
        offsets.back() = editor.BlockOf(kSkins).compressedSize + 64;
        editor.SetSectorOffsets(kSkins, offsets);
        return Save(path, editor.Bytes());
    }
    case HostileShape::HugeAttributes:
        return Save(path,
                    EditedBaseArchive(1, [](ArchiveEditor& e) { e.BlockOf("(attributes)").fileSize = 0x7FFFFFF0; }));
    case HostileShape::SparseHugeHashTable:
        return MakeSparseHugeHashTable(path);
    }
    throw std::runtime_error("unknown hostile shape");
}

ArchiveEditor::ArchiveEditor(std::vector<std::uint8_t> archive) : bytes(std::move(archive)) {
    if (Word(0) != 0x1A51504D)
        throw std::runtime_error("no MPQ header at offset 0");
    std::vector<std::uint32_t> words = Words(bytes, Word(16), std::size_t{Word(24)} * 4);
    MpqDecryptBlock(words, kHashTableKey);
    hashes.resize(Word(24));
    std::memcpy(hashes.data(), words.data(), words.size() * 4);
    words = Words(bytes, Word(20), std::size_t{Word(28)} * 4);
    MpqDecryptBlock(words, kBlockTableKey);
    blocks.resize(Word(28));
    std::memcpy(blocks.data(), words.data(), words.size() * 4);
}

std::uint32_t ArchiveEditor::Word(std::size_t offset) const {
    return Words(bytes, offset, 1)[0];
}

void ArchiveEditor::SetWord(std::size_t offset, std::uint32_t value) {
    PutWords(bytes, offset, {value});
}

ArchiveEditor::Hash& ArchiveEditor::HashOf(const std::string& name) {
    for (Hash& hash : hashes) {
        if (hash.name1 == MpqHashString(name, 1) && hash.name2 == MpqHashString(name, 2))
            return hash;
    }
    throw std::runtime_error("no entry for " + name);
}

std::vector<std::uint32_t> ArchiveEditor::SectorOffsets(const std::string& name) {
    const Block& block = BlockOf(name);
    if ((block.flags & 0x01000000) != 0 || block.fileSize == 0)
        throw std::runtime_error(name + " has no sector offset table");
    // One entry per sector, one for the end, and with sector checksums one that ends them.
    const bool checksums = (block.flags & 0x04000000) != 0;
    return Words(bytes, block.offset, (block.fileSize - 1) / SectorSize() + (checksums ? 3 : 2));
}

void ArchiveEditor::SetSectorOffsets(const std::string& name, const std::vector<std::uint32_t>& offsets) {
    PutWords(bytes, BlockOf(name).offset, offsets);
}

std::vector<std::uint8_t> ArchiveEditor::Bytes() const {
    std::vector<std::uint8_t> result = bytes;
    std::vector<std::uint32_t> words(hashes.size() * 4);
    std::memcpy(words.data(), hashes.data(), words.size() * 4);
    MpqEncryptBlock(words, kHashTableKey);
    PutWords(result, Word(16), words);
    words.resize(blocks.size() * 4);
    std::memcpy(words.data(), blocks.data(), words.size() * 4);
    MpqEncryptBlock(words, kBlockTableKey);
    PutWords(result, Word(20), words);
    return result;
}

std::vector<std::uint8_t> EditedBaseArchive(int formatVersion, const std::function<void(ArchiveEditor&)>& edit) {
    TempDir dir;
    BuildArchive(dir / "base.mpq", HostileBaseFiles(), formatVersion);
    ArchiveEditor editor(ReadBytes(dir / "base.mpq"));
    edit(editor);
    return editor.Bytes();
}

} // namespace testkit
