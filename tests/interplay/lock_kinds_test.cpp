// The archive's lock on Linux against the other locks that meet it on the same lock file, without
// Wine itself: Wine takes a Windows program's LockFileEx as a classic POSIX lock held by
// wineserver (a write lock from 0 to the end; a read lock through a read-only handle), another copy
// of ours takes an open-file-description lock. Each keeps ours out while held and is kept out while
// ours is. And a user who may not write the lock file gets no lock at all, never a shared one.
#include "archive/door/archive_lock.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using archive_lock::LockStatus;
using std::chrono::milliseconds;

struct flock WholeFile(short type) {
    struct flock range = {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    return range;
}

// Runs `body` in a child process and gives its exit code (-1: it did not exit).
template <typename Body> int InChild(Body body) {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(body());
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A lock of another process on the lock file, kept until the object goes: the child takes it,
// reports through a pipe, and waits for the pipe to close.
class ForeignHolder {
public:
    ForeignHolder(const fs::path& lockFile, int command, short type) {
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0)
            return;
        m_child = ::fork();
        if (m_child == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            const int fd = ::open(lockFile.c_str(), (type == F_RDLCK ? O_RDONLY : O_RDWR) | O_CLOEXEC);
            struct flock range = WholeFile(type);
            const char held = fd >= 0 && ::fcntl(fd, command, &range) == 0 ? 'y' : 'n';
            (void)!::write(toParent[1], &held, 1);
            char ignored;
            while (::read(toChild[0], &ignored, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        m_release = toChild[1];
        char held = 'n';
        m_held = m_child > 0 && ::read(toParent[0], &held, 1) == 1 && held == 'y';
        ::close(toParent[0]);
    }
    ~ForeignHolder() {
        ::close(m_release);
        if (m_child > 0)
            ::waitpid(m_child, nullptr, 0);
    }
    ForeignHolder(const ForeignHolder&) = delete;
    ForeignHolder& operator=(const ForeignHolder&) = delete;

    bool held() const { return m_held; }

private:
    pid_t m_child = -1;
    int m_release = -1;
    bool m_held = false;
};

class LockFileTest : public ::testing::Test {
protected:
    LockFileTest() { testkit::WriteFile(m_archive, "an archive"); }

    std::unique_ptr<archive_lock::ArchiveLock> Acquire(LockStatus& status, milliseconds wait = milliseconds(0)) {
        return archive_lock::ArchiveLock::Acquire(m_archive, *archive_io::IdentityOf(m_archive), wait, status);
    }

    testkit::TempDir m_dir;
    const fs::path m_archive = m_dir / "War3Patch.mpq";
    const fs::path m_lockFile = archive_lock::LockPath(m_archive);
};

struct ForeignCase {
    const char* name;
    int command; // F_SETLK: a classic lock, as wineserver takes; F_OFD_SETLK: another copy of ours
    short type;
};

void PrintTo(const ForeignCase& row, std::ostream* out) {
    *out << row.name;
}

class ForeignLockTest : public LockFileTest, public ::testing::WithParamInterface<ForeignCase> {};

TEST_P(ForeignLockTest, KeepsOursOutAndIsKeptOut) {
    const ForeignCase& row = GetParam();
    testkit::WriteFile(m_lockFile, "");
    LockStatus status = LockStatus::Failed;
    {
        ForeignHolder theirs(m_lockFile, row.command, row.type);
        ASSERT_TRUE(theirs.held());
        EXPECT_EQ(Acquire(status, milliseconds(100)), nullptr);
        EXPECT_EQ(status, LockStatus::Busy);
    }
    auto ours = Acquire(status);
    ASSERT_EQ(status, LockStatus::Held) << "their lock outlived them";
    EXPECT_FALSE(ForeignHolder(m_lockFile, row.command, row.type).held());
    ours.reset();
    EXPECT_TRUE(ForeignHolder(m_lockFile, row.command, row.type).held()) << "ours outlived its object";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ForeignLockTest,
                         ::testing::Values(ForeignCase{"WineWriteLock", F_SETLK, F_WRLCK},
                                           ForeignCase{"WineReadOnlyHandle", F_SETLK, F_RDLCK},
                                           ForeignCase{"AnotherCopyOfOurs", F_OFD_SETLK, F_WRLCK}),
                         [](const auto& info) { return std::string(info.param.name); });

// A classic POSIX lock would go with any close() of the file in its process: a library opening and
// closing the lock file must not unlock the archive.
TEST_F(LockFileTest, AnotherCloseOfTheFileKeepsIt) {
    LockStatus status = LockStatus::Failed;
    auto ours = Acquire(status);
    ASSERT_EQ(status, LockStatus::Held);
    ::close(::open(m_lockFile.c_str(), O_RDWR | O_CLOEXEC));
    EXPECT_FALSE(ForeignHolder(m_lockFile, F_SETLK, F_WRLCK).held());
    auto second = Acquire(status);
    EXPECT_EQ(status, LockStatus::Busy) << "a second lock in the same process was let in";
}

// Who may lock: a user who may write the lock file (or make it) holds it; one who may not gets no
// lock, makes no file, and leaves the lock free for others (seen as root, which can still open it
// for writing). As root the user is "nobody".
struct AccessCase {
    const char* name;
    fs::perms directory;
    std::optional<fs::perms> lockFile; // nullopt: none yet
    LockStatus expected;
};

void PrintTo(const AccessCase& row, std::ostream* out) {
    *out << row.name;
}

class LockAccessTest : public LockFileTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(LockAccessTest, OnlyAWritableLockFileLocks) {
    const AccessCase& row = GetParam();
    if (row.lockFile) {
        testkit::WriteFile(m_lockFile, "");
        fs::permissions(m_lockFile, *row.lockFile);
    }
    fs::permissions(m_dir.path(), row.directory);
    const auto identity = *archive_io::IdentityOf(m_archive);
    const int code = InChild([&] {
        // Opened while still root: after the user's attempt, it shows whether anything stayed locked.
        const int probe = ::open(m_lockFile.c_str(), O_RDWR | O_CLOEXEC);
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            return 90;
        LockStatus status = LockStatus::Failed;
        auto lock = archive_lock::ArchiveLock::Acquire(m_archive, identity, milliseconds(0), status);
        if ((lock != nullptr) != (status == LockStatus::Held))
            return 91;
        struct flock range = WholeFile(F_WRLCK);
        if (status != LockStatus::Held && probe >= 0 && ::fcntl(probe, F_OFD_SETLK, &range) != 0)
            return 92;
        return static_cast<int>(status);
    });
    fs::permissions(m_dir.path(), fs::perms::owner_all);
    EXPECT_EQ(code, static_cast<int>(row.expected))
        << "90 cannot drop root, 91 lock and status disagree, 92 held anyway";
    EXPECT_EQ(fs::exists(m_lockFile), row.lockFile.has_value() || row.expected == LockStatus::Held);
}

constexpr fs::perms kReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
constexpr fs::perms kReadWrite = kReadOnly | fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
constexpr fs::perms kDirReadOnly = kReadOnly | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
constexpr fs::perms kDirOpen = fs::perms::all;

INSTANTIATE_TEST_SUITE_P(
    Users, LockAccessTest,
    ::testing::Values(AccessCase{"MakesTheLockFile", kDirOpen, std::nullopt, LockStatus::Held},
                      AccessCase{"WritableLockFileInAReadOnlyDirectory", kDirReadOnly, kReadWrite, LockStatus::Held},
                      AccessCase{"NoLockFileInAReadOnlyDirectory", kDirReadOnly, std::nullopt, LockStatus::NoLockFile},
                      AccessCase{"ReadOnlyLockFile", kDirOpen, kReadOnly, LockStatus::NoLockFile},
                      AccessCase{"ReadOnlyLockFileInAReadOnlyDirectory", kDirReadOnly, kReadOnly,
                                 LockStatus::NoLockFile}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
