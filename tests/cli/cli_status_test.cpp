// status: the four archives side by side and what each game reads from which, found without waiting for
// a lock or putting an interrupted write right.
#include "cli_fixture.h"

#include "testkit/mpq_fixtures.h"

#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace clitest {
namespace {

namespace fs = std::filesystem;

struct EffectiveCase {
    const char* name;
    std::vector<std::pair<const char*, std::optional<ArchiveContent>>> archives; // nothing: not an archive
    std::string tftLanName; // effective/0/lanName as "known value source"
    std::string lines;      // the end of the human output, a line per game
};

class CliEffectiveTest : public CliTest, public testing::WithParamInterface<EffectiveCase> {};

TEST_P(CliEffectiveTest, TheFirstArchiveHoldingTheFileDecides) {
    fs::remove(Patch());
    for (const auto& [name, content] : GetParam().archives)
        content ? BuildGameArchive(GameDir() / name, *content) : testkit::WriteFile(GameDir() / name, "no archive");
    const CliResult human = Run({"status"});
    EXPECT_TRUE(human.exitCode == 0 && human.out.ends_with(GetParam().lines)) << human.out << human.err;
    const JsonDocument json = Document(Run({"status"}, true));
    const std::string lanName = "effective/0/lanName/";
    EXPECT_EQ(At(json, lanName + "known") + " " + At(json, lanName + "value") + " " + At(json, lanName + "source"),
              GetParam().tftLanName);
}

// clang-format off
const EffectiveCase kEffectiveCases[] = {
    {"PatchThenLocalThenExpansion", {{"War3Patch.mpq", ArchiveContent{{}, "Orc"}}, {"War3xLocal.mpq", ArchiveContent{"L"}},
      {"War3x.mpq", ArchiveContent{"X", "NightElf"}}, {"War3.mpq", ArchiveContent{"R", "Human"}}}, R"(true "L" "War3xLocal.mpq")",
     "The Frozen Throne: LAN name \"L\" from War3xLocal.mpq; cursor \"orc\" from War3Patch.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"orc\" from War3Patch.mpq\n"},
    {"FileWithoutGameNameStillDecides", {{"War3x.mpq", ArchiveContent{{}, {}, {kNoGameNameEntry}}},
      {"War3.mpq", ArchiveContent{"R", "Undead"}}}, R"(true null "War3x.mpq")",
     "The Frozen Throne: LAN name none from War3x.mpq; cursor \"undead\" from War3.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"undead\" from War3.mpq\n"},
    {"UnreadableArchiveMakesItUnknown", {{"War3xLocal.mpq", std::nullopt}, {"War3.mpq", ArchiveContent{"R", "Human"}}},
     R"(false null "War3xLocal.mpq")",
     "The Frozen Throne: LAN name unknown from War3xLocal.mpq; cursor unknown from War3xLocal.mpq\n"
     "Reign of Chaos: LAN name \"R\" from War3.mpq; cursor \"human\" from War3.mpq\n"},
    {"NoArchiveHoldsTheFile", {{"War3Patch.mpq", ArchiveContent{}}, {"War3.mpq", ArchiveContent{}}}, "true null null",
     "The Frozen Throne: LAN name none; cursor none\nReign of Chaos: LAN name none; cursor none\n"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, CliEffectiveTest, testing::ValuesIn(kEffectiveCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CliTest, StatusFoundThroughWineNeitherRecoversNorWaitsForALock) {
    BuildGameArchive(GameDir() / "War3x.mpq", {"X"});
    BuildGameArchive(GameDir() / "War3.mpq", {"R\xFF", "Human"});
    // Whatever the journal holds, putting it right is a write; status only reports it.
    testkit::WriteFile(GameDir() / "War3x.mpq-journal", testkit::PatternBytes(700, 9, false));
    const auto states = [&] {
        return std::vector{StateOf(Patch()), StateOf(GameDir() / "War3x.mpq"),
                           StateOf(GameDir() / "War3x.mpq-journal")};
    };
    const auto before = states();
    // A Wine prefix whose registry names C:\Warcraft III, drive C being our directory.
    const fs::path prefix = m_root / "prefix";
    fs::create_directories(prefix / "dosdevices");
    fs::create_directory_symlink(m_root.path(), prefix / "dosdevices" / "c:");
    testkit::WriteFile(prefix / "user.reg",
                       "WINE REGISTRY Version 2\n\n[Software\\\\Blizzard Entertainment\\\\Warcraft "
                       "III] 1\n\"InstallPath\"=\"C:\\\\Warcraft III\"\n");
    const testkit::ScopedEnv wine("WINEPREFIX", prefix.string());

    const JsonDocument document = Document(Run({"status"}, true, false));
    std::string described;
    for (const char* path : {"foundBy", "gameDir", "archives/0/name", "archives/0/opens", "archives/0/gameName",
                             "archives/0/cursor", "archives/0/resources/0/key", "archives/0/resources/0/size",
                             "archives/0/resources/1", "archives/1/present", "archives/1/why", "archives/2/opens",
                             "archives/2/why", "archives/3/gameName", "archives/3/gameNameInvalidUtf8"})
        described += At(document, path) + " ";
    EXPECT_EQ(described,
              "\"registry\" \"" + (prefix / "dosdevices/c:/Warcraft III/").string() +
                  "\" \"War3Patch.mpq\" true \"Host\" \"human\" \"menu-music-roc\" 5000 <no "
                  "archives/0/resources/1> false \"no archive\" false \"pending recovery\" \"R\uFFFD\" true ");

    // Another process's operation holds War3Patch.mpq: a flock on its lock file.
    const int fd = ::open((GameDir() / "War3Patch.mpq-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(At(Document(Run({"status"}, true)), "archives/0/why"), R"("locked")");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    const CliResult write = Run({"lan-name", "set", "Blocked"});
    EXPECT_EQ(write.exitCode, 1);
    EXPECT_EQ(write.err, "ostrawen-cli: War3Patch.mpq: cannot read UI\\FrameDef\\GlobalStrings.fdf: locked\n");
    ::close(fd);
    EXPECT_EQ(states(), before);
}

} // namespace
} // namespace clitest
