// MpqEngine over our own reader. An archive opened read-only is read by mpq_reader alone; one
// opened to be written still goes to StormLib until our writer takes its place.
#include "archive/archive_file.h"
#include "archive/format/mpq_reader.h"
#include "archive/mpq_engine.h"

#include <memory>

namespace {

MpqFailure FailureOf(mpq::ReadError error) {
    switch (error) {
    case mpq::ReadError::None:
        return MpqFailure::None;
    case mpq::ReadError::NotFound:
        return MpqFailure::NotFound;
    case mpq::ReadError::Io:
        return MpqFailure::EngineFailed;
    default:
        return MpqFailure::Malformed;
    }
}

class OwnMpqEngine final : public MpqEngine {
public:
    OwnMpqEngine() : m_writer(MakeStormMpqEngine()) {}

    MpqFailure LastFailure() const override { return m_failure; }

    void SetProgress(MpqProgress progress) override { m_writer->SetProgress(std::move(progress)); }

    MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) override {
        auto archive = std::make_unique<Archive>();
        if (!readOnly) {
            archive->storm = m_writer->OpenArchive(path, false, headerAtStart);
            return archive->storm == nullptr ? WriterFailed<MpqHandle>(nullptr) : archive.release();
        }
        archive_io::IoFailure ioFailure = archive_io::IoFailure::None;
        archive->file = archive_io::File::Open(path, archive_io::File::Mode::Read, &ioFailure);
        if (!archive->file)
            return Fail<MpqHandle>(ioFailure == archive_io::IoFailure::Missing ? MpqFailure::NoArchive
                                                                               : MpqFailure::EngineFailed,
                                   nullptr);
        mpq::ReadError why = mpq::ReadError::None;
        std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(*archive->file, headerAtStart, &why);
        if (!tables)
            return Fail<MpqHandle>(FailureOf(why), nullptr);
        archive->tables = std::move(*tables);
        return archive.release();
    }

    bool IsReadOnly(MpqHandle handle) override {
        const Archive* archive = AsArchive(handle);
        return archive->storm == nullptr || m_writer->IsReadOnly(archive->storm);
    }

    bool FlushArchive(MpqHandle handle) override {
        Archive* archive = AsArchive(handle);
        if (archive->storm == nullptr)
            return true;
        return m_writer->FlushArchive(archive->storm) || WriterFailed(false);
    }

    bool CloseArchive(MpqHandle handle) override {
        std::unique_ptr<Archive> archive(AsArchive(handle));
        if (archive->storm == nullptr)
            return true;
        return m_writer->CloseArchive(archive->storm) || WriterFailed(false);
    }

    MpqHandle OpenFile(MpqHandle handle, const std::string& name) override {
        Archive* archive = AsArchive(handle);
        auto file = std::make_unique<File>();
        if (archive->storm != nullptr) {
            file->storm = m_writer->OpenFile(archive->storm, name);
            return file->storm == nullptr ? WriterFailed<MpqHandle>(nullptr) : file.release();
        }
        const std::optional<std::uint32_t> entry = mpq::FindGameEntry(archive->tables, name);
        if (!entry)
            return Fail<MpqHandle>(MpqFailure::NotFound, nullptr);
        mpq::ReadError why = mpq::ReadError::None;
        file->reader = mpq::FileReader::Open(*archive->file, archive->tables, *entry, name, &why);
        if (!file->reader)
            return Fail<MpqHandle>(FailureOf(why), nullptr);
        return file.release();
    }

    std::optional<std::uint64_t> FileSize(MpqHandle handle) override {
        const File* file = AsFile(handle);
        if (file->storm != nullptr)
            return m_writer->FileSize(file->storm);
        return file->reader->Size();
    }

    std::optional<std::uint32_t> FileLocale(MpqHandle handle) override {
        const File* file = AsFile(handle);
        if (file->storm != nullptr)
            return m_writer->FileLocale(file->storm);
        return file->reader->Locale();
    }

    bool ReadFile(MpqHandle handle, std::uint8_t* buffer, std::uint32_t size) override {
        File* file = AsFile(handle);
        if (file->storm != nullptr)
            return m_writer->ReadFile(file->storm, buffer, size) || WriterFailed(false);
        mpq::ReadError why = mpq::ReadError::None;
        if (!file->reader->Read(std::span<std::uint8_t>(buffer, size), &why))
            return Fail(FailureOf(why), false);
        return true;
    }

    bool CloseFile(MpqHandle handle) override {
        std::unique_ptr<File> file(AsFile(handle));
        if (file->storm != nullptr)
            return m_writer->CloseFile(file->storm);
        return true;
    }

    MpqHandle CreateFile(MpqHandle handle, const std::string& name, std::uint32_t size,
                         std::uint32_t locale) override {
        Archive* archive = AsArchive(handle);
        if (archive->storm == nullptr)
            return Fail<MpqHandle>(MpqFailure::NotWritable, nullptr);
        auto file = std::make_unique<File>();
        file->storm = m_writer->CreateFile(archive->storm, name, size, locale);
        return file->storm == nullptr ? WriterFailed<MpqHandle>(nullptr) : file.release();
    }

    bool WriteFile(MpqHandle handle, const std::uint8_t* data, std::uint32_t size) override {
        File* file = AsFile(handle);
        if (file->storm == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        return m_writer->WriteFile(file->storm, data, size) || WriterFailed(false);
    }

    bool FinishFile(MpqHandle handle) override {
        std::unique_ptr<File> file(AsFile(handle));
        if (file->storm == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        return m_writer->FinishFile(file->storm) || WriterFailed(false);
    }

    bool RemoveFile(MpqHandle handle, const std::string& name) override {
        Archive* archive = AsArchive(handle);
        if (archive->storm == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        return m_writer->RemoveFile(archive->storm, name) || WriterFailed(false);
    }

    bool CompactArchive(MpqHandle handle) override {
        Archive* archive = AsArchive(handle);
        if (archive->storm == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        return m_writer->CompactArchive(archive->storm) || WriterFailed(false);
    }

private:
    struct Archive {
        std::unique_ptr<archive_io::File> file;
        mpq::ArchiveTables tables;
        MpqHandle storm = nullptr;
    };
    struct File {
        std::unique_ptr<mpq::FileReader> reader;
        MpqHandle storm = nullptr;
    };

    static Archive* AsArchive(MpqHandle handle) { return static_cast<Archive*>(handle); }
    static File* AsFile(MpqHandle handle) { return static_cast<File*>(handle); }

    template <typename T>
    T Fail(MpqFailure failure, T result) {
        m_failure = failure;
        return result;
    }

    template <typename T>
    T WriterFailed(T result) {
        return Fail(m_writer->LastFailure(), result);
    }

    std::shared_ptr<MpqEngine> m_writer;
    MpqFailure m_failure = MpqFailure::None;
};

} // namespace

std::shared_ptr<MpqEngine> MakeOwnMpqEngine() {
    return std::make_shared<OwnMpqEngine>();
}
