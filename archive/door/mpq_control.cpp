// The five operations. Each one takes the archive's lock for its whole length (archive_lock.h),
// settles an interrupted earlier write under it (archive_guard.h), then reads the archive's header
// and tables itself (mpq_layout.h) and refuses a malformed file before StormLib opens it. Reads
// open the archive read-only, so they never change it; edits run inside a rollback journal, and
// compaction works on a second name of the archive that replaces it only when verified.
#include "archive/door/mpq_control.h"

#include "archive/archive_file.h"
#include "archive/archive_name.h"
#include "archive/door/archive_guard.h"
#include "archive/door/archive_lock.h"
#include "archive/door/mpq_layout.h"
#include "archive/format/mpq_writer.h"
#include "archive/mpq_engine.h"
#include "archive/worker/worker_mpq_engine.h"
#include "support/file_streams.h"
#include "support/text_path.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>
#include <system_error>
#include <tuple>

namespace fs = std::filesystem;

clsMpqControl::clsMpqControl() : m_engine(MakeWorkerMpqEngine()) {}

clsMpqControl::clsMpqControl(std::shared_ptr<MpqEngine> engine) : m_engine(std::move(engine)) {}

clsMpqControl::~clsMpqControl() = default;

namespace {

// The archive opened by the engine, closed whatever happens; a failed close is a failure.
class OpenedArchive {
public:
    OpenedArchive(MpqEngine& engine, const fs::path& path, bool readOnly, const MpqLayout& layout)
        : m_engine(engine), m_archive(engine.OpenArchive(path, readOnly, layout.headerOffset == 0)) {}
    ~OpenedArchive() { Close(); }
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

    MpqHandle handle() const { return m_archive; }
    explicit operator bool() const { return m_archive != nullptr; }
    // StormLib quietly opens an archive it finds damaged read-only; such an archive is not written.
    bool Writable() const { return m_archive != nullptr && !m_engine.IsReadOnly(m_archive); }

    bool Close() {
        if (m_archive == nullptr)
            return true;
        MpqHandle archive = m_archive;
        m_archive = nullptr;
        return m_engine.CloseArchive(archive);
    }

private:
    MpqEngine& m_engine;
    MpqHandle m_archive;
};

class OpenedFile {
public:
    OpenedFile(MpqEngine& engine, MpqHandle archive, const std::string& name)
        : m_engine(engine), m_file(engine.OpenFile(archive, name)) {}
    ~OpenedFile() {
        if (m_file != nullptr)
            m_engine.CloseFile(m_file);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    MpqHandle handle() const { return m_file; }
    explicit operator bool() const { return m_file != nullptr; }

private:
    MpqEngine& m_engine;
    MpqHandle m_file;
};

// One operation's hold on the archive: its real path, its lock (held to the end of the
// operation), what recovery found and the layout our check read.
struct CheckedArchive {
    fs::path path;
    std::unique_ptr<archive_lock::ArchiveLock> lock;
    archive_guard::Recovery recovery;
    MpqLayout layout;
};

enum class Access { Read, Write };

// How long an operation waits for another's lock, what it calls meanwhile, and whether it may put
// an interrupted write right.
struct LockWait {
    std::chrono::milliseconds limit;
    MpqProgress progress;
    bool recover = true;
    std::function<void()> setAside;
};

bool Fail(MpqFailure* why, MpqFailure failure) {
    if (why != nullptr)
        *why = failure;
    return false;
}

// The identity the lock file takes: the archive's.
std::optional<archive_io::FileIdentity> OwnerModel(const fs::path& path) {
    std::error_code error;
    if (fs::is_regular_file(path, error))
        return archive_io::IdentityOf(path);
    return std::nullopt;
}

// Why a caller that only looks cannot go on: an interrupted write of ours to put right first, or
// a player's file under one of our recovery names.
MpqFailure RecoveryFilesFailure(const fs::path& path) {
    return archive_guard::HasOwnRecoveryFiles(path) ? MpqFailure::PendingRecovery : MpqFailure::ForeignFile;
}

std::optional<CheckedArchive> CheckArchive(const std::u16string& mpqFileName, Access access, const LockWait& lockWait,
                                           const std::vector<std::string>& filesToRead, MpqFailure& why) {
    why = MpqFailure::NoArchive;
    if (mpqFileName.empty())
        return std::nullopt;
    CheckedArchive checked;
    // Links are followed to the real file: its directory holds the lock and recovery files, and it
    // is the file a compaction replaces, so the link itself stays a link.
    std::error_code error;
    const fs::path named = PathFromText(mpqFileName);
    checked.path = fs::weakly_canonical(named, error);
    if (error)
        return std::nullopt;
    const std::optional<archive_io::FileIdentity> owner = OwnerModel(checked.path);
    if (!owner)
        return std::nullopt;

    // A file that is no archive gets no lock file beside it: before the first lock, a file that
    // fails our check with no recovery file of ours pending cannot become an archive by recovery.
    if (!fs::exists(fs::symlink_status(archive_lock::LockPath(checked.path), error)) &&
        !ReadMpqLayout(checked.path).has_value() && !archive_guard::HasRecoveryFiles(checked.path)) {
        why = fs::is_regular_file(checked.path, error) ? MpqFailure::Malformed : MpqFailure::NoArchive;
        return std::nullopt;
    }
    archive_lock::LockStatus status = archive_lock::LockStatus::Failed;
    const auto waiting = [&] {
        if (lockWait.progress)
            lockWait.progress(0, 0);
    };
    checked.lock = archive_lock::ArchiveLock::Acquire(checked.path, *owner, lockWait.limit, status, waiting);
    switch (status) {
    case archive_lock::LockStatus::Held:
        break;
    case archive_lock::LockStatus::Busy:
        why = MpqFailure::Locked;
        return std::nullopt;
    case archive_lock::LockStatus::NoLockFile:
        // A directory we may not write: nobody can have left recovery files there since, so a
        // reader goes on without the lock; a writer could not make its own files either.
        if (access == Access::Write) {
            why = MpqFailure::NotWritable;
            return std::nullopt;
        }
        if (archive_guard::HasRecoveryFiles(checked.path)) {
            why = RecoveryFilesFailure(checked.path);
            return std::nullopt;
        }
        break;
    case archive_lock::LockStatus::Failed:
        why = MpqFailure::ForeignFile;
        return std::nullopt;
    }
    if (checked.lock) {
        if (!lockWait.recover && archive_guard::HasRecoveryFiles(checked.path)) {
            why = RecoveryFilesFailure(checked.path);
            return std::nullopt;
        }
        // Under the lock nothing found is a live operation's: an interrupted write is put right.
        checked.recovery = archive_guard::RecoverArchive(checked.path);
        if (checked.recovery.setAside && lockWait.setAside)
            lockWait.setAside();
        if (checked.recovery.failure != MpqFailure::None) {
            why = checked.recovery.failure;
            return std::nullopt;
        }
    }
    if (!fs::is_regular_file(checked.path, error)) {
        why = MpqFailure::NoArchive;
        return std::nullopt;
    }
    std::optional<MpqLayout> layout = ReadMpqLayout(checked.path, filesToRead);
    if (!layout) {
        why = MpqFailure::Malformed;
        return std::nullopt;
    }
    checked.layout = std::move(*layout);
    why = MpqFailure::None;
    return checked;
}

// Whether the layout holds an entry of that name: tells "no such file" from an engine failure.
bool LayoutHolds(const MpqLayout& layout, const std::string& name) {
    return mpq::NameHeld(layout.tables, name);
}

bool IsInternalFile(const MpqLayout::Hash& hash) {
    for (const char* internal : {"(listfile)", "(attributes)"}) {
        if (hash.name1 == MpqHashString(internal, 1) && hash.name2 == MpqHashString(internal, 2))
            return true;
    }
    return false;
}

using EntryKey = std::tuple<std::uint32_t, std::uint32_t, std::uint16_t>;

EntryKey KeyOf(const MpqLayout::Hash& hash) {
    return {hash.name1, hash.name2, hash.locale};
}

// The entries of `after` that lie inside the file, sorted: archives hold tens of thousands of
// files, and checking each old entry against every new one made edits quadratic.
std::vector<EntryKey> HeldEntries(const MpqLayout& after) {
    std::vector<EntryKey> held;
    held.reserve(after.hashes.size());
    for (const MpqLayout::Hash& hash : after.hashes) {
        const MpqLayout::Block& block = after.blocks[hash.blockIndex];
        if ((block.flags & 0x80000000u) != 0 && block.offset <= after.fileSize)
            held.push_back(KeyOf(hash));
    }
    std::sort(held.begin(), held.end());
    return held;
}

bool Holds(const std::vector<EntryKey>& held, const MpqLayout::Hash& wanted) {
    return std::binary_search(held.begin(), held.end(), KeyOf(wanted));
}

// Every file entry of `before` but `except` is still held. StormLib rewrites its own (listfile)
// and (attributes) as it sees fit, so those do not count.
bool HoldsEveryOtherEntry(const MpqLayout& before, const std::vector<EntryKey>& held, const MpqLayout::Hash* except) {
    for (const MpqLayout::Hash& hash : before.hashes) {
        if (except != nullptr && KeyOf(hash) == KeyOf(*except))
            continue;
        if (IsInternalFile(hash) || (before.blocks[hash.blockIndex].flags & 0x80000000u) == 0)
            continue;
        if (!Holds(held, hash))
            return false;
    }
    return true;
}

// After an edit of one entry (name and locale), the archive must pass our check again, hold that
// entry or not as asked, and still hold every other entry it held, at a place inside the file.
// StormLib 9.22 can break the last point on its own: deleting the file stored last leaves an
// empty file's entry pointing past the new end, and StormLib then no longer finds that file.
bool EditTouchedOnlyItsEntry(const CheckedArchive& before, const std::string& name, std::uint16_t locale,
                             bool presentAfter) {
    const std::optional<MpqLayout> after = ReadMpqLayout(before.path);
    if (!after)
        return false;
    MpqLayout::Hash edited;
    edited.name1 = MpqHashString(name, 1);
    edited.name2 = MpqHashString(name, 2);
    edited.locale = locale;
    const std::vector<EntryKey> held = HeldEntries(*after);
    return Holds(held, edited) == presentAfter && HoldsEveryOtherEntry(before.layout, held, &edited);
}

// The engine's reason for its last failure.
MpqFailure EngineFailure(const MpqEngine& engine) {
    const MpqFailure failure = engine.LastFailure();
    return failure == MpqFailure::None ? MpqFailure::EngineFailed : failure;
}

// Runs one in-place edit inside a rollback journal: true only when the edit, the check of its
// result and the commit all succeeded; otherwise the archive is put back to its old bytes.
// The edit reports the locale of the entry it changed, and on failure why it failed; it commits
// through the flush it is given, which records the header the engine is about to write.
template <typename Edit>
bool EditInJournal(MpqEngine& engine, const CheckedArchive& checked, const std::string& name, bool presentAfter,
                   MpqFailure& why, Edit edit) {
    if (checked.recovery.foreignJournal) {
        why = MpqFailure::ForeignFile;
        return false;
    }
    // Only what the engine's plan may overwrite or cut is saved: never a large tail it leaves alone.
    const mpq::WritePlan plan = checked.layout.EditPlan(name, presentAfter);
    std::unique_ptr<archive_guard::RollbackJournal> journal =
        archive_guard::RollbackJournal::Begin(checked.path, checked.layout.headerOffset, checked.layout.headerSize,
                                              plan.overwriteFrom, plan.overwriteTo, plan.reusable, why);
    if (!journal)
        return false;
    const auto flush = [&](MpqHandle archive) {
        std::vector<std::uint8_t> header;
        if (!engine.PrepareFlush(archive, header))
            return false;
        return (header.empty() || journal->RecordCommitHeader(header)) && engine.FlushArchive(archive);
    };
    // The engine's handle is closed inside edit(), before any rollback touches the file.
    std::uint32_t locale = 0;
    why = MpqFailure::EngineFailed;
    if (edit(locale, why, flush) && locale <= 0xFFFF) {
        why = MpqFailure::EngineFailed;
        if (EditTouchedOnlyItsEntry(checked, name, static_cast<std::uint16_t>(locale), presentAfter)) {
            why = MpqFailure::NotWritable;
            if (journal->Commit()) {
                why = MpqFailure::None;
                return true;
            }
        }
    }
    if (!journal->Rollback() && why != MpqFailure::WorkerDied && why != MpqFailure::DiskFull)
        why = MpqFailure::PendingRecovery;
    return false;
}

// Nothing may escape an operation: running out of memory (a buffer for a large file) is a failure
// like any other, after the guards above have put the archive back.
template <typename Body> bool NoThrow(MpqFailure* why, Body body) {
    MpqFailure failure = MpqFailure::None;
    bool done = false;
    try {
        done = body(failure);
    } catch (...) {
        done = false;
        failure = MpqFailure::EngineFailed;
    }
    if (done)
        return true;
    return Fail(why, failure == MpqFailure::None ? MpqFailure::EngineFailed : failure);
}

// The frame of the reading operations: our check, StormLib opens read-only, use() does the step,
// and the archive is closed again; a failure anywhere is false.
template <typename Use>
bool WithReadOnlyArchive(MpqEngine* engine, const std::u16string& mpqFileName, const LockWait& lockWait,
                         const std::vector<std::string>& filesToRead, MpqFailure* why, Use use) {
    return NoThrow(why, [&](MpqFailure& failure) {
        failure = MpqFailure::EngineFailed;
        if (engine == nullptr)
            return false;
        const std::optional<CheckedArchive> checked =
            CheckArchive(mpqFileName, Access::Read, lockWait, filesToRead, failure);
        if (!checked)
            return false;
        OpenedArchive archive(*engine, checked->path, true, checked->layout);
        if (!archive) {
            failure = EngineFailure(*engine);
            return false;
        }
        const bool used = use(archive, *checked, failure);
        if (!archive.Close()) {
            failure = EngineFailure(*engine);
            return false;
        }
        return used;
    });
}

// Transfers go a piece at a time, each one request to the worker: the parent never holds more.
constexpr std::uint32_t kPieceSize = 1u << 20;

// A transfer of more than one piece reports its own progress, bytes done of the whole file: the
// engine only sees the piece at hand, so its reports meanwhile ("waiting, total unknown") are
// replaced by the transfer's. Other reports of the engine (a flush after a write) pass through.
class TransferProgress {
public:
    TransferProgress(MpqEngine& engine, MpqProgress progress, std::uint64_t total)
        : m_engine(engine), m_progress(std::move(progress)), m_total(total) {
        if (!m_progress || total <= kPieceSize)
            return;
        m_engine.SetProgress([this](std::uint64_t done, std::uint64_t engineTotal) {
            if (engineTotal == 0)
                m_progress(m_done, m_total);
            else
                m_progress(done, engineTotal);
        });
        m_active = true;
        m_progress(0, m_total);
    }
    ~TransferProgress() {
        if (m_active)
            m_engine.SetProgress(m_progress);
    }
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    void Advance(std::uint64_t done) {
        m_done = done;
        if (m_active)
            m_progress(m_done, m_total);
    }

private:
    MpqEngine& m_engine;
    MpqProgress m_progress;
    std::uint64_t m_total;
    std::uint64_t m_done = 0;
    bool m_active = false;
};

// The frame of every read of a file's bytes. The stored size is checked first: refused as
// Malformed when it is empty, does not fit the engine's signed 32 bits or is over 4096 times the
// archive's size (a lying size must not make anyone allocate gigabytes), and as TooLarge above the
// caller's limit. Only then is sized(size) told, and take(piece) gets the bytes in order, as the
// worker's reader decodes them (a unit that does not decode fails the read as Malformed). A sink
// returning false ends the read with the reason it set.
template <typename Sized, typename Take>
bool ReadInPieces(MpqEngine* engine, const std::u16string& mpqFileName, const LockWait& lockWait,
                  const std::u16string& fileAddress, std::uint32_t maxSize, MpqFailure* why, Sized sized, Take take) {
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    if (!name)
        return Fail(why, MpqFailure::BadArgument);
    return WithReadOnlyArchive(
        engine, mpqFileName, lockWait, {}, why,
        [&](OpenedArchive& archive, const CheckedArchive& checked, MpqFailure& failure) {
            OpenedFile file(*engine, archive.handle(), *name);
            if (!file) {
                failure = LayoutHolds(checked.layout, *name) ? EngineFailure(*engine) : MpqFailure::NotFound;
                return false;
            }
            const std::optional<std::uint64_t> size = engine->FileSize(file.handle());
            if (!size) {
                failure = EngineFailure(*engine);
                return false;
            }
            failure = MpqFailure::Malformed;
            if (*size == 0 || *size > clsMpqControl::kLargestFile || *size / 4096 > checked.layout.fileSize)
                return false;
            if (*size > maxSize) {
                failure = MpqFailure::TooLarge;
                return false;
            }
            const auto total = static_cast<std::uint32_t>(*size);
            if (!sized(total, failure))
                return false;
            std::vector<std::uint8_t> piece(std::min(total, kPieceSize));
            TransferProgress progress(*engine, lockWait.progress, total);
            for (std::uint32_t done = 0; done < total;) {
                const std::uint32_t length = std::min(total - done, kPieceSize);
                if (!engine->ReadFile(file.handle(), piece.data(), length)) {
                    failure = EngineFailure(*engine);
                    return false;
                }
                if (!take(std::span<const std::uint8_t>(piece.data(), length), failure))
                    return false;
                done += length;
                progress.Advance(done);
            }
            return true;
        });
}

// The frame of every store: the file is created at `size` bytes inside the rollback journal,
// keeping the locale of the entry it replaces, and write(file, failure) puts the bytes. write sets
// failure only for a failure outside the engine; the engine's own reason is asked for after.
template <typename Write>
bool StoreInMpq(MpqEngine& engine, const std::u16string& mpqFileName, const LockWait& lockWait,
                const std::u16string& fileAddress, std::uint32_t size, MpqFailure& failure, Write write) {
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    failure = MpqFailure::BadArgument;
    if (!name)
        return false;
    const std::optional<CheckedArchive> checked = CheckArchive(mpqFileName, Access::Write, lockWait, {}, failure);
    if (!checked)
        return false;
    return EditInJournal(
        engine, *checked, *name, true, failure, [&](std::uint32_t& locale, MpqFailure& editFailure, const auto& flush) {
            OpenedArchive archive(engine, checked->path, false, checked->layout);
            if (!archive.Writable()) {
                editFailure = archive ? MpqFailure::NotWritable : EngineFailure(engine);
                return false;
            }
            // Replacing matches name and locale exactly: keep the existing entry's locale, or a
            // second entry appears and the game goes on reading the old one.
            locale = 0;
            {
                OpenedFile existing(engine, archive.handle(), *name);
                if (existing) {
                    const std::optional<std::uint32_t> existingLocale = engine.FileLocale(existing.handle());
                    if (!existingLocale) {
                        editFailure = EngineFailure(engine);
                        return false;
                    }
                    locale = *existingLocale;
                }
            }
            MpqHandle file = engine.CreateFile(archive.handle(), *name, size, locale);
            if (file == nullptr) {
                editFailure = EngineFailure(engine);
                return false;
            }
            MpqFailure writeFailure = MpqFailure::None;
            bool written = write(file, writeFailure);
            if (!engine.FinishFile(file))
                written = false;
            if (written && flush(archive.handle()) && archive.Close())
                return true;
            editFailure = writeFailure != MpqFailure::None ? writeFailure : EngineFailure(engine);
            return false;
        });
}

} // namespace

void clsMpqControl::SetProgress(MpqProgress progress) {
    m_progress = progress;
    if (m_engine)
        m_engine->SetProgress(std::move(progress));
}

bool clsMpqControl::FileExistsInMpq(const std::u16string& fileAddress, MpqFailure* why) {
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    if (!name)
        return Fail(why, MpqFailure::BadArgument);
    return WithReadOnlyArchive(
        m_engine.get(), m_mpqFileName, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, {}, why,
        [&](OpenedArchive& archive, const CheckedArchive& checked, MpqFailure& failure) {
            OpenedFile file(*m_engine, archive.handle(), *name);
            if (!file) {
                failure = LayoutHolds(checked.layout, *name) ? EngineFailure(*m_engine) : MpqFailure::NotFound;
                return false;
            }
            if (!m_engine->FileSize(file.handle()).has_value()) {
                failure = EngineFailure(*m_engine);
                return false;
            }
            return true;
        });
}

bool clsMpqControl::ArchiveOpens(MpqFailure* why) {
    return WithReadOnlyArchive(m_engine.get(), m_mpqFileName,
                               LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, {}, why,
                               [](OpenedArchive&, const CheckedArchive&, MpqFailure&) { return true; });
}

bool clsMpqControl::ReadFileFromMpq(const std::u16string& fileAddress, std::vector<std::uint8_t>& arsFile,
                                    MpqFailure* why, std::uint32_t maxSize) {
    return ReadInPieces(
        m_engine.get(), m_mpqFileName, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, fileAddress,
        maxSize, why,
        [&](std::uint32_t size, MpqFailure&) {
            arsFile.clear();
            arsFile.reserve(size);
            return true;
        },
        [&](std::span<const std::uint8_t> piece, MpqFailure&) {
            arsFile.insert(arsFile.end(), piece.begin(), piece.end());
            return true;
        });
}

bool clsMpqControl::SaveFileToMpq(const std::u16string& fileAddress, const std::vector<std::uint8_t>& fileContent,
                                  MpqFailure* why) {
    return NoThrow(why, [&](MpqFailure& failure) {
        failure = MpqFailure::BadArgument;
        if (fileContent.size() > kLargestFile)
            return false;
        failure = MpqFailure::EngineFailed;
        if (!m_engine)
            return false;
        const auto size = static_cast<std::uint32_t>(fileContent.size());
        return StoreInMpq(*m_engine, m_mpqFileName, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice},
                          fileAddress, size, failure, [&](MpqHandle file, MpqFailure&) {
                              // StormLib gets no call for no bytes, and never a null buffer.
                              return size == 0 || m_engine->WriteFile(file, fileContent.data(), size);
                          });
    });
}

bool clsMpqControl::DeleteFileFromMpq(const std::u16string& fileAddress, MpqFailure* why) {
    return NoThrow(why, [&](MpqFailure& failure) {
        const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
        failure = MpqFailure::BadArgument;
        if (!name)
            return false;
        failure = MpqFailure::EngineFailed;
        if (!m_engine)
            return false;
        const std::optional<CheckedArchive> checked = CheckArchive(
            m_mpqFileName, Access::Write, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, {}, failure);
        if (!checked)
            return false;
        if (!LayoutHolds(checked->layout, *name)) {
            failure = MpqFailure::NotFound;
            return false;
        }
        return EditInJournal(
            *m_engine, *checked, *name, false, failure,
            [&](std::uint32_t& locale, MpqFailure& editFailure, const auto& flush) {
                OpenedArchive archive(*m_engine, checked->path, false, checked->layout);
                if (!archive.Writable()) {
                    editFailure = archive ? MpqFailure::NotWritable : EngineFailure(*m_engine);
                    return false;
                }
                {
                    // The entry the game reads is the one deleted.
                    OpenedFile existing(*m_engine, archive.handle(), *name);
                    if (!existing) {
                        editFailure = EngineFailure(*m_engine);
                        return false;
                    }
                    const std::optional<std::uint32_t> existingLocale = m_engine->FileLocale(existing.handle());
                    if (!existingLocale) {
                        editFailure = EngineFailure(*m_engine);
                        return false;
                    }
                    locale = *existingLocale;
                }
                if (m_engine->RemoveFile(archive.handle(), *name) && flush(archive.handle()) && archive.Close())
                    return true;
                editFailure = EngineFailure(*m_engine);
                return false;
            });
    });
}

bool clsMpqControl::CompressMpq(MpqFailure* why, bool* rewritten) {
    if (rewritten != nullptr)
        *rewritten = false;
    return NoThrow(why, [&](MpqFailure& failure) {
        failure = MpqFailure::EngineFailed;
        if (!m_engine)
            return false;
        const std::optional<CheckedArchive> checked = CheckArchive(
            m_mpqFileName, Access::Write, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, {}, failure);
        if (!checked)
            return false;
        if (checked->recovery.foreignCompaction) {
            failure = MpqFailure::ForeignFile;
            return false;
        }
        // StormLib compacts a second name of the archive and replaces that name by its new file;
        // the archive itself stays untouched until the verified result is renamed over it.
        std::unique_ptr<archive_guard::Compaction> compaction =
            archive_guard::Compaction::Begin(checked->path, failure);
        if (!compaction)
            return false;
        bool replaced = false;
        {
            OpenedArchive archive(*m_engine, compaction->WorkPath(), false, checked->layout);
            if (!archive.Writable()) {
                failure = archive ? MpqFailure::NotWritable : EngineFailure(*m_engine);
                return false;
            }
            if (!m_engine->CompactArchive(archive.handle(), replaced) || !archive.Close()) {
                failure = EngineFailure(*m_engine);
                return false;
            }
        }
        failure = MpqFailure::EngineFailed;
        // Nothing to reclaim: the work name still is the archive itself, and dropping the compaction
        // removes it; an engine that says so but replaced the file anyway is not believed.
        if (!replaced)
            return !compaction->WorkWasReplaced();
        if (!compaction->WorkWasReplaced())
            return false;
        // The result must pass our check, keep every entry and open before it replaces the archive.
        const std::optional<MpqLayout> layout = ReadMpqLayout(compaction->WorkPath());
        if (!layout || !HoldsEveryOtherEntry(checked->layout, HeldEntries(*layout), nullptr))
            return false;
        {
            OpenedArchive reopened(*m_engine, compaction->WorkPath(), true, *layout);
            if (!reopened || !reopened.Close()) {
                failure = EngineFailure(*m_engine);
                return false;
            }
        }
        if (!compaction->Commit(failure))
            return false;
        if (rewritten != nullptr)
            *rewritten = true;
        return true;
    });
}

bool clsMpqControl::ExtractFileFromMpq(const std::u16string& fileAddress, const std::u16string& diskPath,
                                       MpqFailure* why, std::uint64_t* size) {
    // The disk file is begun only once the stored file passed every check: a refused read leaves
    // whatever is at diskPath as it was. Dropped unfinished, the writer removes its temporary file.
    std::unique_ptr<modFileStreams::FileWriter> target;
    std::uint32_t total = 0;
    const bool read = ReadInPieces(
        m_engine.get(), m_mpqFileName, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, fileAddress,
        kLargestFile, why,
        [&](std::uint32_t stored, MpqFailure& failure) {
            total = stored;
            target = modFileStreams::FileWriter::Begin(diskPath);
            failure = MpqFailure::DiskFile;
            return target != nullptr;
        },
        [&](std::span<const std::uint8_t> piece, MpqFailure& failure) {
            failure = MpqFailure::DiskFile;
            return target->Write(piece);
        });
    if (!read)
        return false;
    if (!target->Commit())
        return Fail(why, MpqFailure::DiskFile);
    if (size != nullptr)
        *size = total;
    return true;
}

bool clsMpqControl::SaveFileToMpqFromDisk(const std::u16string& fileAddress, const std::u16string& diskPath,
                                          MpqFailure* why) {
    return NoThrow(why, [&](MpqFailure& failure) {
        // The disk file first: one that cannot be read leaves the archive untouched, lock file and all.
        const std::unique_ptr<modFileStreams::FileReader> source = modFileStreams::FileReader::Open(diskPath);
        failure = MpqFailure::DiskFile;
        if (!source)
            return false;
        failure = MpqFailure::BadArgument;
        std::error_code error;
        if (source->Size() > kLargestFile || fs::equivalent(PathFromText(diskPath), PathFromText(m_mpqFileName), error))
            return false;
        failure = MpqFailure::EngineFailed;
        if (!m_engine)
            return false;
        const auto size = static_cast<std::uint32_t>(source->Size());
        std::vector<std::uint8_t> piece(std::min(size, kPieceSize));
        return StoreInMpq(*m_engine, m_mpqFileName, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice},
                          fileAddress, size, failure, [&](MpqHandle file, MpqFailure& writeFailure) {
                              TransferProgress progress(*m_engine, m_progress, size);
                              for (std::uint32_t done = 0; done < size;) {
                                  const std::uint32_t length = std::min(size - done, kPieceSize);
                                  if (!source->Read(std::span(piece).first(length))) {
                                      writeFailure = MpqFailure::DiskFile;
                                      return false;
                                  }
                                  if (!m_engine->WriteFile(file, piece.data(), length))
                                      return false;
                                  done += length;
                                  progress.Advance(done);
                              }
                              return true;
                          });
    });
}

bool clsMpqControl::CompareFileInMpq(const std::u16string& fileAddress, const std::u16string& diskPath, bool& same,
                                     MpqFailure* why) {
    same = false;
    const std::unique_ptr<modFileStreams::FileReader> source = modFileStreams::FileReader::Open(diskPath);
    if (!source)
        return Fail(why, MpqFailure::DiskFile);
    // A difference ends the read early; it is an answer, not a failure.
    bool differs = false;
    std::vector<std::uint8_t> disk;
    MpqFailure failure = MpqFailure::None;
    const bool read = ReadInPieces(
        m_engine.get(), m_mpqFileName, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, fileAddress,
        kLargestFile, &failure,
        [&](std::uint32_t size, MpqFailure&) {
            differs = size != source->Size();
            return !differs;
        },
        [&](std::span<const std::uint8_t> piece, MpqFailure& pieceFailure) {
            disk.resize(piece.size());
            if (!source->Read(disk)) {
                pieceFailure = MpqFailure::DiskFile;
                return false;
            }
            differs = !std::equal(piece.begin(), piece.end(), disk.begin());
            return !differs;
        });
    if (differs)
        return true;
    if (!read)
        return Fail(why, failure);
    same = true;
    return true;
}

bool clsMpqControl::MeasureFileInMpq(const std::u16string& fileAddress, std::uint64_t& size, MpqFailure* why) {
    std::uint32_t total = 0;
    const bool read = ReadInPieces(
        m_engine.get(), m_mpqFileName, LockWait{m_lockWait, m_progress, m_recover, m_setAsideNotice}, fileAddress,
        kLargestFile, why,
        [&](std::uint32_t stored, MpqFailure&) {
            total = stored;
            return true;
        },
        [](std::span<const std::uint8_t>, MpqFailure&) { return true; });
    if (read)
        size = total;
    return read;
}
