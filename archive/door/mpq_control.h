#pragma once
// The program's only door to MPQ archives: five self-contained operations on one archive file.
// Each opens the archive, does one step and closes it again; nothing stays open between calls.
// Writes are crash-safe: after a call (or a crash at any instant) the archive holds either exactly
// its old bytes or the complete new content. A file that does not look like a game archive is
// refused before the MPQ engine ever sees it. A missing archive is never created.
// One operation at a time runs on an archive, across processes (archive_lock.h): another one waits
// up to SetLockWait and then fails with MpqFailure::Locked. An archive reached through a symbolic
// link is read and written at its target; the link stays as it is.
// Each operation may report why it returned false; the class keeps no error state of its own.
#include "archive/mpq_failure.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class MpqEngine;

class clsMpqControl {
public:
    clsMpqControl();
    // For tests: an engine that can fail at chosen steps.
    explicit clsMpqControl(std::shared_ptr<MpqEngine> engine);
    ~clsMpqControl();

    // Full path of the archive file; empty until set.
    const std::u16string& MpqFileName() const { return m_mpqFileName; }
    void SetMpqFileName(std::u16string mpqFileName) { m_mpqFileName = std::move(mpqFileName); }

    // Each operation sets *why (when given) to the reason of a false result.
    bool DeleteFileFromMpq(const std::u16string& fileAddress, MpqFailure* why = nullptr);
    // True when the archive opens and the file is in it (its size can be read).
    bool FileExistsInMpq(const std::u16string& fileAddress, MpqFailure* why = nullptr);
    // The largest file an operation reads or stores: the engine's sizes are signed 32-bit.
    static constexpr std::uint32_t kLargestFile = 0x7FFFFFFF;

    // True and exactly the file's bytes; an empty stored file reads as false. A file larger than
    // maxSize is refused (TooLarge) from its stored size, before any of it is read or allocated.
    bool ReadFileFromMpq(const std::u16string& fileAddress, std::vector<std::uint8_t>& arsFile,
                         MpqFailure* why = nullptr, std::uint32_t maxSize = kLargestFile);
    // Stores the bytes compressed, replacing any file of the same path.
    bool SaveFileToMpq(const std::u16string& fileAddress, const std::vector<std::uint8_t>& fileContent,
                       MpqFailure* why = nullptr);

    // The operations below move a file between the archive and a disk file a piece at a time, at
    // most 1 MiB each, so that no file is ever held whole. A disk file that cannot be read or
    // written fails with DiskFile.
    // Copies the stored file to diskPath as modFileStreams::FileWriter writes (whole or not at all);
    // refused where ReadFileFromMpq refuses, and then nothing is written. *size gets its size.
    bool ExtractFileFromMpq(const std::u16string& fileAddress, const std::u16string& diskPath,
                            MpqFailure* why = nullptr, std::uint64_t* size = nullptr);
    // Stores the disk file as SaveFileToMpq stores bytes. A disk file over kLargestFile bytes is
    // refused (BadArgument), and so is the archive itself, which the write would change under the read.
    bool SaveFileToMpqFromDisk(const std::u16string& fileAddress, const std::u16string& diskPath,
                               MpqFailure* why = nullptr);
    // True when the stored file and the disk file could be compared, byte by byte, with *same set
    // to whether they are equal; the comparison stops at the first difference. Refused where
    // ReadFileFromMpq refuses.
    bool CompareFileInMpq(const std::u16string& fileAddress, const std::u16string& diskPath, bool& same,
                          MpqFailure* why = nullptr);
    // Reads the file through to give its size: true exactly where ReadFileFromMpq would be.
    bool MeasureFileInMpq(const std::u16string& fileAddress, std::uint64_t& size, MpqFailure* why = nullptr);
    // Refused (Linked) for an archive with other hard links, which a new file would split off.
    // *rewritten (when given) is false when the archive had nothing to reclaim: a compaction would
    // have written its very bytes, so it is left alone (same file, same modification time) and the
    // call still succeeds.
    bool CompressMpq(MpqFailure* why = nullptr, bool* rewritten = nullptr);

    // True when the archive opens at all: lets a caller tell "no archive" from "no such file in it",
    // which FileExistsInMpq answers alike.
    bool ArchiveOpens(MpqFailure* why = nullptr);

    // Progress of the engine's long steps, also called while another operation holds the lock; empty to stop.
    void SetProgress(MpqProgress progress);
    // How long an operation waits for another one on the same archive; zero tries once.
    void SetLockWait(std::chrono::milliseconds wait) { m_lockWait = wait; }
    // false: an operation that finds an interrupted write's recovery files fails with PendingRecovery
    // and leaves them, for a caller that only looks. Default true: they are put right first.
    void SetRecovery(bool recover) { m_recover = recover; }
    // Called when recovery found a journal or old backup of ours that did not belong to the archive
    // in place (another archive was copied over it after a crash) and set it aside as
    // "<archive>-journal.<n>" or "<archive>-backup.<n>", leaving the archive as it is; empty to stop.
    void SetSetAsideNotice(std::function<void()> notice) { m_setAsideNotice = std::move(notice); }

private:
    std::u16string m_mpqFileName;
    std::shared_ptr<MpqEngine> m_engine;
    std::chrono::milliseconds m_lockWait{10000};
    bool m_recover = true;
    // Also called while another operation holds the archive's lock.
    MpqProgress m_progress;
    std::function<void()> m_setAsideNotice;
};
