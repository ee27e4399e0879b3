// status: what each game will read and from which archive, found without waiting for a lock and
// without putting an interrupted write right; and the game directory found through a Wine prefix.
#include "cli_fixture.h"

#include "testkit/mpq_fixtures.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <unistd.h>

namespace clitest {
namespace {

namespace fs = std::filesystem;

// An archive of the game directory: built from content, or bytes that are no archive.
struct ArchiveSetup {
    const char* name;
    std::optional<ArchiveContent> content; // nothing: garbage bytes
};

struct Effective {
    bool known;
    std::optional<std::string> value;
    std::optional<std::string> source;
};

struct EffectiveCase {
    const char* name;
    std::vector<ArchiveSetup> archives; // replaces the standard War3Patch.mpq
    Effective tftName;
    Effective rocName;
    Effective tftCursor;
    std::string tftHumanLine;
};

class CliEffectiveTest : public CliTest, public testing::WithParamInterface<EffectiveCase> {
protected:
    void SetUp() override {
        fs::remove(Patch());
        for (const ArchiveSetup& archive : GetParam().archives) {
            if (archive.content)
                BuildGameArchive(GameDir() / archive.name, *archive.content);
            else
                testkit::WriteFile(GameDir() / archive.name, testkit::PatternBytes(4096, 5, false));
        }
    }

    static void ExpectEffective(const JsonValue& document, const std::string& path, const Effective& expected) {
        SCOPED_TRACE(path);
        const JsonValue* known = document.At(path + "/known");
        ASSERT_NE(known, nullptr);
        EXPECT_EQ(known->boolean, expected.known);
        const JsonValue* value = document.At(path + "/value");
        const JsonValue* source = document.At(path + "/source");
        ASSERT_NE(value, nullptr);
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(value->IsNull() ? std::nullopt : std::optional<std::string>(value->string), expected.value);
        EXPECT_EQ(source->IsNull() ? std::nullopt : std::optional<std::string>(source->string), expected.source);
    }
};

TEST_P(CliEffectiveTest, TheFirstArchiveHoldingTheFileDecides) {
    const CliResult json = Run({"status"}, true);
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const JsonValue document = Document(json);
    EXPECT_EQ(StringAt(document, "effective/0/game"), "The Frozen Throne");
    EXPECT_EQ(StringAt(document, "effective/1/game"), "Reign of Chaos");
    ExpectEffective(document, "effective/0/lanName", GetParam().tftName);
    ExpectEffective(document, "effective/1/lanName", GetParam().rocName);
    ExpectEffective(document, "effective/0/cursor", GetParam().tftCursor);

    const CliResult human = Run({"status"});
    EXPECT_EQ(human.exitCode, 0) << human.err;
    EXPECT_NE(human.out.find(GetParam().tftHumanLine), std::string::npos) << human.out;
}

const std::vector<std::pair<std::u16string, std::vector<std::uint8_t>>> kStringsWithoutEntry = {
    {u"UI\\FrameDef\\GlobalStrings.fdf", testkit::Bytes("StringList {\r\n}\r\n")}};

const EffectiveCase kEffectiveCases[] = {
    {"PatchWinsForBoth",
     {{"War3Patch.mpq", ArchiveContent{"P", "Orc", {}}}, {"War3.mpq", ArchiveContent{"R", "Human", {}}}},
     {true, "P", "War3Patch.mpq"},
     {true, "P", "War3Patch.mpq"},
     {true, "orc", "War3Patch.mpq"},
     "The Frozen Throne: LAN name \"P\" from War3Patch.mpq; cursor \"orc\" from War3Patch.mpq"},
    {"FileWithoutKeyStillDecides",
     {{"War3Patch.mpq", ArchiveContent{std::nullopt, std::nullopt, {}}},
      {"War3x.mpq", ArchiveContent{std::nullopt, std::nullopt, kStringsWithoutEntry}},
      {"War3.mpq", ArchiveContent{"R", "Undead", {}}}},
     {true, std::nullopt, "War3x.mpq"},
     {true, "R", "War3.mpq"},
     {true, "undead", "War3.mpq"},
     "The Frozen Throne: LAN name none from War3x.mpq; cursor \"undead\" from War3.mpq"},
    {"LocalBeforeExpansion",
     {{"War3xLocal.mpq", ArchiveContent{"L", std::nullopt, {}}},
      {"War3x.mpq", ArchiveContent{"X", "NightElf", {}}},
      {"War3.mpq", ArchiveContent{"R", "Human", {}}}},
     {true, "L", "War3xLocal.mpq"},
     {true, "R", "War3.mpq"},
     {true, "nightelf", "War3x.mpq"},
     "The Frozen Throne: LAN name \"L\" from War3xLocal.mpq"},
    {"UnreadableArchiveMakesItUnknown",
     {{"War3xLocal.mpq", std::nullopt}, {"War3.mpq", ArchiveContent{"R", "Human", {}}}},
     {false, std::nullopt, "War3xLocal.mpq"},
     {true, "R", "War3.mpq"},
     {false, std::nullopt, "War3xLocal.mpq"},
     "The Frozen Throne: LAN name unknown from War3xLocal.mpq"},
    {"NoArchiveHoldsTheFile",
     {{"War3.mpq", ArchiveContent{std::nullopt, std::nullopt, {}}}},
     {true, std::nullopt, std::nullopt},
     {true, std::nullopt, std::nullopt},
     {true, std::nullopt, std::nullopt},
     "The Frozen Throne: LAN name none; cursor none"},
};

INSTANTIATE_TEST_SUITE_P(Rows, CliEffectiveTest, testing::ValuesIn(kEffectiveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, StatusDescribesEachArchive) {
    BuildGameArchive(GameDir() / "War3.mpq", {"R\xFF", "Human", {}});
    const CliResult result = Run({"status"}, true);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const JsonValue document = Document(result);
    EXPECT_EQ(StringAt(document, "foundBy"), "option");
    EXPECT_EQ(StringAt(document, "archives/0/name"), "War3Patch.mpq");
    EXPECT_TRUE(document.At("archives/0/opens")->boolean);
    EXPECT_EQ(StringAt(document, "archives/0/gameName"), "Host");
    EXPECT_EQ(StringAt(document, "archives/0/cursor"), "human");
    EXPECT_EQ(StringAt(document, "archives/0/resources/0/key"), "menu-music-roc");
    EXPECT_EQ(document.At("archives/0/resources/0/size")->number, 5000);
    EXPECT_EQ(document.At("archives/0/resources/1"), nullptr);
    EXPECT_FALSE(document.At("archives/1/present")->boolean);
    EXPECT_EQ(StringAt(document, "archives/1/why"), "no archive");
    EXPECT_EQ(StringAt(document, "archives/3/gameName"), "R\xEF\xBF\xBD");
    EXPECT_TRUE(document.At("archives/3/gameNameInvalidUtf8")->boolean);
}

TEST_F(CliTest, StatusLeavesAnInterruptedWriteAlone) {
    // Whatever the journal holds, putting it right is a write; status only reports it.
    const fs::path journal = GameDir() / "War3Patch.mpq-journal";
    testkit::WriteFile(journal, testkit::PatternBytes(700, 9, false));
    const FileState archive = StateOf(Patch());
    const CliResult result = Run({"status"}, true);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const JsonValue document = Document(result);
    EXPECT_FALSE(document.At("archives/0/opens")->boolean);
    EXPECT_EQ(StringAt(document, "archives/0/why"), "pending recovery");
    EXPECT_EQ(testkit::ReadFile(journal), testkit::PatternBytes(700, 9, false));
    EXPECT_TRUE(StateOf(Patch()) == archive);
}

TEST_F(CliTest, StatusDoesNotWaitForALockWhileAWriteWaitsAndFails) {
    // Another process's operation holds the archive: a flock on its lock file.
    const int fd = ::open((GameDir() / "War3Patch.mpq-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const FileState archive = StateOf(Patch());

    const auto start = std::chrono::steady_clock::now();
    const CliResult status = Run({"status"}, true);
    const auto statusTime = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(status.exitCode, 0) << status.err;
    EXPECT_EQ(StringAt(Document(status), "archives/0/why"), "locked");
    EXPECT_LT(statusTime, std::chrono::seconds(3));

    const CliResult write = Run({"lan-name", "set", "Blocked"});
    EXPECT_EQ(write.exitCode, 1);
    EXPECT_EQ(write.err, "ostrawen-cli: War3Patch.mpq: cannot read UI\\FrameDef\\GlobalStrings.fdf: locked\n");
    ::close(fd);
    EXPECT_TRUE(StateOf(Patch()) == archive);
}

TEST_F(CliTest, GameDirFoundThroughTheWinePrefix) {
    const fs::path prefix = m_root / "prefix";
    const fs::path game = prefix / "drive_c" / "Games" / "Warcraft III";
    BuildGameDir(game);
    fs::create_directories(prefix / "dosdevices");
    fs::create_directory_symlink("../drive_c", prefix / "dosdevices" / "c:");
    testkit::WriteFile(prefix / "user.reg",
                       "WINE REGISTRY Version 2\n;; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n\n"
                       "#arch=win32\n\n[Software\\\\Blizzard Entertainment\\\\Warcraft III] 1700000000\n"
                       "#time=1da0000000000000\n\"InstallPath\"=\"C:\\\\Games\\\\Warcraft III\"\n");
    const CliResult result = RunCli({"status", "--json"}, m_root.path(),
                                    {{"WINEPREFIX", prefix.string()}, {"HOME", m_root.path().string()}});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const JsonValue document = Document(result);
    EXPECT_EQ(StringAt(document, "foundBy"), "registry");
    EXPECT_EQ(fs::canonical(StringAt(document, "gameDir")), fs::canonical(game));
    EXPECT_EQ(StringAt(document, "archives/0/gameName"), "Host");
}

} // namespace
} // namespace clitest
