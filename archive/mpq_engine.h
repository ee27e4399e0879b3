#pragma once
// The few MPQ engine calls clsMpqControl makes, behind an interface so that tests can make any
// step fail (open, write, flush, close, compaction). MakeOwnMpqEngine() is the real engine.
// Handles are opaque; a null handle means failure. No call throws.
#include "archive/mpq_failure.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using MpqHandle = void*;

class MpqEngine {
public:
    virtual ~MpqEngine() = default;

    // Opens an archive that exists; never creates one. readOnly asks the engine not to write;
    // headerAtStart forbids it to look for the header anywhere but at offset 0.
    virtual MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) = 0;
    // True when the engine holds the archive read-only (it may choose that for a damaged archive).
    virtual bool IsReadOnly(MpqHandle archive) = 0;
    // Writes the archive's tables and internal files and flushes them to the file.
    virtual bool FlushArchive(MpqHandle archive) = 0;
    // The first half of FlushArchive, for an engine that commits by writing the MPQ header last:
    // writes and flushes everything else and gives the header FlushArchive will then write, so that
    // a journal can record it first. An empty header: nothing to commit, or an engine that commits
    // otherwise.
    virtual bool PrepareFlush(MpqHandle archive, std::vector<std::uint8_t>& header) {
        (void)archive;
        header.clear();
        return true;
    }
    // Flushes what is left and releases the handle; the handle is gone even when it fails.
    virtual bool CloseArchive(MpqHandle archive) = 0;

    // Opens the entry the game on a Chinese system reads: the Simplified Chinese one (0x804),
    // else the neutral one, else the first in another locale.
    virtual MpqHandle OpenFile(MpqHandle archive, const std::string& name) = 0;
    virtual std::optional<std::uint64_t> FileSize(MpqHandle file) = 0;
    virtual std::optional<std::uint32_t> FileLocale(MpqHandle file) = 0;
    // Reads exactly size bytes from the start of the file.
    virtual bool ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) = 0;
    virtual bool CloseFile(MpqHandle file) = 0;

    // Creates (or replaces, same name and locale) a compressed file of the given size.
    virtual MpqHandle CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size,
                                 std::uint32_t locale) = 0;
    virtual bool WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) = 0;
    // Completes a created file; releases the handle whatever the result.
    virtual bool FinishFile(MpqHandle file) = 0;

    // Removes the entry OpenFile would open.
    virtual bool RemoveFile(MpqHandle archive, const std::string& name) = 0;
    // Rewrites the archive without unused space; the engine replaces the file on disk. rewritten is
    // false when the archive had nothing to reclaim and the compacted file would have held its very
    // bytes: then the file is left alone (same file, same modification time) and the call succeeds.
    virtual bool CompactArchive(MpqHandle archive, bool& rewritten) = 0;

    // Why the last call that failed did, where the engine knows more than "it failed".
    virtual MpqFailure LastFailure() const { return MpqFailure::EngineFailed; }
    // Receives progress of long calls (compaction, large writes); empty to stop.
    virtual void SetProgress(MpqProgress progress) { (void)progress; }
};

// The engine over our own MPQ reader, writer and compaction (format/).
std::shared_ptr<MpqEngine> MakeOwnMpqEngine();
