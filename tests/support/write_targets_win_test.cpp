// WriteWholeFile on Windows' kinds of target: the NUL device is written in place (no file made to
// be moved over it, which Windows refuses), a symbolic link (a reparse point) is written through at
// its target and stays a link, a link to nothing is refused, a directory is refused.
#include "support/file_streams.h"

#include "support/text_path.h"
#include "support/win32.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

namespace fs = std::filesystem;
using modFileStreams::WriteWholeFile;
using testkit::TempDir;

namespace {

std::set<fs::path> Names(const fs::path& directory) {
    std::set<fs::path> names;
    for (const auto& entry : fs::directory_iterator(directory))
        names.insert(entry.path().filename());
    return names;
}

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

struct WinTargetCase {
    const char* name;
    // Makes the target in dir and gives the path to write; empty to skip the row, *skip saying why.
    std::function<fs::path(const TempDir& dir, std::string* skip)> make;
    bool written;
    std::function<void(const TempDir& dir, const std::vector<std::uint8_t>& bytes)> check;
    std::set<fs::path> names;
};

void PrintTo(const WinTargetCase& c, std::ostream* os) {
    *os << c.name;
}

class WindowsWriteTarget : public testing::TestWithParam<WinTargetCase> {};

TEST_P(WindowsWriteTarget, LandsWhereTheNameLeads) {
    const WinTargetCase& row = GetParam();
    TempDir dir;
    std::string skip;
    const fs::path target = row.make(dir, &skip);
    if (target.empty())
        GTEST_SKIP() << skip;
    const std::vector<std::uint8_t> bytes = testkit::Bytes("new bytes");
    EXPECT_EQ(WriteWholeFile(TextFromPath(target), bytes), row.written);
    row.check(dir, bytes);
    EXPECT_EQ(Names(dir.path()), row.names);
}

const WinTargetCase kWinTargetCases[] = {
    {"NulDevice",
     [](const TempDir& dir, std::string*) { return dir / "NUL"; },
     true,
     [](const TempDir&, const std::vector<std::uint8_t>&) {},
     {}},
    {"Directory",
     [](const TempDir& dir, std::string*) {
         fs::create_directory(dir / "folder");
         return dir / "folder";
     },
     false,
     [](const TempDir& dir, const std::vector<std::uint8_t>&) { EXPECT_TRUE(fs::is_directory(dir / "folder")); },
     {"folder"}},
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

INSTANTIATE_TEST_SUITE_P(WriteWholeFile, WindowsWriteTarget, testing::ValuesIn(kWinTargetCases),
                         [](const testing::TestParamInfo<WinTargetCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
