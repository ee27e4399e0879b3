#include "archive/mpq_control.h"

#include "archive/archive_name.h"
#include "archive/mpq_engine.h"
#include "support/text_path.h"

#include <limits>

clsMpqControl::clsMpqControl() : m_engine(MakeStormMpqEngine()) {}

clsMpqControl::clsMpqControl(std::shared_ptr<MpqEngine> engine) : m_engine(std::move(engine)) {}

clsMpqControl::~clsMpqControl() = default;

namespace {

// The archive and one file in it, released in reverse order whatever happens.
class OpenedArchive {
public:
    OpenedArchive(MpqEngine& engine, const std::filesystem::path& path, bool readOnly)
        : m_engine(engine), m_archive(engine.OpenArchive(path, readOnly)) {}
    ~OpenedArchive() { Close(); }
    OpenedArchive(const OpenedArchive&) = delete;
    OpenedArchive& operator=(const OpenedArchive&) = delete;

    MpqHandle handle() const { return m_archive; }
    explicit operator bool() const { return m_archive != nullptr; }

    // A failure while closing is a failure of the operation.
    bool Close() {
        if (m_archive == nullptr) return true;
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
        if (m_file != nullptr) m_engine.CloseFile(m_file);
    }
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    MpqHandle handle() const { return m_file; }
    explicit operator bool() const { return m_file != nullptr; }

private:
    MpqEngine& m_engine;
    MpqHandle m_file;
};

} // namespace

bool clsMpqControl::FileExistsInMpq(const std::u16string& fileAddress) {
    if (!m_engine || m_mpqFileName.empty()) return false;
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    if (!name) return false;
    OpenedArchive archive(*m_engine, PathFromText(m_mpqFileName), true);
    if (!archive) return false;
    bool exists = false;
    {
        OpenedFile file(*m_engine, archive.handle(), *name);
        exists = file && m_engine->FileSize(file.handle()).has_value();
    }
    return archive.Close() && exists;
}

bool clsMpqControl::ReadFileFromMpq(const std::u16string& fileAddress, std::vector<std::uint8_t>& arsFile) {
    if (!m_engine || m_mpqFileName.empty()) return false;
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    if (!name) return false;
    OpenedArchive archive(*m_engine, PathFromText(m_mpqFileName), true);
    if (!archive) return false;
    bool read = false;
    {
        OpenedFile file(*m_engine, archive.handle(), *name);
        if (!file) return false;
        const std::optional<std::uint64_t> size = m_engine->FileSize(file.handle());
        // An empty file cannot be read; sizes from 2 GiB on are refused as before.
        if (!size || *size == 0 || *size > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
            return false;
        arsFile.assign(static_cast<std::size_t>(*size), 0);
        read = m_engine->ReadFile(file.handle(), arsFile.data(), static_cast<std::uint32_t>(*size));
    }
    return archive.Close() && read;
}

bool clsMpqControl::SaveFileToMpq(const std::u16string& fileAddress, const std::vector<std::uint8_t>& fileContent) {
    if (!m_engine || m_mpqFileName.empty()) return false;
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    if (!name) return false;
    if (fileContent.size() > std::numeric_limits<std::uint32_t>::max()) return false;
    OpenedArchive archive(*m_engine, PathFromText(m_mpqFileName), false);
    if (!archive || m_engine->IsReadOnly(archive.handle())) return false;

    // Replacing matches name and locale exactly; keep the existing entry's locale.
    std::uint32_t locale = 0;
    {
        OpenedFile existing(*m_engine, archive.handle(), *name);
        if (existing) {
            const std::optional<std::uint32_t> existingLocale = m_engine->FileLocale(existing.handle());
            if (!existingLocale) return false;
            locale = *existingLocale;
        }
    }
    const auto size = static_cast<std::uint32_t>(fileContent.size());
    MpqHandle file = m_engine->CreateFile(archive.handle(), *name, size, locale);
    if (file == nullptr) return false;
    // Never a null buffer, even for no bytes.
    static const std::uint8_t nothing = 0;
    bool written = size == 0 || m_engine->WriteFile(file, fileContent.empty() ? &nothing : fileContent.data(), size);
    if (!m_engine->FinishFile(file)) written = false;
    if (!written) return false;
    if (!m_engine->FlushArchive(archive.handle())) return false;
    return archive.Close();
}

bool clsMpqControl::DeleteFileFromMpq(const std::u16string& fileAddress) {
    if (!m_engine || m_mpqFileName.empty()) return false;
    const std::optional<std::string> name = ArchiveNameFromText(fileAddress);
    if (!name) return false;
    OpenedArchive archive(*m_engine, PathFromText(m_mpqFileName), false);
    if (!archive || m_engine->IsReadOnly(archive.handle())) return false;
    if (!m_engine->RemoveFile(archive.handle(), *name)) return false;
    if (!m_engine->FlushArchive(archive.handle())) return false;
    return archive.Close();
}

bool clsMpqControl::CompressMpq() {
    if (!m_engine || m_mpqFileName.empty()) return false;
    const std::filesystem::path path = PathFromText(m_mpqFileName);
    std::error_code error;
    const std::filesystem::perms permissions = std::filesystem::status(path, error).permissions();
    if (error) return false;
    OpenedArchive archive(*m_engine, path, false);
    if (!archive || m_engine->IsReadOnly(archive.handle())) return false;
    if (!m_engine->CompactArchive(archive.handle())) return false;
    if (!archive.Close()) return false;
    // The engine renames a new file over the archive; give it the archive's permissions back.
    std::filesystem::permissions(path, permissions, error);
    return !error;
}
