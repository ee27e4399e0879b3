// The five operations. Each one first settles an interrupted earlier write (archive_guard.h),
// then reads the archive's header and tables itself (mpq_layout.h) and refuses a malformed file
// before StormLib opens it. Reads open the archive read-only, so they never change it; writes
// run inside a rollback journal (save, delete) or behind a backup (compaction).
#include "archive/mpq_control.h"

#include "archive/archive_file.h"
#include "archive/archive_guard.h"
#include "archive/archive_name.h"
#include "archive/mpq_engine.h"
#include "archive/mpq_layout.h"
#include "archive/worker_mpq_engine.h"
#include "support/durable_file.h"
#include "support/text_path.h"

#include <algorithm>
#include <limits>
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

// The archive's path and layout, once any interrupted write is undone and the file passed our check.
struct CheckedArchive {
    fs::path path;
    MpqLayout layout;
};

std::optional<CheckedArchive> CheckArchive(const std::u16string& mpqFileName) {
    if (mpqFileName.empty())
        return std::nullopt;
    CheckedArchive checked;
    checked.path = PathFromText(mpqFileName);
    // Recovery first: an interrupted compaction may have left only the backup behind.
    if (!archive_guard::RecoverArchive(checked.path))
        return std::nullopt;
    std::error_code error;
    if (!fs::is_regular_file(checked.path, error))
        return std::nullopt;
    std::optional<MpqLayout> layout = ReadMpqLayout(checked.path);
    if (!layout)
        return std::nullopt;
    checked.layout = std::move(*layout);
    return checked;
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

// Runs one in-place edit inside a rollback journal: true only when the edit, the check of its
// result and the commit all succeeded; otherwise the archive is put back to its old bytes.
// The edit reports the locale of the entry it changed.
template <typename Edit>
bool EditInJournal(const CheckedArchive& checked, const std::string& name, bool presentAfter, Edit edit) {
    const std::uint64_t tailStart = checked.layout.FirstWritableOffset({name});
    std::unique_ptr<archive_guard::RollbackJournal> journal = archive_guard::RollbackJournal::Begin(
        checked.path, checked.layout.headerOffset, checked.layout.headerSize, tailStart);
    if (!journal)
        return false;
    // The engine's handle is closed inside edit(), before any rollback touches the file.
    std::uint32_t locale = 0;
    if (edit(locale) && locale <= 0xFFFF &&
        EditTouchedOnlyItsEntry(checked, name, static_cast<std::uint16_t>(locale), presentAfter) && journal->Commit()) {
        return true;
    }
    journal->Rollback();
    return false;
}

// Nothing may escape an operation: running out of memory (a buffer for a large file) is a failure
// like any other, after the guards above have put the archive back.
template <typename Body> bool NoThrow(Body body) {
    try {
        return body();
    } catch (...) {
        return false;
    }
}

} // namespace

namespace {

// The frame of the reading operations: our check, StormLib opens read-only, use() does the step,
// and the archive is closed again; a failure anywhere is false.
template <typename Use> bool WithReadOnlyArchive(MpqEngine* engine, const std::u16string& mpqFileName, Use use) {
    return NoThrow([&] {
        if (engine == nullptr)
            return false;
        const std::optional<CheckedArchive> checked = CheckArchive(mpqFileName);
        if (!checked)
            return false;
        OpenedArchive archive(*engine, checked->path, true, checked->layout);
        if (!archive)
            return false;
        const bool used = use(archive, *checked);
        return archive.Close() && used;
    });
}

} // namespace

bool clsMpqControl::FileExistsInMpq(const std::u16string& fileAddress) {
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    return name &&
           WithReadOnlyArchive(m_engine.get(), m_mpqFileName, [&](OpenedArchive& archive, const CheckedArchive&) {
               OpenedFile file(*m_engine, archive.handle(), *name);
               return file && m_engine->FileSize(file.handle()).has_value();
           });
}

bool clsMpqControl::ArchiveOpens() {
    return WithReadOnlyArchive(m_engine.get(), m_mpqFileName,
                               [](OpenedArchive&, const CheckedArchive&) { return true; });
}

bool clsMpqControl::ReadFileFromMpq(const std::u16string& fileAddress, std::vector<std::uint8_t>& arsFile) {
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    return name && WithReadOnlyArchive(
                       m_engine.get(), m_mpqFileName, [&](OpenedArchive& archive, const CheckedArchive& checked) {
                           OpenedFile file(*m_engine, archive.handle(), *name);
                           if (!file)
                               return false;
                           const std::optional<std::uint64_t> size = m_engine->FileSize(file.handle());
                           // An empty file cannot be read; from 2 GiB on a size does not fit the signed 32 bits.
                           if (!size || *size == 0 ||
                               *size > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
                               return false;
                           // Never more than the archive holds: a lying size must not make us allocate gigabytes.
                           if (*size / 4096 > checked.layout.fileSize)
                               return false;
                           arsFile.assign(static_cast<std::size_t>(*size), 0);
                           return m_engine->ReadFile(file.handle(), arsFile.data(), static_cast<std::uint32_t>(*size));
                       });
}

bool clsMpqControl::SaveFileToMpq(const std::u16string& fileAddress, const std::vector<std::uint8_t>& fileContent) {
    return NoThrow([&] {
        const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
        if (!m_engine || !name || fileContent.size() > std::numeric_limits<std::int32_t>::max())
            return false;
        const std::optional<CheckedArchive> checked = CheckArchive(m_mpqFileName);
        if (!checked)
            return false;
        return EditInJournal(*checked, *name, true, [&](std::uint32_t& locale) {
            OpenedArchive archive(*m_engine, checked->path, false, checked->layout);
            if (!archive.Writable())
                return false;
            // Replacing matches name and locale exactly: keep the existing entry's locale, or a
            // second entry appears and the game goes on reading the old one.
            locale = 0;
            {
                OpenedFile existing(*m_engine, archive.handle(), *name);
                if (existing) {
                    const std::optional<std::uint32_t> existingLocale = m_engine->FileLocale(existing.handle());
                    if (!existingLocale)
                        return false;
                    locale = *existingLocale;
                }
            }
            const auto size = static_cast<std::uint32_t>(fileContent.size());
            MpqHandle file = m_engine->CreateFile(archive.handle(), *name, size, locale);
            if (file == nullptr)
                return false;
            // StormLib gets no call for no bytes, and never a null buffer.
            bool written = size == 0 || m_engine->WriteFile(file, fileContent.data(), size);
            if (!m_engine->FinishFile(file))
                written = false;
            return written && m_engine->FlushArchive(archive.handle()) && archive.Close();
        });
    });
}

bool clsMpqControl::DeleteFileFromMpq(const std::u16string& fileAddress) {
    return NoThrow([&] {
        const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
        if (!m_engine || !name)
            return false;
        const std::optional<CheckedArchive> checked = CheckArchive(m_mpqFileName);
        if (!checked)
            return false;
        return EditInJournal(*checked, *name, false, [&](std::uint32_t& locale) {
            OpenedArchive archive(*m_engine, checked->path, false, checked->layout);
            if (!archive.Writable())
                return false;
            {
                // The entry the game reads is the one deleted.
                OpenedFile existing(*m_engine, archive.handle(), *name);
                if (!existing)
                    return false;
                const std::optional<std::uint32_t> existingLocale = m_engine->FileLocale(existing.handle());
                if (!existingLocale)
                    return false;
                locale = *existingLocale;
            }
            return m_engine->RemoveFile(archive.handle(), *name) && m_engine->FlushArchive(archive.handle()) &&
                   archive.Close();
        });
    });
}

bool clsMpqControl::CompressMpq() {
    return NoThrow([&] {
        if (!m_engine)
            return false;
        const std::optional<CheckedArchive> checked = CheckArchive(m_mpqFileName);
        if (!checked)
            return false;
        std::error_code error;
        const fs::perms permissions = fs::status(checked->path, error).permissions();
        if (error)
            return false;

        std::unique_ptr<archive_guard::CompactionBackup> backup = archive_guard::CompactionBackup::Begin(checked->path);
        if (!backup)
            return false;
        bool compacted = [&] {
            OpenedArchive archive(*m_engine, checked->path, false, checked->layout);
            return archive.Writable() && m_engine->CompactArchive(archive.handle()) && archive.Close();
        }();
        if (compacted) {
            // StormLib's new file was created with default permissions; give back the archive's own,
            // then make it durable and prove it opens before the original is let go.
            fs::permissions(checked->path, permissions, error);
            std::unique_ptr<archive_io::File> file =
                archive_io::File::Open(checked->path, archive_io::File::Mode::Read);
            compacted = !error && file && file->Sync() && durable::SyncDirectory(checked->path.parent_path());
            file.reset();
            const std::optional<MpqLayout> layout = compacted ? ReadMpqLayout(checked->path) : std::nullopt;
            compacted = layout.has_value() && HoldsEveryOtherEntry(checked->layout, HeldEntries(*layout), nullptr);
            if (compacted) {
                OpenedArchive reopened(*m_engine, checked->path, true, *layout);
                compacted = reopened && reopened.Close();
            }
        }
        if (compacted && backup->Commit())
            return true;
        backup->Rollback();
        return false;
    });
}
