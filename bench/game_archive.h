#pragma once
// Game-like MPQ archives for the benchmark: many zlib-compressed files from 200 B to 2 MB, most of
// them small (sizes drawn from a log-normal curve, as in the game's own archives), with content
// that compresses to roughly half, plus the files the program edits:
//   UI\FrameDef\GlobalStrings.fdf   about 48 KB of UTF-8 text with a GAMENAME entry
//   UI\war3skins.txt                a small text file, the read target
//   Sound\Music\mp3Music\War3XMainScreen.mp3   5 MB that does not compress, the resource to replace
// Everything comes from a fixed seed, so the same shape gives the same files on every run.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

inline constexpr char kGlobalStringsName[] = "UI\\FrameDef\\GlobalStrings.fdf";
inline constexpr char kSmallFileName[] = "UI\\war3skins.txt";
inline constexpr char kResourceName[] = "Sound\\Music\\mp3Music\\War3XMainScreen.mp3";
inline constexpr std::size_t kResourceBytes = 5u << 20;

struct ArchiveShape {
    std::uint64_t targetBytes = 0; // size of the archive on disk, roughly
    std::size_t fileCount = 0;     // files including the three above, without (listfile) and (attributes)
    std::uint64_t seed = 0;
};

// The raw sizes of the ordinary files (fileCount - 3 of them), clamped to [200 B, 2 MB], whose sum
// is rawTotal as nearly as the clamps allow.
std::vector<std::uint32_t> PlanFileSizes(std::size_t count, std::uint64_t rawTotal, std::uint64_t seed);

// The special files' contents, the same for every archive.
std::vector<std::uint8_t> GlobalStringsContent();
std::vector<std::uint8_t> SmallFileContent();
// The resource in the archive (variant 0) and the one that replaces it (variant 1).
std::vector<std::uint8_t> ResourceContent(int variant);

// Writes a format-1 archive of the given shape; false when StormLib fails or the shape is impossible.
bool GenerateGameArchive(const std::filesystem::path& path, const ArchiveShape& shape);

} // namespace bench
