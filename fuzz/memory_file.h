#pragma once
// An archive_io::File over bytes in memory, for harnesses that hand arbitrary bytes to code that
// reads archives. Reads past the bytes see zeros up to the claimed size, so a short input can pose
// as a large, mostly empty file. Writing is a fault: whoever is given this file only reads.
#include "archive/archive_file.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <span>

class MemoryFile final : public archive_io::File {
public:
    MemoryFile(std::span<const std::uint8_t> bytes, std::uint64_t size) : m_bytes(bytes), m_size(size) {}

    std::optional<archive_io::FileIdentity> Identity() override { return std::nullopt; }
    bool TakeOwnerAndMode(const archive_io::FileIdentity&) override { Refuse("changed the owner of"); }
    archive_io::IoFailure LastFailure() const override { return archive_io::IoFailure::Other; }

    std::optional<std::uint64_t> Size() override { return m_size; }

    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        if (offset > m_size || bytes.size() > m_size - offset)
            return false;
        std::fill(bytes.begin(), bytes.end(), std::uint8_t{0});
        if (offset < m_bytes.size()) {
            const std::size_t count = std::min<std::uint64_t>(bytes.size(), m_bytes.size() - offset);
            std::copy_n(m_bytes.begin() + static_cast<std::ptrdiff_t>(offset), count, bytes.begin());
        }
        return true;
    }

    bool WriteAt(std::uint64_t, std::span<const std::uint8_t>) override { Refuse("wrote"); }
    bool Truncate(std::uint64_t) override { Refuse("truncated"); }
    bool Sync() override { Refuse("synced"); }

private:
    [[noreturn]] static void Refuse(const char* what) {
        std::fprintf(stderr, "a reader %s the archive it was given\n", what);
        std::abort();
    }

    std::span<const std::uint8_t> m_bytes;
    std::uint64_t m_size;
};
