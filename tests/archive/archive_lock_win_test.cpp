// The archive lock is never inherited by programs its holder starts. Windows only, and checked by
// what it does: a child started with handle inheritance on while the lock is held would keep the
// lock's file open, and with it the lock, after the holder has let go. (lock_inheritance_test.cpp
// checks the same on Linux through /proc.)
#include "archive/archive_file.h"
#include "archive/door/archive_lock.h"
#include "support/command_line_win.h"
#include "support/win32.h"
#include "testkit/child_process.h"
#include "testkit/mpq_fixtures.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace fs = std::filesystem;
using archive_lock::LockStatus;
using std::chrono::milliseconds;

namespace {

// Lives until the test kills it; it only has to hold whatever handles it inherited.
TESTKIT_CHILD_ROLE(SleepHoldingInheritedHandles) {
    ::Sleep(60000);
    return 0;
}

// This program again in a child role, started as a program that passes handles on would start it:
// bInheritHandles TRUE and no list of the handles meant.
class InheritingChild {
public:
    explicit InheritingChild(const std::string& role) {
        std::wstring program(MAX_PATH, L'\0');
        program.resize(::GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size())));
        std::wstring commandLine;
        command_line::AppendQuoted(commandLine, program);
        command_line::AppendQuoted(commandLine, command_line::Widen(testkit::child::detail::kChildFlag + role));
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!program.empty() && ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                                 nullptr, nullptr, &startup, &info)) {
            ::CloseHandle(info.hThread);
            m_process = info.hProcess;
        }
    }
    ~InheritingChild() {
        if (m_process == nullptr)
            return;
        ::TerminateProcess(m_process, 1);
        ::WaitForSingleObject(m_process, INFINITE);
        ::CloseHandle(m_process);
    }
    InheritingChild(const InheritingChild&) = delete;
    InheritingChild& operator=(const InheritingChild&) = delete;

    bool Started() const { return m_process != nullptr; }
    bool Running() const { return ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }

private:
    HANDLE m_process = nullptr;
};

TEST(ArchiveLockTest, ReleasedAlthoughAChildStartedMeanwhileLives) {
    testkit::TempDir dir;
    const fs::path archive = dir / "War3Patch.mpq";
    testkit::BuildArchive(archive, testkit::SampleArchiveFiles(), 1);
    const archive_io::FileIdentity identity = *archive_io::IdentityOf(archive);
    LockStatus status = LockStatus::Failed;
    auto lock = archive_lock::ArchiveLock::Acquire(archive, identity, milliseconds(0), status);
    ASSERT_EQ(status, LockStatus::Held);
    InheritingChild child("SleepHoldingInheritedHandles");
    ASSERT_TRUE(child.Started()) << "CreateProcessW failed: " << ::GetLastError();
    lock.reset();

    // A fresh handle of this process, at once: the lock is free again.
    LockStatus again = LockStatus::Failed;
    auto next = archive_lock::ArchiveLock::Acquire(archive, identity, milliseconds(0), again);
    EXPECT_TRUE(again == LockStatus::Held)
        << (again == LockStatus::Busy ? "the child kept the lock" : "locking failed");
    EXPECT_TRUE(child.Running()) << "the child ended before the check, which then proves nothing";
}

} // namespace
