// Our writer's results, judged by StormLib: every entry lists, extracts and verifies (sector
// checksums, CRC32, MD5), a weak signature stays valid, and smpq reads the edited file. Inputs are
// made by our builder and by StormLib itself.
#include "archive/archive_file.h"
#include "archive/format/mpq_builder.h"
#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_reader.h"
#include "archive/format/mpq_signature.h"
#include "archive/format/mpq_writer.h"
#include "archive/format/tomcrypt_setup.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <StormLib.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kSkins = "UI\\war3skins.txt";
const std::string kStrings = "UI\\FrameDef\\GlobalStrings.fdf";
const std::string kMusic = "Sound\\Music\\mp3Music\\Comradeship.mp3";

enum class Maker { Builder, StormLib };
enum class Edit { Replace, ReplaceLarger, Add, Remove, RemoveLocale };

struct WriterRow {
    const char* name;
    Maker maker;
    MpqBuilderOptions options;
    bool encrypted = false; // the game's files encrypted with the fix key
    bool sign = false;
    Edit edit = Edit::Replace;
    std::size_t trailing = 0; // bytes stored after the archive ('NGIS' first, as a strong signature)
};

void PrintTo(const WriterRow& row, std::ostream* out) {
    *out << row.name;
}

std::vector<MpqBuilderFile> GameFiles(bool encrypted) {
    std::vector<MpqBuilderFile> files = {
        {u"UI\\war3skins.txt", testkit::Bytes("[Human]\r\nCursor=UI\\Cursor\\HumanCursor.blp\r\n")},
        {u"UI\\FrameDef\\GlobalStrings.fdf", testkit::PatternBytes(30000, 7)},
        {u"UI\\FrameDef\\GlobalStrings.fdf", testkit::PatternBytes(12000, 8), true, 0x804},
        {u"Sound\\Music\\mp3Music\\Comradeship.mp3", testkit::PatternBytes(50000, 9, false)},
        {u"Fonts\\FRIZQT__.TTF", {}},
    };
    for (MpqBuilderFile& file : files) {
        file.encrypt = encrypted;
        file.fixKey = encrypted;
    }
    return files;
}

bool MakeWithStorm(const fs::path& path, const WriterRow& row) {
    SFILE_CREATE_MPQ create = {};
    create.cbSize = sizeof(create);
    create.dwMpqVersion = static_cast<DWORD>(row.options.formatVersion);
    create.dwFileFlags1 = MPQ_FILE_DEFAULT_INTERNAL;
    create.dwFileFlags2 = row.options.withAttributes ? MPQ_FILE_DEFAULT_INTERNAL : 0;
    create.dwAttrFlags = row.options.withAttributes ? row.options.attributeFlags : 0;
    create.dwSectorSize = 0x200u << row.options.sectorSizeShift;
    create.dwMaxFileCount = 16;
    HANDLE archive = nullptr;
    if (!SFileCreateArchive2(path.c_str(), &create, &archive))
        return false;
    bool ok = true;
    for (const MpqBuilderFile& file : GameFiles(row.encrypted)) {
        const std::string name(file.address.begin(), file.address.end());
        HANDLE handle = nullptr;
        const DWORD flags = MPQ_FILE_COMPRESS | (row.encrypted ? MPQ_FILE_ENCRYPTED | MPQ_FILE_FIX_KEY : 0);
        ok = ok && SFileCreateFile(archive, name.c_str(), 0, static_cast<DWORD>(file.content.size()), file.locale,
                                   flags | MPQ_FILE_REPLACEEXISTING, &handle);
        if (handle == nullptr)
            break;
        if (!file.content.empty())
            ok = ok && SFileWriteFile(handle, file.content.data(), static_cast<DWORD>(file.content.size()),
                                      MPQ_COMPRESSION_ZLIB);
        ok = SFileFinishFile(handle) && ok;
    }
    return SFileCloseArchive(archive) && ok;
}

// Every named entry of the archive as StormLib reads it, and whether each verifies.
struct StormView {
    bool opened = false;
    std::map<std::pair<std::string, LCID>, Bytes> files;
    std::vector<std::string> verifyErrors;
    DWORD signature = 0;
};

StormView ViewWithStorm(const fs::path& path) {
    StormView view;
    HANDLE archive = nullptr;
    view.opened = SFileOpenArchive(path.c_str(), 0, MPQ_OPEN_READ_ONLY, &archive);
    if (!view.opened)
        return view;
    SFILE_FIND_DATA found{};
    HANDLE find = SFileFindFirstFile(archive, "*", &found, nullptr);
    for (bool more = find != nullptr; more; more = SFileFindNextFile(find, &found)) {
        const std::optional<Bytes> bytes = testkit::StormReadEntry(archive, found.cFileName, found.lcLocale);
        if (bytes)
            view.files[{found.cFileName, found.lcLocale}] = *bytes;
        else
            view.verifyErrors.push_back(std::string("unreadable ") + found.cFileName);
        const LCID previous = SFileSetLocale(found.lcLocale);
        const DWORD result = SFileVerifyFile(archive, found.cFileName, SFILE_VERIFY_ALL);
        SFileSetLocale(previous);
        if ((result & VERIFY_FILE_ERROR_MASK) != 0)
            view.verifyErrors.push_back(std::string(found.cFileName) + " " + std::to_string(result));
    }
    if (find != nullptr)
        SFileFindClose(find);
    view.signature = SFileVerifyArchive(archive);
    SFileCloseArchive(archive);
    return view;
}

class WriterTest : public ::testing::TestWithParam<WriterRow> {};

TEST_P(WriterTest, StormLibReadsAndVerifiesEveryEntry) {
    const WriterRow& row = GetParam();
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    if (row.maker == Maker::Builder) {
        ASSERT_TRUE(CreateMpqArchive(path, GameFiles(row.encrypted), row.options).ok);
    } else {
        ASSERT_TRUE(MakeWithStorm(path, row));
    }
    if (row.sign) {
        ASSERT_TRUE(testkit::SignArchiveWeakly(path));
    }
    Bytes trailing;
    std::uint64_t trailingAt = 0;
    if (row.trailing != 0) {
        trailing = testkit::PatternBytes(row.trailing, 13, false);
        std::copy_n("NGIS", 4, trailing.begin());
        Bytes whole = testkit::ReadBytes(path);
        trailingAt = whole.size();
        whole.insert(whole.end(), trailing.begin(), trailing.end());
        testkit::WriteFile(path, whole);
    }
    StormView before = ViewWithStorm(path);
    ASSERT_TRUE(before.opened);
    ASSERT_TRUE(before.verifyErrors.empty());

    const Bytes content =
        row.edit == Edit::ReplaceLarger ? testkit::PatternBytes(70000, 11, false) : testkit::PatternBytes(5000, 12);
    const bool headerAtStart = row.options.userDataSize == 0;
    mpq::WriteError why = mpq::WriteError::None;
    {
        std::unique_ptr<mpq::ArchiveWriter> writer = mpq::ArchiveWriter::Open(path, headerAtStart, &why);
        ASSERT_NE(writer, nullptr) << mpq::WriteErrorText(why);
        bool done = false;
        switch (row.edit) {
        case Edit::Replace:
        case Edit::ReplaceLarger:
            done = writer->BeginFile(kStrings, 0, static_cast<std::uint32_t>(content.size())) &&
                   writer->Write(std::span(content).first(1234)) && writer->Write(std::span(content).subspan(1234)) &&
                   writer->EndFile();
            break;
        case Edit::Add:
            done = writer->BeginFile("UI\\NewFile.txt", 0, static_cast<std::uint32_t>(content.size())) &&
                   writer->Write(content) && writer->EndFile();
            break;
        case Edit::Remove:
            done = writer->Remove(kMusic);
            break;
        case Edit::RemoveLocale:
            done = writer->Remove(kStrings); // the Simplified Chinese entry, which the game reads
            break;
        }
        ASSERT_TRUE(done) << mpq::WriteErrorText(writer->LastError());
        ASSERT_TRUE(writer->Commit()) << mpq::WriteErrorText(writer->LastError());
    }

    // What StormLib now sees is what it saw before, with exactly the one change.
    switch (row.edit) {
    case Edit::Replace:
    case Edit::ReplaceLarger:
        before.files[{kStrings, 0}] = content;
        break;
    case Edit::Add:
        before.files[{"UI\\NewFile.txt", 0}] = content;
        break;
    case Edit::Remove:
        before.files.erase({kMusic, 0});
        break;
    case Edit::RemoveLocale:
        before.files.erase({kStrings, 0x804});
        break;
    }
    StormView after = ViewWithStorm(path);
    ASSERT_TRUE(after.opened);
    EXPECT_TRUE(after.verifyErrors.empty()) << ::testing::PrintToString(after.verifyErrors);
    // The internal files change by design; every other entry must be identical.
    for (StormView* view : {&before, &after}) {
        for (const char* internal : {"(listfile)", "(attributes)", "(signature)"})
            view->files.erase({internal, 0});
    }
    EXPECT_EQ(after.files.size(), before.files.size());
    for (const auto& [key, bytes] : before.files) {
        const auto it = after.files.find(key);
        ASSERT_NE(it, after.files.end()) << key.first << " " << key.second;
        EXPECT_EQ(it->second, bytes) << key.first << " " << key.second;
    }
    if (row.sign) {
        EXPECT_EQ(after.signature, static_cast<DWORD>(ERROR_WEAK_SIGNATURE_OK));
    } else if (row.trailing == 0) {
        EXPECT_EQ(after.signature, before.signature);
    }
    if (row.trailing != 0) {
        // A few bytes follow the new end; many stay where they were, and the archive grows behind them.
        const Bytes whole = testkit::ReadBytes(path);
        const std::uint64_t at = row.trailing <= mpq::kMaxMovedTrailing ? whole.size() - trailing.size() : trailingAt;
        ASSERT_GE(whole.size(), at + trailing.size());
        EXPECT_TRUE(std::equal(trailing.begin(), trailing.end(), whole.begin() + static_cast<std::ptrdiff_t>(at)));
        if (row.trailing > mpq::kMaxMovedTrailing) {
            EXPECT_GT(whole.size(), trailingAt + trailing.size());
        }
    }
    if (testkit::HaveSmpq() && row.edit == Edit::Replace) {
        EXPECT_EQ(testkit::SmpqExtract(path, "UI/FrameDef/GlobalStrings.fdf"), content);
    }
}

MpqBuilderOptions Options(int format, std::uint32_t attributeFlags = 7, bool encryptInternal = true,
                          std::uint32_t userData = 0) {
    MpqBuilderOptions options;
    options.formatVersion = format;
    options.withAttributes = attributeFlags != 0;
    options.attributeFlags = attributeFlags;
    options.encryptInternalFiles = encryptInternal;
    options.userDataSize = userData;
    return options;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Edits, WriterTest, ::testing::Values(
    WriterRow{"Format0Replace", Maker::Builder, Options(0)},
    WriterRow{"Format1Replace", Maker::Builder, Options(1)},
    WriterRow{"ReplaceLarger", Maker::Builder, Options(1), false, false, Edit::ReplaceLarger},
    WriterRow{"Add", Maker::Builder, Options(1), false, false, Edit::Add},
    WriterRow{"Remove", Maker::Builder, Options(0), false, false, Edit::Remove},
    WriterRow{"RemoveTheLocaleTheGameReads", Maker::Builder, Options(1), false, false, Edit::RemoveLocale},
    WriterRow{"AttributesCrcOnly", Maker::Builder, Options(1, 1), false, false, Edit::Add},
    WriterRow{"AttributesCrcAndTime", Maker::Builder, Options(0, 3)},
    WriterRow{"NoAttributes", Maker::Builder, Options(1, 0, false)},
    WriterRow{"PlainInternalFiles", Maker::Builder, Options(1, 7, false), false, false, Edit::Add},
    WriterRow{"EncryptedGameFiles", Maker::Builder, Options(1), true, false, Edit::ReplaceLarger},
    WriterRow{"UserDataHeader", Maker::Builder, Options(1, 7, true, 512), false, false, Edit::Add},
    WriterRow{"SignedReplace", Maker::Builder, Options(0), false, true},
    WriterRow{"SignedRemove", Maker::Builder, Options(0), false, true, Edit::Remove},
    WriterRow{"StormLibFormat0", Maker::StormLib, Options(0)},
    WriterRow{"StormLibFormat1Add", Maker::StormLib, Options(1), false, false, Edit::Add},
    WriterRow{"StormLibEncryptedRemove", Maker::StormLib, Options(1), true, false, Edit::Remove},
    WriterRow{"StormLibSigned", Maker::StormLib, Options(0), false, true, Edit::ReplaceLarger},
    WriterRow{"StrongSignatureBehind", Maker::Builder, Options(1), false, false, Edit::ReplaceLarger, 260},
    WriterRow{"StrongSignatureBehindRemove", Maker::Builder, Options(0), false, false, Edit::Remove, 260},
    WriterRow{"MuchDataBehind", Maker::Builder, Options(1), false, false, Edit::Replace, (1u << 20) + 4096},
    WriterRow{"MuchDataBehindSigned", Maker::Builder, Options(0), false, true, Edit::Add, (1u << 20) + 1}),
    [](const ::testing::TestParamInfo<WriterRow>& info) { return std::string(info.param.name); });
// clang-format on

// Where a replacement's data goes: back into its entry's old block when it fits there and that
// block is the entry's alone, overlaps nothing and is small; behind the archive's kept blocks
// otherwise. Either way StormLib reads and verifies everything, and no other entry changes.
enum class Shape { Plain, Encrypted, BlockShared, BlockOverlapped, LargeOldBlock };

struct ReuseRow {
    const char* name;
    Shape shape;
    std::size_t newSize;
    bool compressible;
    bool reused;
};

void PrintTo(const ReuseRow& row, std::ostream* out) {
    *out << row.name;
}

class ReuseTest : public ::testing::TestWithParam<ReuseRow> {};

TEST_P(ReuseTest, ReplacementGoesIntoItsOldBlockOnlyWhereThatIsSafe) {
    const ReuseRow& row = GetParam();
    testkit::TempDir dir;
    const fs::path path = dir / "War3Patch.mpq";
    std::vector<MpqBuilderFile> files = GameFiles(row.shape == Shape::Encrypted);
    if (row.shape == Shape::LargeOldBlock)
        files[1].content = testkit::PatternBytes(mpq::kMaxReusedBlock + 1000, 3, false);
    ASSERT_TRUE(CreateMpqArchive(path, files, Options(1)).ok);
    if (row.shape == Shape::BlockShared || row.shape == Shape::BlockOverlapped) {
        // The Chinese entry made to share the neutral entry's block, by index or by a copy of it.
        std::unique_ptr<archive_io::File> file = archive_io::File::Open(path, archive_io::File::Mode::ReadWrite);
        ASSERT_NE(file, nullptr);
        std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(*file, true);
        ASSERT_TRUE(tables.has_value());
        const std::uint32_t neutral = tables->hashes[*mpq::FindEntry(*tables, kStrings, 0)].blockIndex;
        const std::uint32_t chinese = *mpq::FindEntry(*tables, kStrings, 0x804);
        if (row.shape == Shape::BlockShared) {
            tables->hashes[chinese].blockIndex = neutral;
            ASSERT_TRUE(file->WriteAt(tables->Absolute(tables->hashTablePos), mpq::EncodeHashTable(tables->hashes)));
        } else {
            tables->blocks[tables->hashes[chinese].blockIndex] = tables->blocks[neutral];
            ASSERT_TRUE(file->WriteAt(tables->Absolute(tables->blockTablePos), mpq::EncodeBlockTable(tables->blocks)));
        }
    }
    StormView before = ViewWithStorm(path);
    ASSERT_TRUE(before.opened);
    const std::uint64_t sizeBefore = fs::file_size(path);
    std::uint32_t offsetBefore = 0;
    {
        std::unique_ptr<archive_io::File> file = archive_io::File::Open(path, archive_io::File::Mode::Read);
        const std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(*file, true);
        ASSERT_TRUE(tables.has_value());
        offsetBefore = tables->blocks[tables->hashes[*mpq::FindEntry(*tables, kStrings, 0)].blockIndex].offset;
    }

    const Bytes content = testkit::PatternBytes(row.newSize, 21, row.compressible);
    {
        std::unique_ptr<mpq::ArchiveWriter> writer = mpq::ArchiveWriter::Open(path, true);
        ASSERT_NE(writer, nullptr);
        ASSERT_TRUE(writer->BeginFile(kStrings, 0, static_cast<std::uint32_t>(content.size())) &&
                    writer->Write(content) && writer->EndFile() && writer->Commit())
            << mpq::WriteErrorText(writer->LastError());
    }

    std::unique_ptr<archive_io::File> file = archive_io::File::Open(path, archive_io::File::Mode::Read);
    const std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(*file, true);
    ASSERT_TRUE(tables.has_value());
    const mpq::BlockEntry& block = tables->blocks[tables->hashes[*mpq::FindEntry(*tables, kStrings, 0)].blockIndex];
    EXPECT_EQ(block.offset == offsetBefore, row.reused);
    // Reused, the archive does not grow by the new block: only the rewritten internal files may
    // differ in length by a few bytes.
    if (row.reused) {
        EXPECT_LT(fs::file_size(path), sizeBefore + block.storedSize);
    } else {
        EXPECT_GE(fs::file_size(path), sizeBefore + block.storedSize - 64);
    }
    before.files[{kStrings, 0}] = content;
    StormView after = ViewWithStorm(path);
    ASSERT_TRUE(after.opened);
    // The crafted rows' own mismatch ((attributes) of the entry pointed elsewhere) stays; nothing new.
    EXPECT_EQ(after.verifyErrors, before.verifyErrors);
    for (const auto& [key, bytes] : before.files) {
        if (key.first[0] != '(') {
            EXPECT_EQ(after.files[key], bytes) << key.first << " " << key.second;
        }
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Places, ReuseTest, ::testing::Values(
    ReuseRow{"SmallerFits", Shape::Plain, 5000, true, true},
    ReuseRow{"EncryptedOldBlockTakesPlainData", Shape::Encrypted, 5000, true, true},
    ReuseRow{"LargerGoesBehind", Shape::Plain, 40000, false, false},
    ReuseRow{"SharedBlockStaysWithTheOtherEntry", Shape::BlockShared, 5000, true, false},
    ReuseRow{"OverlappedBlockIsNotOverwritten", Shape::BlockOverlapped, 5000, true, false},
    ReuseRow{"LargeOldBlockIsNotJournalled", Shape::LargeOldBlock, 5000, true, false}),
    [](const ::testing::TestParamInfo<ReuseRow>& info) { return std::string(info.param.name); });
// clang-format on

} // namespace
