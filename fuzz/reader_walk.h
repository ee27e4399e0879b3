#pragma once
// Walks our reader over an archive the way the harnesses need it: which names the in-use hash slots
// carry, and one slot's file read to its end in odd-sized pieces, checking on the way what FileReader
// promises (a refusal has a reason; a read never passes Size(); the position moves by exactly what
// was read; nothing reads past the end). A broken promise aborts with a message naming the harness.
// Every read is charged to a budget, so that one input cannot make a harness decode gigabytes.
// Example: std::uint64_t budget = kReadBudget; ReadSlot(file, tables, slot, name, budget, true);
#include "archive/archive_file.h"
#include "archive/format/mpq_reader.h"
#include "fuzz/game_files.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <errno.h>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fuzz {

// Bytes read, stored plus decoded, per input; and the largest file read at all.
constexpr std::uint64_t kReadBudget = 64ull << 20;
constexpr std::uint32_t kLargestFileRead = 64u << 20;

// The message goes to standard error after the program's name ("check_fuzzer: ..."), the line the
// fuzz script shows for a finding.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void Fail(const char* format, ...) {
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::abort();
}

// The names a slot may be read under: the program's own files and the archive's internal ones.
inline const std::vector<std::string>& KnownNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all = GameFileNames();
        for (const char* internal : {"(listfile)", "(attributes)", "(signature)"})
            all.emplace_back(internal);
        return all;
    }();
    return names;
}

// Each in-use slot that a known name's probe chain reaches, with that name (the first one when two
// names share hashes, which only a crafted table does).
inline std::map<std::uint32_t, std::string> NamedSlots(const mpq::ArchiveTables& tables) {
    std::map<std::uint32_t, std::string> named;
    for (const std::string& name : KnownNames()) {
        for (const std::uint32_t slot : mpq::FindNameEntries(tables, name)) {
            if (slot >= tables.hashes.size() || !tables.hashes[slot].InUse())
                Fail("FindNameEntries gave slot %u for %s, not an entry in use", slot, name.c_str());
            named.emplace(slot, name);
        }
    }
    return named;
}

// The slot's file read to its end in pieces of 1, 13, 509, ... bytes (where to start in that list
// follows from the slot). Nullopt when the reader refused the file, or when it is larger than
// kLargestFileRead or than the budget left, so that only bytes read whole are ever compared. The
// bytes are returned when keep is true, else an empty vector.
inline std::optional<std::vector<std::uint8_t>> ReadSlot(archive_io::File& file, const mpq::ArchiveTables& tables,
                                                         std::uint32_t slot, const std::string& name,
                                                         std::uint64_t& budget, bool keep) {
    static constexpr std::array<std::size_t, 6> kPieces = {1, 13, 509, 4093, 65537, 7};
    const mpq::HashEntry& hash = tables.hashes[slot];
    const mpq::BlockEntry& block = tables.blocks[hash.blockIndex];
    const std::uint64_t cost = std::uint64_t{block.storedSize} + block.fileSize;
    if (block.fileSize > kLargestFileRead || cost > budget)
        return std::nullopt;
    budget -= cost;

    mpq::ReadError why = mpq::ReadError::None;
    const std::unique_ptr<mpq::FileReader> reader = mpq::FileReader::Open(file, tables, slot, name, &why);
    if (!reader) {
        if (why == mpq::ReadError::None)
            Fail("FileReader::Open refused slot %u without a reason", slot);
        return std::nullopt;
    }
    const std::uint32_t size = reader->Size();
    if (size != block.fileSize || reader->Locale() != hash.locale || reader->Position() != 0)
        Fail("slot %u opened with size %u, locale %x, position %llu for a block of %u bytes, locale %x", slot, size,
             reader->Locale(), static_cast<unsigned long long>(reader->Position()), block.fileSize, hash.locale);

    std::vector<std::uint8_t> bytes(keep ? size : 0);
    std::vector<std::uint8_t> scratch(keep ? 0 : std::min<std::size_t>(size, 65537));
    std::uint64_t position = 0;
    for (std::size_t turn = slot; position < size; ++turn) {
        const std::size_t count = std::min<std::uint64_t>(kPieces[turn % kPieces.size()], size - position);
        const std::span<std::uint8_t> piece =
            keep ? std::span(bytes).subspan(position, count) : std::span(scratch).first(count);
        why = mpq::ReadError::None;
        if (!reader->Read(piece, &why)) {
            if (why == mpq::ReadError::None)
                Fail("slot %u: a read of %zu bytes at %llu failed without a reason", slot, count,
                     static_cast<unsigned long long>(position));
            if (reader->Position() > size)
                Fail("slot %u: after a refused read the position is %llu of %u", slot,
                     static_cast<unsigned long long>(reader->Position()), size);
            return std::nullopt;
        }
        position += count;
        if (reader->Position() != position)
            Fail("slot %u: after reading to %llu the position is %llu", slot, static_cast<unsigned long long>(position),
                 static_cast<unsigned long long>(reader->Position()));
    }
    std::uint8_t past = 0;
    why = mpq::ReadError::None;
    if (reader->Read(std::span(&past, 1), &why) || why == mpq::ReadError::None || reader->Position() != size)
        Fail("slot %u: a read past the end of %u bytes was not refused with a reason", slot, size);
    if (!reader->Read({}, &why))
        Fail("slot %u: an empty read at the end failed", slot);
    return bytes;
}

} // namespace fuzz
