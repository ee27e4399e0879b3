#include "archive/door/mpq_control.h"
#include "game_files.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Bytes = std::vector<std::uint8_t>;
using mods::MessageIcon;
using mods::ResourceMode;

const std::u16string kMenuModel = u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx";
const std::u16string kEnglishFont = u"Fonts\\FRIZQT__.TTF";

// --- Item table and mode ---

struct SelectionCase {
    const char* name;
    std::u16string comboText;
    const char16_t* fileAddress; // nullptr: no entry matches
    const char16_t* fileFilter;
};

void PrintTo(const SelectionCase& c, std::ostream* os) {
    *os << c.name;
}

class FindResourceItemTest : public testing::TestWithParam<SelectionCase> {};

TEST_P(FindResourceItemTest, MatchesTheTrimmedTextExactly) {
    const SelectionCase& c = GetParam();
    const mods::ResourceItem* item = mods::FindResourceItem(c.comboText);
    if (c.fileAddress == nullptr) {
        EXPECT_EQ(item, nullptr);
        return;
    }
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->fileAddress, c.fileAddress);
    EXPECT_EQ(item->fileFilter, c.fileFilter);
}

const SelectionCase kSelectionCases[] = {
    {"DefaultEntry", mods::kDefaultResourceEntry, u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx",
     u"模型文件 (*.mdx)|*.mdx|所有文件 (*.*)|*.*"},
    {"EnglishFont", u"游戏字体 (英文)", u"Fonts\\FRIZQT__.TTF", u"字体文件 (*.ttf)|*.ttf|所有文件 (*.*)|*.*"},
    {"ReignOfChaosMusic", u"背景音乐 (混乱之治)", u"Sound\\Music\\mp3Music\\Mainscreen.mp3",
     u"背景音乐文件 (*.mp3)|*.mp3|所有文件 (*.*)|*.*"},
    {"BlanksAroundAreTrimmed", u"  游戏字体 (繁体中文)   ", u"Fonts\\dffn_b31.ttf",
     u"字体文件 (*.ttf)|*.ttf|所有文件 (*.*)|*.*"},
    {"TabIsNotTrimmed", u"\t游戏字体 (英文)", nullptr, nullptr},
    {"FullWidthBlankIsNotTrimmed", u"游戏字体 (英文)\u3000", nullptr, nullptr},
    {"FullWidthParentheses", u"游戏字体（英文）", nullptr, nullptr},
    {"MissingBlankBeforeParenthesis", u"游戏字体(英文)", nullptr, nullptr},
    {"PartOfAnEntry", u"游戏字体", nullptr, nullptr},
    {"EmptyText", u"", nullptr, nullptr},
    {"OnlyBlanks", u"   ", nullptr, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, FindResourceItemTest, testing::ValuesIn(kSelectionCases),
                         [](const testing::TestParamInfo<SelectionCase>& info) { return info.param.name; });

TEST(ResourceItems, EveryEntryHasItsOwnArchivePathInListOrder) {
    const auto& items = mods::ResourceItems();
    ASSERT_EQ(items.size(), 7u);
    EXPECT_EQ(items.front().entryText, u"背景音乐 (混乱之治)");
    EXPECT_EQ(items.back().entryText, mods::kDefaultResourceEntry);
    for (const auto& item : items) {
        EXPECT_EQ(mods::FindResourceItem(item.entryText), &item);
        EXPECT_EQ(std::count_if(items.begin(), items.end(),
                                [&](const mods::ResourceItem& other) { return other.fileAddress == item.fileAddress; }),
                  1);
    }
}

TEST(ResourceModeFor, ExtractWinsThenDeleteThenReplace) {
    EXPECT_EQ(mods::ResourceModeFor(true, true), ResourceMode::Extract);
    EXPECT_EQ(mods::ResourceModeFor(true, false), ResourceMode::Extract);
    EXPECT_EQ(mods::ResourceModeFor(false, true), ResourceMode::Delete);
    EXPECT_EQ(mods::ResourceModeFor(false, false), ResourceMode::Replace);
}

// --- Operations on a real archive ---

class ResourceArchive : public testing::Test {
protected:
    void SetUp() override {
        testkit::BuildArchive(
            m_archive,
            {{kMenuModel, m_model}, {mods::kWar3SkinsPath, modstest::War3SkinsFile()}, {u"Fonts\\Empty.ttf", {}}});
        m_mpq.SetMpqFileName(TextFromPath(m_archive));
        m_before = modstest::ArchiveBytes(m_archive);
    }
    mods::Outcome Run(ResourceMode mode, const std::u16string& address, const std::filesystem::path& disk) {
        return mods::RunResourceOperation(m_mpq, mode, address, TextFromPath(disk));
    }
    bool ArchiveUnchanged() { return modstest::ArchiveBytes(m_archive) == m_before; }
    Bytes Stored(const std::u16string& address) {
        Bytes bytes;
        EXPECT_TRUE(m_mpq.ReadFileFromMpq(address, bytes));
        return bytes;
    }

    testkit::TempDir m_dir;
    std::filesystem::path m_archive = m_dir / "War3Patch.mpq";
    Bytes m_model = testkit::PatternBytes(70000, 7, false);
    std::shared_ptr<testkit::FaultyMpqEngine> m_engine = std::make_shared<testkit::FaultyMpqEngine>();
    clsMpqControl m_mpq{m_engine};
    Bytes m_before;
};

void ExpectSuccess(const mods::Outcome& outcome) {
    EXPECT_EQ(outcome.text, u"命令成功完成.");
    EXPECT_EQ(outcome.icon, MessageIcon::Information);
}

void ExpectFailure(const mods::Outcome& outcome) {
    EXPECT_EQ(outcome.text, u"操作过程中发生错误.");
    EXPECT_EQ(outcome.icon, MessageIcon::Exclamation);
}

TEST_F(ResourceArchive, ExtractWritesExactlyTheStoredBytes) {
    ExpectSuccess(Run(ResourceMode::Extract, kMenuModel, m_dir / "menu.mdx"));
    EXPECT_EQ(testkit::ReadFile(m_dir / "menu.mdx"), m_model);
    EXPECT_TRUE(ArchiveUnchanged());
}

TEST_F(ResourceArchive, ExtractOverwritesALongerExistingFile) {
    testkit::WriteFile(m_dir / "menu.mdx", testkit::PatternBytes(200000, 3));
    ExpectSuccess(Run(ResourceMode::Extract, kMenuModel, m_dir / "menu.mdx"));
    EXPECT_EQ(testkit::ReadFile(m_dir / "menu.mdx"), m_model);
}

TEST_F(ResourceArchive, ExtractOfAnAbsentResourceWritesNoFile) {
    testkit::WriteFile(m_dir / "font.ttf", "keep me");
    ExpectFailure(Run(ResourceMode::Extract, kEnglishFont, m_dir / "font.ttf"));
    EXPECT_EQ(testkit::ReadFile(m_dir / "font.ttf"), testkit::Bytes("keep me"));
    ExpectFailure(Run(ResourceMode::Extract, kEnglishFont, m_dir / "new.ttf"));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "new.ttf"));
}

TEST_F(ResourceArchive, ExtractOfAnEmptyStoredFileFails) {
    ExpectFailure(Run(ResourceMode::Extract, u"Fonts\\Empty.ttf", m_dir / "empty.ttf"));
    EXPECT_FALSE(std::filesystem::exists(m_dir / "empty.ttf"));
}

TEST_F(ResourceArchive, ExtractToAnUnwritablePlaceFails) {
    ExpectFailure(Run(ResourceMode::Extract, kMenuModel, m_dir / "no-such-dir" / "menu.mdx"));
    ExpectFailure(Run(ResourceMode::Extract, kMenuModel, m_dir.path()));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.path()));
}

TEST_F(ResourceArchive, BothBoxesCheckedExtractsAndDeletesNothing) {
    ExpectSuccess(Run(mods::ResourceModeFor(true, true), kMenuModel, m_dir / "menu.mdx"));
    EXPECT_EQ(testkit::ReadFile(m_dir / "menu.mdx"), m_model);
    EXPECT_TRUE(m_mpq.FileExistsInMpq(kMenuModel));
    EXPECT_TRUE(ArchiveUnchanged());
}

TEST_F(ResourceArchive, DeleteRemovesOnlyThatResource) {
    ExpectSuccess(Run(ResourceMode::Delete, kMenuModel, {}));
    EXPECT_FALSE(m_mpq.FileExistsInMpq(kMenuModel));
    EXPECT_TRUE(m_mpq.FileExistsInMpq(mods::kWar3SkinsPath));
    if (testkit::HaveSmpq()) {
        const auto listed = testkit::SmpqList(m_archive);
        ASSERT_TRUE(listed.has_value());
        EXPECT_EQ(std::count(listed->begin(), listed->end(), "UI/Glues/MainMenu/MainMenu3d_exp/MainMenu3d_exp.mdx"), 0);
        EXPECT_EQ(std::count(listed->begin(), listed->end(), "UI/war3skins.txt"), 1);
    }
}

TEST_F(ResourceArchive, DeleteOfAnAbsentResourceSucceedsAndLeavesTheArchive) {
    ExpectSuccess(Run(ResourceMode::Delete, kEnglishFont, {}));
    EXPECT_TRUE(ArchiveUnchanged());
}

TEST_F(ResourceArchive, DeleteThatTheEngineRefusesFails) {
    m_engine->FailAt(testkit::MpqStep::RemoveFile);
    ExpectFailure(Run(ResourceMode::Delete, kMenuModel, {}));
    EXPECT_TRUE(ArchiveUnchanged());
}

TEST_F(ResourceArchive, ReplaceStoresTheDiskFile) {
    const Bytes font = testkit::PatternBytes(12345, 11);
    testkit::WriteFile(m_dir / "my font.ttf", font);
    ExpectSuccess(Run(ResourceMode::Replace, kEnglishFont, m_dir / "my font.ttf"));
    EXPECT_EQ(Stored(kEnglishFont), font);

    const Bytes model = testkit::PatternBytes(3000, 5, false);
    testkit::WriteFile(m_dir / "model.mdx", model);
    ExpectSuccess(Run(ResourceMode::Replace, kMenuModel, m_dir / "model.mdx"));
    EXPECT_EQ(Stored(kMenuModel), model);
    if (testkit::HaveSmpq()) {
        EXPECT_EQ(testkit::SmpqExtract(m_archive, "Fonts\\FRIZQT__.TTF"), font);
        EXPECT_EQ(testkit::SmpqExtract(m_archive, "UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx"), model);
    }
}

TEST_F(ResourceArchive, ReplaceWithAnEmptyDiskFileStoresAnEmptyFile) {
    testkit::WriteFile(m_dir / "empty.mdx", "");
    ExpectSuccess(Run(ResourceMode::Replace, kMenuModel, m_dir / "empty.mdx"));
    EXPECT_TRUE(m_mpq.FileExistsInMpq(kMenuModel));
    Bytes bytes;
    EXPECT_FALSE(m_mpq.ReadFileFromMpq(kMenuModel, bytes)); // an empty stored file cannot be read
    if (testkit::HaveSmpq()) {
        const auto listed = testkit::SmpqList(m_archive);
        ASSERT_TRUE(listed.has_value());
        EXPECT_EQ(std::count(listed->begin(), listed->end(), "UI/Glues/MainMenu/MainMenu3d_exp/MainMenu3d_exp.mdx"), 1);
    }
}

struct ReplaceFailureCase {
    const char* name;
    std::filesystem::path relativeDiskPath; // empty: an empty text box
};

void PrintTo(const ReplaceFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplaceFailure : public ResourceArchive, public testing::WithParamInterface<ReplaceFailureCase> {};

TEST_P(ReplaceFailure, LeavesTheArchiveUntouched) {
    const std::u16string diskPath =
        GetParam().relativeDiskPath.empty() ? u"" : TextFromPath(m_dir / GetParam().relativeDiskPath);
    ExpectFailure(mods::RunResourceOperation(m_mpq, ResourceMode::Replace, kMenuModel, diskPath));
    EXPECT_TRUE(ArchiveUnchanged());
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplaceFailure,
                         testing::Values(ReplaceFailureCase{"EmptyTextBox", {}},
                                         ReplaceFailureCase{"MissingDiskFile", "missing.mdx"},
                                         ReplaceFailureCase{"DirectoryInsteadOfFile", "."}),
                         [](const testing::TestParamInfo<ReplaceFailureCase>& info) { return info.param.name; });

TEST_F(ResourceArchive, ReplaceThatTheEngineRefusesFails) {
    testkit::WriteFile(m_dir / "model.mdx", "data");
    m_engine->FailAt(testkit::MpqStep::CreateFile);
    ExpectFailure(Run(ResourceMode::Replace, kMenuModel, m_dir / "model.mdx"));
    EXPECT_TRUE(ArchiveUnchanged());
}

struct PaddedPathCase {
    const char* name;
    std::u16string padding; // after the name of a file that exists
};

void PrintTo(const PaddedPathCase& c, std::ostream* os) {
    *os << c.name;
}

class PaddedDiskPath : public ResourceArchive, public testing::WithParamInterface<PaddedPathCase> {};

// The text box's path goes to the file system untrimmed. On Linux a name with a blank or a dot more is
// another file, here a missing one; Windows drops trailing blanks and dots from a file name, so
// there the path names the same file and its bytes are stored.
TEST_P(PaddedDiskPath, IsUsedUntrimmed) {
    testkit::WriteFile(m_dir / "model.mdx", "data");
    const std::u16string padded = TextFromPath(m_dir / "model.mdx") + GetParam().padding;
    const mods::Outcome outcome = mods::RunResourceOperation(m_mpq, ResourceMode::Replace, kMenuModel, padded);
    if (testkit::kWindows) {
        ExpectSuccess(outcome);
        EXPECT_EQ(Stored(kMenuModel), testkit::Bytes("data"));
    } else {
        ExpectFailure(outcome);
        EXPECT_TRUE(ArchiveUnchanged());
    }
}

INSTANTIATE_TEST_SUITE_P(ResourceArchive, PaddedDiskPath,
                         testing::Values(PaddedPathCase{"TrailingBlank", u" "}, PaddedPathCase{"TrailingDot", u"."},
                                         PaddedPathCase{"BlanksAndDots", u" . "}),
                         [](const testing::TestParamInfo<PaddedPathCase>& info) { return info.param.name; });

// --- Delete when the archive itself is not there ---

struct UnopenableCase {
    const char* name;
    void (*make)(const std::filesystem::path& archive); // nullptr: nothing at the path
};

void PrintTo(const UnopenableCase& c, std::ostream* os) {
    *os << c.name;
}

class DeleteFromUnopenableArchive : public testing::TestWithParam<UnopenableCase> {};

TEST_P(DeleteFromUnopenableArchive, IsAFailure) {
    testkit::TempDir dir;
    const auto archive = dir / "War3Patch.mpq";
    if (GetParam().make)
        GetParam().make(archive);
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(archive));
    ExpectFailure(mods::RunResourceOperation(mpq, ResourceMode::Delete, kMenuModel, u""));
    if (!GetParam().make) {
        EXPECT_FALSE(std::filesystem::exists(archive));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteFromUnopenableArchive,
    testing::Values(
        UnopenableCase{"MissingArchive", nullptr},
        UnopenableCase{"Directory", [](const std::filesystem::path& p) { std::filesystem::create_directory(p); }},
        UnopenableCase{"EmptyFile", [](const std::filesystem::path& p) { testkit::WriteFile(p, ""); }},
        UnopenableCase{"TextFile",
                       [](const std::filesystem::path& p) { testkit::WriteFile(p, testkit::PatternBytes(5000, 1)); }}),
    [](const testing::TestParamInfo<UnopenableCase>& info) { return info.param.name; });

TEST(DeleteFromUnopenableArchive, EmptyArchivePathIsAFailure) {
    clsMpqControl mpq;
    ExpectFailure(mods::RunResourceOperation(mpq, ResourceMode::Delete, kMenuModel, u""));
}

TEST(DeleteFromArchiveAtAnOffset, AbsentResourceIsASuccess) {
    // Game archives may carry their header after a 512-byte stub.
    testkit::TempDir dir;
    const auto plain = dir / "plain.mpq";
    testkit::BuildArchive(plain, {{mods::kWar3SkinsPath, modstest::War3SkinsFile()}});
    Bytes shifted(1024, 0x20);
    const Bytes archiveBytes = testkit::ReadFile(plain);
    shifted.insert(shifted.end(), archiveBytes.begin(), archiveBytes.end());
    testkit::WriteFile(dir / "War3Patch.mpq", shifted);
    clsMpqControl mpq;
    mpq.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    ExpectSuccess(mods::RunResourceOperation(mpq, ResourceMode::Delete, kMenuModel, u""));
    EXPECT_EQ(testkit::ReadFile(dir / "War3Patch.mpq"), shifted);
}

// --- Large resources, a piece at a time ---

constexpr std::size_t kLargeResource = (5u << 20) / 2; // three pieces of at most 1 MiB

// The archive's menu model is large enough to go in several pieces each way.
class LargeResourceArchive : public ResourceArchive {
protected:
    void SetUp() override {
        m_model = testkit::PatternBytes(kLargeResource, 8, false);
        ResourceArchive::SetUp();
    }
};

TEST_F(LargeResourceArchive, ExtractAndReplaceAreByteExact) {
    ExpectSuccess(Run(ResourceMode::Extract, kMenuModel, m_dir / "menu.mdx"));
    EXPECT_EQ(testkit::ReadFile(m_dir / "menu.mdx"), m_model);
    const Bytes font = testkit::PatternBytes(kLargeResource + 777, 12, false);
    testkit::WriteFile(m_dir / "font.ttf", font);
    ExpectSuccess(Run(ResourceMode::Replace, kEnglishFont, m_dir / "font.ttf"));
    EXPECT_EQ(Stored(kEnglishFont), font);
    EXPECT_EQ(Stored(kMenuModel), m_model);
}

struct TransferFailureCase {
    const char* name;
    ResourceMode mode;
    testkit::MpqStep failingStep; // with failAt
    int failAt;                   // 0: the engine does not fail
    bool shrinkDiskFile;          // the disk file is cut short once the first piece is stored
};

void PrintTo(const TransferFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class LargeTransferFailure : public LargeResourceArchive, public testing::WithParamInterface<TransferFailureCase> {};

// Part of the way through: the disk file at the destination and the archive stay as they were,
// and no temporary file is left beside either.
TEST_P(LargeTransferFailure, LeavesTheDiskFileAndTheArchive) {
    const TransferFailureCase& c = GetParam();
    const Bytes disk = testkit::PatternBytes(kLargeResource, 13, false);
    testkit::WriteFile(m_dir / "menu.mdx", disk);
    if (c.shrinkDiskFile) {
        m_engine->SetHook([&](testkit::MpqStep step, int occurrence) {
            if (step == testkit::MpqStep::WriteFile && occurrence == 1)
                std::filesystem::resize_file(m_dir / "menu.mdx", 100);
        });
    }
    m_engine->FailAt(c.failingStep, c.failAt);
    ExpectFailure(Run(c.mode, kMenuModel, m_dir / "menu.mdx"));
    EXPECT_TRUE(ArchiveUnchanged());
    if (!c.shrinkDiskFile) {
        EXPECT_EQ(testkit::ReadFile(m_dir / "menu.mdx"), disk);
    }
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"War3Patch.mpq", "War3Patch.mpq-lock", "menu.mdx"}));
}

INSTANTIATE_TEST_SUITE_P(Cases, LargeTransferFailure,
                         testing::Values(TransferFailureCase{"ExtractFailsOnTheSecondPiece", ResourceMode::Extract,
                                                             testkit::MpqStep::ReadFile, 2, false},
                                         TransferFailureCase{"ReplaceFromAFileCutShortMidway", ResourceMode::Replace,
                                                             testkit::MpqStep::WriteFile, 0, true}),
                         [](const testing::TestParamInfo<TransferFailureCase>& info) { return info.param.name; });

// --- The window's reads of the string and skin files ---

struct GameTextSizeCase {
    const char* name;
    std::size_t size; // both files padded with blanks to this size
    bool read;
};

void PrintTo(const GameTextSizeCase& c, std::ostream* os) {
    *os << c.name;
}

class GameTextFileSize : public testing::TestWithParam<GameTextSizeCase> {};

// Above the limit neither file is read at all (a decompression bomb never reaches memory), every
// edit fails, and the archive stays as it was.
TEST_P(GameTextFileSize, AboveTheLimitNothingIsRead) {
    const GameTextSizeCase& c = GetParam();
    testkit::TempDir dir;
    Bytes strings = modstest::GlobalStringsFile("Host");
    Bytes skins = modstest::War3SkinsFile("Orc");
    strings.resize(c.size, ' ');
    skins.resize(c.size, ' ');
    testkit::BuildArchive(dir / "War3Patch.mpq", {{mods::kGlobalStringsPath, strings}, {mods::kWar3SkinsPath, skins}});
    const Bytes before = modstest::ArchiveBytes(dir / "War3Patch.mpq");
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    clsMpqControl mpq(engine);
    mpq.SetMpqFileName(TextFromPath(dir / "War3Patch.mpq"));
    EXPECT_EQ(mods::ReadLanGameName(mpq), c.read ? std::optional<std::u16string>(u"Host") : std::nullopt);
    EXPECT_EQ(mods::ReadCursorRace(mpq), c.read ? std::optional(mods::Race::Orc) : std::nullopt);
    if (c.read)
        return;
    ExpectFailure(mods::WriteLanGameName(mpq, u"New"));
    ExpectFailure(mods::WriteCursorRace(mpq, mods::Race::Human));
    EXPECT_EQ(engine->Calls(testkit::MpqStep::ReadFile), 0);
    EXPECT_EQ(modstest::ArchiveBytes(dir / "War3Patch.mpq"), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, GameTextFileSize,
                         testing::Values(GameTextSizeCase{"AtTheLimit", mods::kMaxGameTextFileSize, true},
                                         GameTextSizeCase{"OneOverTheLimit", mods::kMaxGameTextFileSize + 1, false}),
                         [](const testing::TestParamInfo<GameTextSizeCase>& info) { return info.param.name; });

} // namespace
