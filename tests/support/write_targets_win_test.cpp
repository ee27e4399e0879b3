// WriteWholeFile on Windows' kinds of target: the NUL device is written in place (no file made to
// be moved over it, which Windows refuses), a symbolic link (a reparse point) is written through at
// its target and stays a link, a link to nothing is refused, a directory is refused.
#include "write_target_case.h"

#include "support/win32.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace fs = std::filesystem;
using testkit::TempDir;
using write_targets_test::DirectoryRow;
using write_targets_test::RowName;
using write_targets_test::TargetCase;
using write_targets_test::WriteToTarget;

namespace {

bool IsReparsePoint(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A file link that shows as one, or false: the system does not let this process make one, or (Wine)
// makes a host's symbolic link that every Windows call sees as the file it leads to, so that no
// program could tell it from that file.
bool MakeLink(const fs::path& target, const fs::path& link) {
    constexpr DWORD kUnprivileged = 0x2; // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    const bool made = ::CreateSymbolicLinkW(link.c_str(), target.c_str(), kUnprivileged) != 0 ||
                      ::CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) != 0;
    if (made && !IsReparsePoint(link)) {
        fs::remove(link);
        return false;
    }
    return made;
}

class WindowsWriteTarget : public testing::TestWithParam<TargetCase> {};

TEST_P(WindowsWriteTarget, LandsWhereTheNameLeads) {
    WriteToTarget(GetParam(), testkit::Bytes("new bytes"));
}

const TargetCase kWinTargetCases[] = {
    {"NulDevice",
     [](const TempDir& dir, std::string*) { return dir / "NUL"; },
     true,
     [](const TempDir&, const std::vector<std::uint8_t>&) {},
     {}},
    DirectoryRow(),
    {"LinkToFile",
     [](const TempDir& dir, std::string* skip) {
         testkit::WriteFile(dir / "file.bin", "old");
         if (!MakeLink(dir / "file.bin", dir / "link.bin")) {
             *skip = "no symbolic link this process can see as one";
             return fs::path();
         }
         return dir / "link.bin";
     },
     true,
     [](const TempDir& dir, const std::vector<std::uint8_t>& bytes) {
         EXPECT_TRUE(IsReparsePoint(dir / "link.bin"));
         EXPECT_EQ(testkit::ReadFile(dir / "file.bin"), bytes);
     },
     {"file.bin", "link.bin"}},
    {"DanglingLink",
     [](const TempDir& dir, std::string* skip) {
         if (!MakeLink(dir / "missing.bin", dir / "link.bin")) {
             *skip = "no symbolic link this process can see as one";
             return fs::path();
         }
         return dir / "link.bin";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) { EXPECT_FALSE(fs::exists(dir / "missing.bin")); },
     {"link.bin"}},
};

INSTANTIATE_TEST_SUITE_P(WriteWholeFile, WindowsWriteTarget, testing::ValuesIn(kWinTargetCases), RowName);

} // namespace
