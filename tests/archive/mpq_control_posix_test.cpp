// The door and POSIX file ownership: symbolic links, owners and modes, a directory the process may
// not write. Linux only; Windows has none of these as POSIX has them.
#include "archive/door/archive_guard.h"
#include "archive/door/archive_lock.h"
#include "archive/door/mpq_control.h"
#include "support/text_path.h"
#include "testkit/faulty_mpq_engine.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testkit::Bytes;

namespace {

// An archive reached through a symbolic link is changed and compacted at its target: the link
// stays a link, and the lock file sits beside the target, nothing of ours beside the link.
TEST(SymbolicLink, WritesChangeTheTargetAndKeepTheLink) {
    testkit::TempDir dir;
    fs::create_directory(dir / "real");
    fs::create_directory(dir / "game");
    const fs::path target = dir / "real" / "War3Patch.mpq";
    const fs::path link = dir / "game" / "War3Patch.mpq";
    testkit::BuildArchive(target, testkit::SampleArchiveFiles(), 1);
    fs::create_symlink(fs::path("..") / "real" / "War3Patch.mpq", link);
    const std::uintmax_t sizeBefore = fs::file_size(target);
    clsMpqControl control;
    control.SetMpqFileName(TextFromPath(link));
    ASSERT_TRUE(control.SaveFileToMpq(u"UI\\war3skins.txt", Bytes("linked")));
    ASSERT_TRUE(control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("short")) && control.CompressMpq());
    EXPECT_EQ(fs::read_symlink(link), fs::path("..") / "real" / "War3Patch.mpq");
    // Compacted: the old font's 20000 bytes are gone, not only hidden.
    EXPECT_LT(fs::file_size(target), sizeBefore);
    clsMpqControl direct;
    direct.SetMpqFileName(TextFromPath(target));
    std::vector<std::uint8_t> read;
    EXPECT_TRUE(direct.ReadFileFromMpq(u"UI\\war3skins.txt", read));
    EXPECT_EQ(read, Bytes("linked"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "game"), fs::directory_iterator()), 1);
    EXPECT_TRUE(fs::exists(archive_lock::LockPath(target)));
}

// Root compacting a player's archive: the new file keeps the player's owner, group and mode, and
// the lock and journal files belong to the player too, so the player's own runs can use them.
TEST(OwnerAndMode, KeptByCompactionAndGivenToOurFiles) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    ASSERT_EQ(::chown(archive.c_str(), 4321, 4322), 0);
    ASSERT_EQ(::chmod(archive.c_str(), 0640), 0);
    auto engine = std::make_shared<testkit::FaultyMpqEngine>();
    struct stat journal {};
    engine->SetHook([&](testkit::MpqStep step, int) {
        if (step == testkit::MpqStep::WriteFile && journal.st_ino == 0) // the journal exists only meanwhile
            ::stat(archive_guard::JournalPath(archive).c_str(), &journal);
    });
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(archive));
    ASSERT_TRUE(control.SaveFileToMpq(u"Fonts\\dfst-m3u.ttf", Bytes("short")));
    ASSERT_NE(journal.st_ino, 0u) << "no journal seen";
    // Old data for compaction to drop: the music, stored before the font, replaced by less.
    ASSERT_TRUE(control.SaveFileToMpq(u"Sound\\Music\\mp3Music\\Mainscreen.mp3", Bytes("short music")));
    EXPECT_EQ(journal.st_uid, 4321u);
    EXPECT_EQ(journal.st_gid, 4322u);
    const auto grown = fs::file_size(archive);
    ASSERT_TRUE(control.CompressMpq());
    EXPECT_LT(fs::file_size(archive), grown);
    for (const fs::path& path : {archive, archive_lock::LockPath(archive)}) {
        struct stat info {};
        ASSERT_EQ(::stat(path.c_str(), &info), 0) << path;
        EXPECT_EQ(info.st_uid, 4321u) << path;
        EXPECT_EQ(info.st_gid, 4322u) << path;
        EXPECT_EQ(info.st_mode & 07777, 0640u) << path;
    }
}

// A directory the process may not write: reads work without a lock file or with one made before
// (opened read-only), every write fails as NotWritable and nothing changes. As root the check runs
// in a child that has given up root.
TEST(ReadOnlyDirectory, ReadsWorkAndWritesFailNotWritable) {
    for (const bool lockFileMadeBefore : {false, true}) {
        SCOPED_TRACE(lockFileMadeBefore ? "lock file made before" : "no lock file");
        testkit::TempDir dir;
        const fs::path archive = dir / "War3Patch.mpq";
        testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
        if (lockFileMadeBefore) {
            clsMpqControl control;
            control.SetMpqFileName(TextFromPath(archive));
            ASSERT_TRUE(control.ArchiveOpens());
        }
        fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
        const auto before = testkit::ReadBytes(archive);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
                _exit(90);
            clsMpqControl control;
            control.SetMpqFileName(TextFromPath(archive));
            std::vector<std::uint8_t> read;
            if (!control.ReadFileFromMpq(u"UI\\war3skins.txt", read) || !control.FileExistsInMpq(u"empty.txt"))
                _exit(91);
            MpqFailure why[3] = {};
            if (control.SaveFileToMpq(u"a.txt", Bytes("x"), &why[0]) ||
                control.DeleteFileFromMpq(u"empty.txt", &why[1]) || control.CompressMpq(&why[2]))
                _exit(92);
            _exit(std::ranges::count(why, MpqFailure::NotWritable) == 3 ? 0 : 93);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        fs::permissions(dir.path(), fs::perms::owner_all);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "90 cannot drop root, 91 a read failed, 92 a write succeeded, 93 a write failed for another reason";
        EXPECT_EQ(testkit::ReadBytes(archive), before);
    }
}

} // namespace
