// What each Debian package holds, file by file, and the control fields a Debian archive sorts it by.
#include "unpacked_packages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace packaging_test;

enum class Kind {
    Program, // an ELF executable
    Gzipped, // gzip -9n of `source`: no file name, no time stamp inside
    CopyOf,  // the bytes of `source`
};

struct PackagedFile {
    const char* package;
    const char* path; // inside the package's root
    Kind kind;
    const char* source; // in the source tree, for Gzipped and CopyOf
};

void PrintTo(const PackagedFile& row, std::ostream* out) {
    *out << row.package << ": " << row.path;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const PackagedFile kFiles[] = {
    {"ostrawen-cli", "usr/bin/ostrawen-cli", Kind::Program, ""},
    {"ostrawen-cli", "usr/share/man/man1/ostrawen-cli.1.gz", Kind::Gzipped, "cli/ostrawen-cli.1"},
    {"ostrawen-cli", "usr/share/doc/ostrawen-cli/copyright", Kind::CopyOf, "packaging/copyright"},
    {"ostrawen-cli", "usr/share/doc/ostrawen-cli/changelog.gz", Kind::Gzipped, "packaging/changelog"},
    {"ostrawen-cli", "usr/share/bash-completion/completions/ostrawen-cli", Kind::CopyOf,
     "packaging/completions/ostrawen-cli.bash"},
    {"ostrawen-cli", "usr/share/zsh/vendor-completions/_ostrawen-cli", Kind::CopyOf,
     "packaging/completions/_ostrawen-cli"},
    {"ostrawen-cli", "usr/share/lintian/overrides/ostrawen-cli", Kind::CopyOf, "packaging/lintian/ostrawen-cli"},
    {"ostrawen", "usr/bin/ostrawen", Kind::Program, ""},
    {"ostrawen", "usr/share/man/man1/ostrawen.1.gz", Kind::Gzipped, "app/ostrawen.1"},
    {"ostrawen", "usr/share/doc/ostrawen/copyright", Kind::CopyOf, "packaging/copyright"},
    {"ostrawen", "usr/share/doc/ostrawen/changelog.gz", Kind::Gzipped, "packaging/changelog"},
    {"ostrawen", "usr/share/lintian/overrides/ostrawen", Kind::CopyOf, "packaging/lintian/ostrawen"},
    {"ostrawen", "usr/share/applications/io.github.ostrawen.Ostrawen.desktop", Kind::CopyOf,
     "resources/io.github.ostrawen.Ostrawen.desktop"},
    {"ostrawen", "usr/share/metainfo/io.github.ostrawen.Ostrawen.metainfo.xml", Kind::CopyOf,
     "resources/io.github.ostrawen.Ostrawen.metainfo.xml"},
    {"ostrawen", "usr/share/icons/hicolor/scalable/apps/ostrawen.svg", Kind::CopyOf, "resources/ostrawen.svg"},
    {"ostrawen", "usr/share/icons/hicolor/16x16/apps/ostrawen.png", Kind::CopyOf, "resources/ostrawen-16.png"},
    {"ostrawen", "usr/share/icons/hicolor/32x32/apps/ostrawen.png", Kind::CopyOf, "resources/ostrawen-32.png"},
    {"ostrawen", "usr/share/icons/hicolor/48x48/apps/ostrawen.png", Kind::CopyOf, "resources/ostrawen-48.png"},
};

class PackagedFileTest : public testing::TestWithParam<PackagedFile> {};

TEST_P(PackagedFileTest, IsInPlaceAsDebianShipsIt) {
    const PackagedFile& row = GetParam();
    if (std::string(row.package) == "ostrawen" && !OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const UnpackedPackage& package = Unpacked(row.package);
    ASSERT_EQ(package.problem, "");
    const fs::path file = package.root / row.path;
    ASSERT_TRUE(fs::is_regular_file(file)) << row.path << " missing from " << package.deb;
    // Lintian refuses files that only their owner may read, and programs nobody may run.
    const fs::perms perms = fs::status(file).permissions();
    EXPECT_NE(perms & fs::perms::others_read, fs::perms::none) << row.path;
    EXPECT_EQ(perms & (fs::perms::group_write | fs::perms::others_write), fs::perms::none) << row.path;
    const std::string bytes = ReadText(file);
    switch (row.kind) {
    case Kind::Program:
        EXPECT_TRUE(bytes.starts_with("\x7f"
                                      "ELF"))
            << row.path;
        EXPECT_NE(perms & fs::perms::others_exec, fs::perms::none) << row.path;
        break;
    case Kind::Gzipped: {
        ASSERT_GE(bytes.size(), 10u);
        EXPECT_EQ(bytes.substr(0, 2), "\x1f\x8b") << row.path;
        // Flag byte: no original name stored (bit 3); bytes 4-7: no time stamp; byte 8: best compression.
        EXPECT_EQ(static_cast<unsigned char>(bytes[3]) & 0x08, 0) << row.path << " keeps the file's name";
        EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\0')) << row.path << " keeps a time stamp";
        EXPECT_EQ(static_cast<unsigned char>(bytes[8]), 2) << row.path << " not compressed with -9";
        const Output plain = Shell("zcat " + Quoted(file.string()));
        EXPECT_EQ(plain.exitCode, 0) << plain.text;
        EXPECT_EQ(plain.text, ReadText(fs::path(OSTRAWEN_SOURCE_DIR) / row.source)) << row.path;
        break;
    }
    case Kind::CopyOf:
        EXPECT_EQ(bytes, ReadText(fs::path(OSTRAWEN_SOURCE_DIR) / row.source)) << row.path;
        break;
    }
}

// "ostrawen-cli", "usr/share/man/man1/ostrawen-cli.1.gz" -> "ostrawen_cli_man_man1_ostrawen_cli_1_gz"
std::string RowName(const std::string& package, std::string path) {
    for (const std::string prefix : {"usr/share/", "usr/"})
        if (path.starts_with(prefix))
            path = path.substr(prefix.size());
    std::string name = path.empty() ? package : package + "_" + path;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Packages, PackagedFileTest, testing::ValuesIn(kFiles),
                         [](const testing::TestParamInfo<PackagedFile>& info) {
                             return RowName(info.param.package, info.param.path);
                         });

// Every file of a package is one the table above expects there: a file installed into the wrong
// component (a desktop entry in the command line's package) or twice shows up here.
class PackageFileListTest : public testing::TestWithParam<std::string> {};

TEST_P(PackageFileListTest, HoldsExactlyTheExpectedFiles) {
    const std::string& name = GetParam();
    const UnpackedPackage& package = Unpacked(name);
    ASSERT_EQ(package.problem, "");
    std::set<std::string> expected;
    for (const PackagedFile& row : kFiles)
        if (row.package == name)
            expected.insert(row.path);
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(package.root))
        if (!entry.is_directory())
            found.insert(fs::relative(entry.path(), package.root).generic_string());
    EXPECT_EQ(found, expected);
}

INSTANTIATE_TEST_SUITE_P(Packages, PackageFileListTest, testing::ValuesIn(PackageNames()),
                         [](const testing::TestParamInfo<std::string>& info) { return RowName(info.param, ""); });

struct ControlRow {
    const char* package;
    const char* field;
    std::string expected;
};

void PrintTo(const ControlRow& row, std::ostream* out) {
    *out << row.package << ": " << row.field;
}

class ControlFieldTest : public testing::TestWithParam<ControlRow> {};

TEST_P(ControlFieldTest, HasTheExpectedValue) {
    const ControlRow& row = GetParam();
    if (std::string(row.package) == "ostrawen" && !OSTRAWEN_WITH_GUI)
        GTEST_SKIP() << "built without the window";
    const UnpackedPackage& package = Unpacked(row.package);
    ASSERT_EQ(package.problem, "");
    EXPECT_EQ(ControlField(package.deb, row.field), row.expected);
}

// Both programs live in /usr/bin: the section is utils (games is for what /usr/games holds). Both
// come from one source, whose changelog both carry.
const ControlRow kControlRows[] = {
    {"ostrawen-cli", "Package", "ostrawen-cli"}, {"ostrawen-cli", "Section", "utils"},
    {"ostrawen-cli", "Source", "ostrawen"},      {"ostrawen-cli", "Version", OSTRAWEN_VERSION},
    {"ostrawen", "Package", "ostrawen"},         {"ostrawen", "Section", "utils"},
    {"ostrawen", "Source", "ostrawen"},          {"ostrawen", "Version", OSTRAWEN_VERSION},
};

INSTANTIATE_TEST_SUITE_P(Packages, ControlFieldTest, testing::ValuesIn(kControlRows),
                         [](const testing::TestParamInfo<ControlRow>& info) {
                             return RowName(info.param.package, std::string("/") + info.param.field);
                         });

} // namespace
