#pragma once
// One row of the tables that try WriteWholeFile on each kind of thing a path can name, and the run every
// row goes through: make the target in a fresh directory, write to it, then check the row's outcome
// and that the directory holds exactly the row's names (no temporary file left, nothing replaced).
// Each platform's test fills a table with its own kinds (FIFOs and devices here, NUL and reparse
// points there).
#include "support/file_streams.h"
#include "support/text_path.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace write_targets_test {

namespace fs = std::filesystem;

struct TargetCase {
    const char* name;
    // Makes what the path names in dir and gives the path to write; an empty path skips the row
    // (with the reason in *skip).
    std::function<fs::path(const testkit::TempDir& dir, std::string* skip)> make;
    bool written; // WriteWholeFile's result
    // What must hold afterwards, beyond the names in dir being exactly `names`.
    std::function<void(const testkit::TempDir& dir, const std::vector<std::uint8_t>& bytes)> check;
    std::set<fs::path> names;
};

inline void PrintTo(const TargetCase& c, std::ostream* os) {
    *os << c.name;
}

inline std::string RowName(const testing::TestParamInfo<TargetCase>& info) {
    return info.param.name;
}

// A directory, on every system: refused, and still a directory afterwards.
inline TargetCase DirectoryRow() {
    return {"Directory",
            [](const testkit::TempDir& dir, std::string*) {
                fs::create_directory(dir / "folder");
                return dir / "folder";
            },
            false,
            [](const testkit::TempDir& dir, const std::vector<std::uint8_t>&) {
                EXPECT_TRUE(fs::is_directory(dir / "folder"));
            },
            {"folder"}};
}

// Every name in the directory and those below it, as paths relative to it.
inline std::set<fs::path> Names(const fs::path& directory) {
    std::set<fs::path> names;
    for (const auto& entry : fs::recursive_directory_iterator(directory))
        names.insert(entry.path().lexically_relative(directory));
    return names;
}

// Runs the row with these bytes; skips the test when the row cannot make its target here.
inline void WriteToTarget(const TargetCase& row, const std::vector<std::uint8_t>& bytes) {
    testkit::TempDir dir;
    std::string skip;
    const fs::path target = row.make(dir, &skip);
    if (target.empty())
        GTEST_SKIP() << skip;

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(modFileStreams::WriteWholeFile(TextFromPath(target), bytes), row.written);
    // No row may wait on anything: a FIFO nobody reads is refused at once.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    row.check(dir, bytes);
    EXPECT_EQ(Names(dir.path()), row.names) << "a temporary file left behind, or a name replaced";
}

} // namespace write_targets_test
