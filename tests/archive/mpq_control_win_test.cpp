// The door and Windows' read-only attribute: Windows opens no such file for writing and renames
// nothing over it, for an administrator too, so every write fails as NotWritable before it makes a
// single file, and reads go on. Windows only: Wine as root (and POSIX root) could write it anyway.
#include "archive/door/archive_lock.h"
#include "archive/door/mpq_control.h"
#include "mods/modifications.h"
#include "support/text_path.h"
#include "support/win32.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace fs = std::filesystem;
using testkit::Bytes;

namespace {

struct ReadOnlyWrite {
    const char* name;
    std::function<bool(clsMpqControl&, const fs::path& diskFile, MpqFailure*)> write;
};

void PrintTo(const ReadOnlyWrite& row, std::ostream* out) {
    *out << row.name;
}

class ReadOnlyArchiveTest : public ::testing::TestWithParam<ReadOnlyWrite> {
protected:
    void SetUp() override {
        m_archive = m_dir / "War3Patch.mpq";
        testkit::BuildArchive(m_archive, testkit::SampleArchiveFiles(), 1);
        // Old data to reclaim, so that a compaction would really write a new archive.
        clsMpqControl control;
        control.SetMpqFileName(TextFromPath(m_archive));
        ASSERT_TRUE(control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("font")));
        testkit::WriteFile(m_dir / "music.mp3", testkit::PatternBytes(5000, 3, false));
        ASSERT_TRUE(::SetFileAttributesW(m_archive.c_str(), FILE_ATTRIBUTE_READONLY));
    }

    // Every name beside the archive that an operation made, but the lock file, which stays once made.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(m_dir.path())) {
            const fs::path& path = entry.path();
            if (path != m_archive && path != archive_lock::LockPath(m_archive) && path.filename() != "music.mp3")
                names.push_back(path.filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testkit::TempDir m_dir;
    fs::path m_archive;
};

TEST_P(ReadOnlyArchiveTest, WriteFailsNotWritableAndLeavesTheArchiveAsItWas) {
    const std::vector<std::uint8_t> before = testkit::ReadBytes(m_archive);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(m_archive));
    MpqFailure why = MpqFailure::None;
    EXPECT_FALSE(GetParam().write(control, m_dir / "music.mp3", &why));
    EXPECT_STREQ(MpqFailureText(why), MpqFailureText(MpqFailure::NotWritable));
    EXPECT_EQ(testkit::ReadBytes(m_archive), before) << "the read-only archive was written";
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << "journal or compaction files left behind";
    EXPECT_EQ(mods::ReadLanGameName(control), std::u16string(u"%s's game")) << "reads must go on";
    const DWORD attributes = ::GetFileAttributesW(m_archive.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0);
}

bool WriteLanName(clsMpqControl& control, const fs::path&, MpqFailure* why) {
    std::vector<std::uint8_t> strings;
    if (!control.ReadFileFromMpq(mods::kGlobalStringsPath, strings, why))
        return false;
    const std::optional<std::vector<std::uint8_t>> edited = mods::EditLanGameName(strings, u"Hall 7");
    return edited && control.SaveFileToMpq(mods::kGlobalStringsPath, *edited, why);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, ReadOnlyArchiveTest,
    ::testing::Values(ReadOnlyWrite{"LanNameWrite", &WriteLanName},
                      ReadOnlyWrite{"ResourceReplace",
                                    [](clsMpqControl& control, const fs::path& disk, MpqFailure* why) {
                                        return control.SaveFileToMpqFromDisk(u"Sound\\Music\\mp3Music\\Mainscreen.mp3",
                                                                             TextFromPath(disk), why);
                                    }},
                      ReadOnlyWrite{"ResourceDelete",
                                    [](clsMpqControl& control, const fs::path&, MpqFailure* why) {
                                        return control.DeleteFileFromMpq(u"Fonts\\dfst-m3u.ttf", why);
                                    }},
                      ReadOnlyWrite{"Compaction", [](clsMpqControl& control, const fs::path&,
                                                     MpqFailure* why) { return control.CompressMpq(why); }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
