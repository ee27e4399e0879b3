#pragma once
// The Debian packages the build's packaging step wrote, each unpacked once per test program into a
// root of its own, as dpkg would lay it out. Example: Unpacked("ostrawen-cli").root / "usr/bin/ostrawen-cli".
#include "cli/shell.h"
#include "testkit/temp_dir.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace packaging_test {

namespace fs = std::filesystem;
using package_test::Output;
using package_test::Quoted;
using package_test::Shell;

// Both packages, the window's only when it was built.
inline std::vector<std::string> PackageNames() {
    std::vector<std::string> names{"ostrawen-cli"};
    if (OSTRAWEN_WITH_GUI)
        names.push_back("ostrawen");
    return names;
}

struct UnpackedPackage {
    fs::path deb;        // empty when the packaging step wrote none
    fs::path root;       // where its files were unpacked
    std::string problem; // why it could not be unpacked, else empty
};

// The package <name>_<version>_<arch>.deb in the packages folder.
inline fs::path FindPackage(const std::string& name) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(OSTRAWEN_PACKAGE_DIR, error)) {
        const std::string file = entry.path().filename().string();
        if (file.starts_with(name + "_") && file.ends_with(".deb"))
            return entry.path();
    }
    return {};
}

inline const UnpackedPackage& Unpacked(const std::string& name) {
    static testkit::TempDir scratch;
    static std::map<std::string, UnpackedPackage> unpacked;
    const auto found = unpacked.find(name);
    if (found != unpacked.end())
        return found->second;
    UnpackedPackage package;
    package.deb = FindPackage(name);
    package.root = scratch / name;
    if (package.deb.empty()) {
        package.problem = "no " + name + " package in " OSTRAWEN_PACKAGE_DIR " (make package)";
    } else {
        const Output out = Shell("dpkg-deb -x " + Quoted(package.deb.string()) + " " + Quoted(package.root.string()));
        if (out.exitCode != 0)
            package.problem = "dpkg-deb -x failed: " + out.text;
    }
    return unpacked.emplace(name, package).first->second;
}

// One control field of the package, without the line end; empty when it has none.
inline std::string ControlField(const fs::path& deb, const std::string& field) {
    std::string value = Shell("dpkg-deb -f " + Quoted(deb.string()) + " " + Quoted(field)).text;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r'))
        value.pop_back();
    return value;
}

} // namespace packaging_test
