// The demo's game directory: four archives that the program's own archive door reads, each with its
// own LAN game name and cursor race, text files shaped like the game's (BOM, CRLF, [Human] first), and
// all seven resources present.
#include "app/demo/demo_game_files.h"
#include "archive/door/mpq_control.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "testkit/temp_dir.h"

#include <QtTest>

#include <set>

namespace {

bool HasBomAndOnlyCrlf(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() < 3 || bytes[0] != 0xEF || bytes[1] != 0xBB || bytes[2] != 0xBF) {
        return false;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) {
            return false;
        }
    }
    return true;
}

} // namespace

class DemoGameFilesTest : public QObject {
    Q_OBJECT

private slots:
    void gameDirectoryHoldsFourDistinctArchives() {
        testkit::TempDir dir;
        const std::filesystem::path game = dir / "Warcraft III";
        std::string error;
        QVERIFY2(demo::MakeGameDirectory(game, error), error.c_str());
        QVERIFY(std::filesystem::is_regular_file(game / "war3.exe"));

        const mods::Race races[] = {mods::Race::Orc, mods::Race::Human, mods::Race::NightElf, mods::Race::Undead};
        QCOMPARE(demo::DemoArchives().size(), std::size_t(4));
        std::set<std::u16string> names;
        std::set<mods::Race> seenRaces;
        for (std::size_t i = 0; i < demo::DemoArchives().size(); ++i) {
            const demo::DemoArchive& archive = demo::DemoArchives()[i];
            clsMpqControl mpq;
            mpq.SetMpqFileName(TextFromPath(game / std::filesystem::path(archive.fileName)));

            const std::optional<std::u16string> gameName = mods::ReadLanGameName(mpq);
            QVERIFY(gameName.has_value());
            QVERIFY(*gameName == archive.gameName);
            names.insert(*gameName);

            const std::optional<mods::Race> race = mods::ReadCursorRace(mpq);
            QVERIFY(race.has_value());
            QCOMPARE(int(*race), int(races[i]));
            seenRaces.insert(*race);

            std::vector<std::uint8_t> bytes;
            QVERIFY(mpq.ReadFileFromMpq(mods::kGlobalStringsPath, bytes));
            QVERIFY(HasBomAndOnlyCrlf(bytes));
            QVERIFY(mpq.ReadFileFromMpq(mods::kWar3SkinsPath, bytes));
            QVERIFY(HasBomAndOnlyCrlf(bytes));
            const std::string skins(bytes.begin() + 3, bytes.end());
            QVERIFY(skins.rfind("[Human]\r\n", 0) == 0);

            for (const mods::ResourceItem& item : mods::ResourceItems()) {
                QVERIFY(mpq.ReadFileFromMpq(item.fileAddress, bytes));
            }
        }
        QCOMPARE(names.size(), std::size_t(4));
        QCOMPARE(seenRaces.size(), std::size_t(4));
    }

    void unwritableGameDirectoryFails() {
        testkit::TempDir dir;
        testkit::WriteFile(dir / "file", std::string_view("not a directory"));
        std::string error;
        QVERIFY(!demo::MakeGameDirectory(dir / "file" / "Warcraft III", error));
        QVERIFY(!error.empty());
    }
};

QTEST_MAIN(DemoGameFilesTest)
#include "demo_game_files_test.moc"
