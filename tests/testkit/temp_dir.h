#pragma once
// A fresh directory per test, removed with everything in it when the object goes.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testkit {

// Where a test states how Windows really behaves differently (file modes, names), it asks this.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& relative) const { return m_path / relative; }

private:
    std::filesystem::path m_path;
};

void WriteFile(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes);
void WriteFile(const std::filesystem::path& path, std::string_view bytes);
std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path);
std::vector<std::uint8_t> Bytes(std::string_view text);

// Sets an environment variable for the scope, restoring the old value after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    bool m_hadValue;
    std::string m_oldValue;
};

} // namespace testkit
