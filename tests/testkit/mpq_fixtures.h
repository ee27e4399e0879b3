#pragma once
// Archives for tests: built with our builder, inspected with the independent smpq tool.
#include "archive/format/mpq_builder.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace testkit {

// A small archive of the game's shape: a few text files, one binary and one empty file.
std::vector<MpqBuilderFile> SampleArchiveFiles();

// Builds the archive or throws.
void BuildArchive(const std::filesystem::path& path, const std::vector<MpqBuilderFile>& files, int formatVersion = 1);

// True when smpq was found at configure time.
bool HaveSmpq();

// The archive's file names as smpq lists them (with '/' as it prints them), sorted; nullopt when it fails.
std::optional<std::vector<std::string>> SmpqList(const std::filesystem::path& archive);

// One file's bytes as smpq extracts them; nullopt when smpq fails or writes nothing.
std::optional<std::vector<std::uint8_t>> SmpqExtract(const std::filesystem::path& archive, const std::string& name);

// Gives the file stored as `from` the name `to` by rewriting the archive's hash table in place, the
// way to make archives whose names StormLib would not let us store (its own "(signature)").
bool RenameInHashTable(const std::filesystem::path& archive, const std::string& from, const std::string& to);

// Gives the archive a valid weak signature, a (signature) file as Blizzard's patch archives carry,
// through StormLib; it needs a free hash table entry. False when StormLib fails.
bool SignArchiveWeakly(const std::filesystem::path& archive);

// The archive's signature as StormLib checks it.
enum class SignatureCheck { None, WeakValid, WeakBroken, Other };
SignatureCheck CheckSignature(const std::filesystem::path& archive);
const char* SignatureCheckName(SignatureCheck check);
inline void PrintTo(SignatureCheck check, std::ostream* out) {
    *out << SignatureCheckName(check);
}

// One entry of an archive StormLib holds open (a HANDLE), read through StormLib in exactly that
// locale; nullopt when StormLib cannot open or read it.
std::optional<std::vector<std::uint8_t>> StormReadEntry(void* archive, const std::string& name, std::uint32_t locale);

// A whole file read in one go (ReadFile's iterator is slow in loops over thousands of files).
std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path);

// Deterministic pseudo-random bytes; text-like when compressible is true.
std::vector<std::uint8_t> PatternBytes(std::size_t size, std::uint32_t seed, bool compressible = true);

} // namespace testkit
