// The archive lock is never inherited by programs its holder starts (the worker). Linux only: it
// reads the child's descriptors from /proc. Windows has no such listing; archive_lock_win_test.cpp
// checks the same by what an inheriting child does to the lock.
#include "archive/archive_file.h"
#include "archive/door/archive_lock.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

TEST(ArchiveLockTest, NotInheritedByPrograms) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    archive_lock::LockStatus status = archive_lock::LockStatus::Failed;
    auto lock = archive_lock::ArchiveLock::Acquire(archive, *archive_io::IdentityOf(archive), milliseconds(0), status);
    ASSERT_EQ(status, archive_lock::LockStatus::Held);
    FILE* pipe = popen("ls -l /proc/self/fd/", "r");
    ASSERT_NE(pipe, nullptr);
    std::string listing;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe) != nullptr)
        listing += chunk;
    pclose(pipe);
    EXPECT_NE(listing.find("->"), std::string::npos) << "no descriptors listed";
    EXPECT_EQ(listing.find(archive_lock::LockPath(archive).string()), std::string::npos) << listing;
}

} // namespace
