// The Windows zip as a player gets it: exactly the programs and the read-me at its top level; the
// read-me as Notepad shows it, in English and Chinese, its examples commands the program accepts; each
// program a 64-bit PE needing only Windows' own DLLs, carrying its own version record and manifest
// (read from the PE's resource section as Windows reads it), and running under Wine.
#include "shell.h"
#include "support/utf8_convert.h"
#include "testkit/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using package_test::Output;
using package_test::Quoted;
using package_test::Shell;

const std::vector<std::string> kZipEntries = {"Ostrawen.exe", "ostrawen-cli.exe", "ostrawen-readme.txt"};

// The zip, unpacked once per test program.
const fs::path& Unpacked() {
    static testkit::TempDir dir;
    static const bool done = [] {
        const Output out = Shell("cd " + Quoted(dir.path().string()) + " && " + Quoted(OSTRAWEN_CMAKE) + " -E tar xf " +
                                 Quoted(OSTRAWEN_WINDOWS_ZIP));
        EXPECT_EQ(out.exitCode, 0) << out.text;
        return true;
    }();
    (void)done;
    return dir.path();
}

std::string ReadText(const fs::path& path) {
    const std::vector<std::uint8_t> bytes = testkit::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

struct WineRun {
    int exitCode = -1;
    std::string out; // stdout alone: a --json run's document
    std::string err;
};

// A program of the zip under Wine, in the Windows build's prefix, from an empty working directory.
WineRun RunUnderWine(const std::string& program, const std::vector<std::string>& args) {
    testkit::TempDir cwd;
    const fs::path err = cwd / "stderr";
    std::string command = "cd " + Quoted(cwd.path().string()) + " && WINEPREFIX=" + Quoted(OSTRAWEN_WINEPREFIX) +
                          " timeout 120 " + Quoted(OSTRAWEN_WINE_RUN) + " " + Quoted((Unpacked() / program).string());
    for (const std::string& arg : args)
        command += " " + Quoted(arg);
    const Output run = Shell("{ " + command + " </dev/null 2>" + Quoted(err.string()) + "; }");
    return {run.exitCode, run.text, ReadText(err)};
}

// "/tmp/x" as the Windows programs see it under Wine: "Z:\tmp\x".
std::string WinePath(const fs::path& path) {
    std::string text = "Z:" + path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

// ---- The zip and its read-me ----

TEST(WindowsZip, HoldsExactlyTheProgramsAndTheReadmeAtItsTopLevel) {
    const Output listing = Shell(Quoted(OSTRAWEN_CMAKE) + " -E tar tf " + Quoted(OSTRAWEN_WINDOWS_ZIP));
    ASSERT_EQ(listing.exitCode, 0) << listing.text << " (make package)";
    std::vector<std::string> names;
    std::istringstream lines(listing.text);
    for (std::string line; std::getline(lines, line);)
        names.push_back(line);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, kZipEntries);
}

struct ReadmeRow {
    const char* name;
    // Empty when the read-me has the property, else what is wrong.
    std::function<std::string(const std::string& text)> fault;
};

std::string Lacks(const std::string& text, const std::string& needle) {
    return text.find(needle) == std::string::npos ? "lacks \"" + needle + "\"" : "";
}

void PrintTo(const ReadmeRow& row, std::ostream* out) {
    *out << row.name;
}

class WindowsReadme : public ::testing::TestWithParam<ReadmeRow> {};

TEST_P(WindowsReadme, Has) {
    const std::string text = ReadText(Unpacked() / "ostrawen-readme.txt");
    ASSERT_GT(text.size(), 1000u);
    EXPECT_EQ(GetParam().fault(text), "");
}

const std::string kVersion = std::to_string(OSTRAWEN_VERSION_MAJOR) + "." + std::to_string(OSTRAWEN_VERSION_MINOR) +
                             "." + std::to_string(OSTRAWEN_VERSION_PATCH);

INSTANTIATE_TEST_SUITE_P(
    Rows, WindowsReadme,
    ::testing::Values(
        // Notepad before Windows 10 reads a file without it in the ANSI code page.
        ReadmeRow{"ByteOrderMark",
                  [](const std::string& t) { return t.starts_with("\xEF\xBB\xBF") ? "" : "no UTF-8 byte-order mark"; }},
        ReadmeRow{"CrlfLineEndsOnly",
                  [](const std::string& t) {
                      for (std::size_t i = 0; i < t.size(); ++i) {
                          if (t[i] == '\n' && (i == 0 || t[i - 1] != '\r'))
                              return "a bare LF at byte " + std::to_string(i);
                          if (t[i] == '\r' && (i + 1 == t.size() || t[i + 1] != '\n'))
                              return "a bare CR at byte " + std::to_string(i);
                      }
                      return std::string(t.ends_with("\r\n") ? "" : "no line end at the end");
                  }},
        ReadmeRow{"ValidUtf8",
                  [](const std::string& t) {
                      return modUtf8Convert::Utf8ToText(t).find(u'\uFFFD') == std::u16string::npos ? ""
                                                                                                   : "invalid UTF-8";
                  }},
        ReadmeRow{"English", [](const std::string& t) { return Lacks(t, "Nothing needs to be installed"); }},
        ReadmeRow{"SimplifiedChinese", [](const std::string& t) { return Lacks(t, "无需安装"); }},
        ReadmeRow{"PowerShellForm", [](const std::string& t) { return Lacks(t, ".\\ostrawen-cli.exe"); }},
        ReadmeRow{"ProjectVersion", [](const std::string& t) { return Lacks(t, "Ostrawen " + kVersion + " "); }},
        ReadmeRow{"NoPlaceholderLeft",
                  [](const std::string& t) {
                      return std::string(t.find('@') == std::string::npos ? "" : "an unfilled @...@");
                  }}),
    [](const ::testing::TestParamInfo<ReadmeRow>& info) { return std::string(info.param.name); });

// The read-me's examples: its lines indented by four spaces that start with the program's name.
std::vector<std::vector<std::string>> ReadmeExamples() {
    std::vector<std::vector<std::string>> examples;
    std::istringstream lines(ReadText(Unpacked() / "ostrawen-readme.txt"));
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("    ostrawen-cli.exe "))
            continue;
        std::vector<std::string> args;
        std::string arg;
        bool quoted = false;
        bool any = false;
        for (const char c : line.substr(21)) {
            if (c == '"') {
                quoted = !quoted;
                any = true;
            } else if ((c == ' ' || c == '\r') && !quoted) {
                if (any)
                    args.push_back(arg);
                arg.clear();
                any = false;
            } else {
                arg += c;
                any = true;
            }
        }
        if (any)
            args.push_back(arg);
        if (std::find(examples.begin(), examples.end(), args) == examples.end())
            examples.push_back(args);
    }
    return examples;
}

// Each example, pointed at an empty game directory, is a command line the program takes: it may fail
// to find an archive there, but never with a usage error.
TEST(WindowsReadmeExamples, AreCommandsTheProgramAccepts) {
    const std::vector<std::vector<std::string>> examples = ReadmeExamples();
    ASSERT_GE(examples.size(), 3u);
    EXPECT_NE(std::find(examples.begin(), examples.end(), std::vector<std::string>{"--help"}), examples.end());
    EXPECT_NE(std::find(examples.begin(), examples.end(), std::vector<std::string>{"status"}), examples.end());
    testkit::TempDir game;
    for (std::vector<std::string> args : examples) {
        const auto option = std::find(args.begin(), args.end(), "--game-dir");
        if (option != args.end() && option + 1 != args.end())
            *(option + 1) = WinePath(game.path());
        else
            args.insert(args.begin(), {"--game-dir", WinePath(game.path())});
        const WineRun run = RunUnderWine("ostrawen-cli.exe", args);
        std::string shown;
        for (const std::string& arg : args)
            shown += " " + arg;
        EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1)
            << "ostrawen-cli.exe" << shown << " -> " << run.exitCode << ": " << run.err;
    }
}

// ---- Each program of the zip ----

// Reads little-endian numbers from a byte string; 0 beyond its end, so a short file fails the
// expectations rather than the test program.
struct Bytes {
    const std::string& b;
    std::uint32_t U16(std::size_t at) const {
        return at + 2 <= b.size() ? std::uint8_t(b[at]) | std::uint8_t(b[at + 1]) << 8 : 0;
    }
    std::uint32_t U32(std::size_t at) const { return U16(at) | U16(at + 2) << 16; }
};

struct Resource {
    std::uint32_t type = 0;
    std::int64_t id = -1; // -1: a named resource
    std::uint32_t language = 0;
    std::string data;
};

struct PeImage {
    std::uint32_t machine = 0;
    std::uint32_t magic = 0; // 0x20B: PE32+
    std::vector<Resource> resources;
};

// The resource tree of a PE image as the loader walks it: type, name, language, data.
PeImage ReadPe(const std::string& file) {
    const Bytes b{file};
    PeImage image;
    const std::size_t pe = b.U32(0x3C);
    if (file.compare(0, 2, "MZ") != 0 || file.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
        return image;
    image.machine = b.U16(pe + 4);
    const std::size_t sections = b.U16(pe + 6);
    const std::size_t optional = pe + 24;
    image.magic = b.U16(optional);
    const std::size_t directories = optional + (image.magic == 0x20B ? 112 : 96);
    const std::uint32_t resourceRva = b.U32(directories + 2 * 8);
    const std::size_t table = optional + b.U16(pe + 20);
    const auto offsetOf = [&](std::uint32_t rva) -> std::size_t {
        for (std::size_t i = 0; i < sections; ++i) {
            const std::size_t s = table + 40 * i;
            const std::uint32_t start = b.U32(s + 12);
            if (rva >= start && rva < start + std::max(b.U32(s + 8), b.U32(s + 16)))
                return b.U32(s + 20) + (rva - start);
        }
        return file.size();
    };
    const std::size_t root = offsetOf(resourceRva);
    // Calls back with each entry's id (-1 when named) and its offset from the root, subdirectory bit kept.
    const auto entries = [&](std::size_t directory, const auto& visit) {
        const std::size_t count = b.U16(directory + 12) + b.U16(directory + 14);
        for (std::size_t i = 0; i < count && i < 4096; ++i) {
            const std::uint32_t name = b.U32(directory + 16 + 8 * i);
            visit(name & 0x80000000u ? std::int64_t(-1) : std::int64_t(name), b.U32(directory + 20 + 8 * i));
        }
    };
    entries(root, [&](std::int64_t type, std::uint32_t typeAt) {
        entries(root + (typeAt & 0x7FFFFFFFu), [&](std::int64_t id, std::uint32_t idAt) {
            entries(root + (idAt & 0x7FFFFFFFu), [&](std::int64_t language, std::uint32_t dataAt) {
                const std::size_t entry = root + dataAt;
                const std::size_t at = offsetOf(b.U32(entry));
                const std::size_t size = b.U32(entry + 4);
                Resource r{std::uint32_t(type), id, std::uint32_t(language),
                           at + size <= file.size() ? file.substr(at, size) : std::string()};
                image.resources.push_back(std::move(r));
            });
        });
    });
    return image;
}

// A VS_VERSIONINFO tree flattened: "StringFileInfo/040904B0/OriginalFilename" -> its text (UTF-8),
// "VarFileInfo/Translation" and "" (the root's VS_FIXEDFILEINFO) -> their bytes.
void ReadVersionNode(const std::string& data, std::size_t at, const std::string& path,
                     std::map<std::string, std::string>& values, int depth = 0) {
    const Bytes b{data};
    const std::size_t length = b.U16(at);
    const std::size_t valueLength = b.U16(at + 2);
    const bool text = b.U16(at + 4) == 1;
    std::u16string key;
    std::size_t cursor = at + 6;
    for (; cursor + 2 <= data.size() && b.U16(cursor) != 0; cursor += 2)
        key.push_back(char16_t(b.U16(cursor)));
    cursor = (cursor + 2 + 3) & ~std::size_t(3);
    const std::string here = depth == 0 ? "" : (path.empty() ? "" : path + "/") + modUtf8Convert::TextToUtf8(key);
    const std::size_t valueBytes = text ? valueLength * 2 : valueLength;
    if (text) {
        std::u16string value;
        for (std::size_t i = 0; i + 1 < valueLength; ++i) // the count includes the closing NUL
            value.push_back(char16_t(b.U16(cursor + 2 * i)));
        values[here] = modUtf8Convert::TextToUtf8(value);
    } else if (valueLength > 0) {
        values[here] = data.substr(std::min(cursor, data.size()), valueBytes);
    }
    cursor = (cursor + valueBytes + 3) & ~std::size_t(3);
    while (cursor + 6 <= std::min(at + length, data.size()) && depth < 8) {
        const std::size_t childLength = b.U16(cursor);
        if (childLength == 0)
            break;
        ReadVersionNode(data, cursor, here, values, depth + 1);
        cursor = (cursor + childLength + 3) & ~std::size_t(3);
    }
}

struct ProgramRow {
    const char* name;
    const char* file;
    const char* subsystem; // as objdump -p names it
    std::uint32_t language;
    const char* internalName;
    const char* description;
    std::vector<std::string> manifestHas;
    std::vector<std::string> manifestLacks;
    std::string identityVersion; // the version its own assembly identity gives
};

void PrintTo(const ProgramRow& row, std::ostream* out) {
    *out << row.file;
}

class WindowsProgram : public ::testing::TestWithParam<ProgramRow> {
protected:
    fs::path Path() const { return Unpacked() / GetParam().file; }
    std::vector<Resource> Resources(std::uint32_t type) const {
        std::vector<Resource> found;
        for (Resource& r : ReadPe(ReadText(Path())).resources) {
            if (r.type == type)
                found.push_back(std::move(r));
        }
        return found;
    }
};

// Windows' own DLLs, present on every Windows 7 and later; the MinGW runtimes, zlib and the C++
// library are linked in statically and must not appear.
const std::set<std::string> kWindowsDlls = {
    "advapi32.dll", "bcrypt.dll",   "comctl32.dll", "comdlg32.dll", "crypt32.dll", "dwmapi.dll",   "gdi32.dll",
    "imm32.dll",    "kernel32.dll", "msvcrt.dll",   "ntdll.dll",    "ole32.dll",   "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",   "secur32.dll",  "setupapi.dll", "shell32.dll",  "shlwapi.dll", "user32.dll",   "userenv.dll",
    "uxtheme.dll",  "version.dll",  "winmm.dll",    "ws2_32.dll"};

TEST_P(WindowsProgram, ImportsOnlyWindowsOwnDlls) {
    const Output dump = Shell(Quoted(OSTRAWEN_MINGW_OBJDUMP) + " -p " + Quoted(Path().string()));
    ASSERT_EQ(dump.exitCode, 0) << dump.text;
    std::set<std::string> imports;
    std::istringstream lines(dump.text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t at = line.find("DLL Name: ");
        if (at == std::string::npos)
            continue;
        std::string dll = line.substr(at + 10);
        std::transform(dll.begin(), dll.end(), dll.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        imports.insert(dll);
        EXPECT_TRUE(kWindowsDlls.contains(dll)) << GetParam().file << " imports " << dll;
    }
    EXPECT_TRUE(imports.contains("kernel32.dll")) << "no imports read from " << dump.text.substr(0, 400);
    EXPECT_NE(dump.text.find(GetParam().subsystem), std::string::npos) << "not a " << GetParam().subsystem;
    // Shipped stripped: the debug information is ten times the program.
    const Output sections = Shell(Quoted(OSTRAWEN_MINGW_OBJDUMP) + " -h " + Quoted(Path().string()));
    EXPECT_EQ(sections.text.find(".debug_"), std::string::npos) << sections.text;
}

TEST_P(WindowsProgram, IsA64BitImage) {
    const PeImage image = ReadPe(ReadText(Path()));
    EXPECT_EQ(image.machine, 0x8664u); // IMAGE_FILE_MACHINE_AMD64
    EXPECT_EQ(image.magic, 0x20Bu);    // PE32+
}

TEST_P(WindowsProgram, EmbedsItsManifest) {
    const std::vector<Resource> manifests = Resources(24); // RT_MANIFEST
    ASSERT_EQ(manifests.size(), 1u);
    EXPECT_EQ(manifests[0].id, 1); // CREATEPROCESS_MANIFEST_RESOURCE_ID: the one the loader reads for a program
    EXPECT_EQ(manifests[0].language, GetParam().language);
    const std::string& xml = manifests[0].data;
    EXPECT_TRUE(xml.starts_with("<?xml")) << xml.substr(0, 80);
    EXPECT_TRUE(xml.ends_with("</assembly>\n")) << xml;
    for (const std::string& needle : GetParam().manifestHas)
        EXPECT_NE(xml.find(needle), std::string::npos) << needle;
    for (const std::string& needle : GetParam().manifestLacks)
        EXPECT_EQ(xml.find(needle), std::string::npos) << needle;
    // Every assembly it names is the 64-bit one: a program asking for another machine's does not start.
    const std::string amd64 = "processorArchitecture=\"amd64\"";
    std::size_t named = 0;
    for (std::size_t at = 0; (at = xml.find("processorArchitecture=", at)) != std::string::npos; ++at, ++named)
        EXPECT_EQ(xml.compare(at, amd64.size(), amd64), 0) << xml.substr(at, 40);
    EXPECT_GE(named, 1u);
    EXPECT_NE(xml.find("<assemblyIdentity version=\"" + GetParam().identityVersion + "\""), std::string::npos) << xml;
}

TEST_P(WindowsProgram, CarriesItsVersionRecord) {
    const std::vector<Resource> versions = Resources(16); // RT_VERSION
    ASSERT_EQ(versions.size(), 1u);
    EXPECT_EQ(versions[0].language, GetParam().language);
    std::map<std::string, std::string> values;
    ReadVersionNode(versions[0].data, 0, "", values);

    // The string block Explorer shows is the one the translation names: language and code page.
    const Bytes translation{values["VarFileInfo/Translation"]};
    char block[9];
    std::snprintf(block, sizeof block, "%04X%04X", unsigned(translation.U16(0)), unsigned(translation.U16(2)));
    EXPECT_EQ(translation.U16(0), GetParam().language);
    const std::string prefix = "StringFileInfo/" + std::string(block) + "/";
    char shortVersion[32];
    std::snprintf(shortVersion, sizeof shortVersion, "%d.%02d", OSTRAWEN_VERSION_MAJOR, OSTRAWEN_VERSION_MINOR);
    const std::map<std::string, std::string> expected = {{"OriginalFilename", GetParam().file},
                                                         {"InternalName", GetParam().internalName},
                                                         {"FileDescription", GetParam().description},
                                                         {"ProductName", "Ostrawen - Keldrava"},
                                                         {"FileVersion", shortVersion},
                                                         {"ProductVersion", shortVersion}};
    for (const auto& [key, value] : expected)
        EXPECT_EQ(values[prefix + key], value) << prefix + key;

    // VS_FIXEDFILEINFO: signature, then the file and product version, each as major.minor.patch.0.
    const Bytes fixed{values[""]};
    const std::uint32_t high = std::uint32_t(OSTRAWEN_VERSION_MAJOR) << 16 | OSTRAWEN_VERSION_MINOR;
    const std::uint32_t low = std::uint32_t(OSTRAWEN_VERSION_PATCH) << 16;
    EXPECT_EQ(fixed.U32(0), 0xFEEF04BDu);
    EXPECT_EQ(fixed.U32(8), high);
    EXPECT_EQ(fixed.U32(12), low);
    EXPECT_EQ(fixed.U32(16), high);
    EXPECT_EQ(fixed.U32(20), low);
}

INSTANTIATE_TEST_SUITE_P(
    Zip, WindowsProgram,
    ::testing::Values(ProgramRow{"CommandLine",
                                 "ostrawen-cli.exe",
                                 "(Windows CUI)",
                                 0x0409,
                                 "ostrawen-cli",
                                 "Ostrawen command line",
                                 // As the user who runs it: a script or a service account, elevated or not.
                                 {"level=\"asInvoker\"", "uiAccess=\"false\"",
                                  "<supportedOS Id=\"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}\"/>", // Windows 7
                                  "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>", // Windows 10, 11
                                  ">true</longPathAware>"},
                                 // No window, so no Common-Controls; W calls, so no UTF-8 code page either.
                                 {"Common-Controls", "requireAdministrator", "activeCodePage"},
                                 kVersion + ".0"},
                      ProgramRow{"Window",
                                 "Ostrawen.exe",
                                 "(Windows GUI)",
                                 0x0804,
                                 "Ostrawen",
                                 "Keldrava",
                                 // Administrator rights (game directories are rarely writable
                                 // otherwise), the themed controls, each monitor's own DPI.
                                 {"level=\"requireAdministrator\"", "uiAccess=\"false\"",
                                  "name=\"Microsoft.Windows.Common-Controls\"", "version=\"6.0.0.0\"",
                                  "publicKeyToken=\"6595b64144ccf1df\"", ">PerMonitorV2, PerMonitor</dpiAwareness>",
                                  ">true/pm</dpiAware>"},
                                 {"asInvoker", "activeCodePage"},
                                 "1.0.0.0"}),
    [](const ::testing::TestParamInfo<ProgramRow>& info) { return std::string(info.param.name); });

// ---- The command line runs ----

struct RunRow {
    const char* name;
    std::vector<std::string> args; // "<empty>" stands for an empty directory
    int exitCode;
    std::vector<std::string> needles;
};

void PrintTo(const RunRow& row, std::ostream* out) {
    *out << row.name;
}

class WindowsCommandLineRuns : public ::testing::TestWithParam<RunRow> {};

TEST_P(WindowsCommandLineRuns, UnderWine) {
    testkit::TempDir empty;
    std::vector<std::string> args = GetParam().args;
    std::replace(args.begin(), args.end(), std::string("<empty>"), WinePath(empty.path()));
    const WineRun run = RunUnderWine("ostrawen-cli.exe", args);
    EXPECT_EQ(run.exitCode, GetParam().exitCode) << run.err;
    std::string trimmed = run.out;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r'))
        trimmed.pop_back();
    EXPECT_TRUE(trimmed.starts_with("{") && trimmed.ends_with("}")) << "not one JSON document: " << run.out;
    EXPECT_EQ(trimmed.find('\n'), std::string::npos) << run.out;
    for (const std::string& needle : GetParam().needles)
        EXPECT_NE(run.out.find(needle), std::string::npos) << needle << " in " << run.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, WindowsCommandLineRuns,
                         ::testing::Values(RunRow{"JsonStatusOfAnEmptyDirectory",
                                                  {"--json", "--game-dir", "<empty>", "status"},
                                                  0,
                                                  {"\"command\":\"status\"", "\"name\":\"War3Patch.mpq\"",
                                                   "\"present\":false"}},
                                           RunRow{"JsonUsageError", {"--json", "frobnicate"}, 2, {"\"error\""}}),
                         [](const ::testing::TestParamInfo<RunRow>& info) { return std::string(info.param.name); });

} // namespace
