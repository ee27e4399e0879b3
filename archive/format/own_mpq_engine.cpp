// MpqEngine over our own reader, writer and compaction. An archive opened read-only is read in
// place; one opened to be written is held by an ArchiveWriter, which commits on flush.
#include "archive/archive_file.h"
#include "archive/format/mpq_compact.h"
#include "archive/format/mpq_reader.h"
#include "archive/format/mpq_writer.h"
#include "archive/mpq_engine.h"
#include "support/durable_file.h"

#include <memory>
#include <system_error>

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

MpqFailure FailureOf(mpq::WriteError error) {
    switch (error) {
    case mpq::WriteError::None:
        return MpqFailure::None;
    case mpq::WriteError::NoSpace:
        return MpqFailure::DiskFull;
    case mpq::WriteError::Denied:
        return MpqFailure::NotWritable;
    case mpq::WriteError::Missing:
        return MpqFailure::NoArchive;
    case mpq::WriteError::Refused:
        return MpqFailure::Malformed;
    case mpq::WriteError::NotFound:
        return MpqFailure::NotFound;
    case mpq::WriteError::BadArgument:
        return MpqFailure::BadArgument;
    default:
        return MpqFailure::EngineFailed;
    }
}

MpqFailure FailureOf(archive_io::IoFailure failure) {
    switch (failure) {
    case archive_io::IoFailure::NoSpace:
        return MpqFailure::DiskFull;
    case archive_io::IoFailure::Denied:
        return MpqFailure::NotWritable;
    case archive_io::IoFailure::Missing:
        return MpqFailure::NoArchive;
    default:
        return MpqFailure::EngineFailed;
    }
}

class OwnMpqEngine final : public MpqEngine {
public:
    MpqFailure LastFailure() const override { return m_failure; }

    void SetProgress(MpqProgress progress) override { m_progress = std::move(progress); }

    MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) override {
        auto archive = std::make_unique<Archive>();
        archive->path = path;
        if (!readOnly) {
            mpq::WriteError why = mpq::WriteError::None;
            archive->writer = mpq::ArchiveWriter::Open(path, headerAtStart, &why);
            return archive->writer ? archive.release() : Fail<MpqHandle>(FailureOf(why), nullptr);
        }
        archive_io::IoFailure ioFailure = archive_io::IoFailure::None;
        archive->file = archive_io::File::Open(path, archive_io::File::Mode::Read, &ioFailure);
        if (!archive->file)
            return Fail<MpqHandle>(FailureOf(ioFailure), nullptr);
        mpq::ReadError why = mpq::ReadError::None;
        std::optional<mpq::ArchiveTables> tables = mpq::ReadArchiveTables(*archive->file, headerAtStart, &why);
        if (!tables)
            return Fail<MpqHandle>(FailureOf(why), nullptr);
        archive->tables = std::move(*tables);
        return archive.release();
    }

    bool IsReadOnly(MpqHandle handle) override { return AsArchive(handle)->writer == nullptr; }

    bool FlushArchive(MpqHandle handle) override {
        Archive* archive = AsArchive(handle);
        if (archive->writer == nullptr)
            return true;
        return archive->writer->Commit() || Fail(FailureOf(archive->writer->LastError()), false);
    }

    bool PrepareFlush(MpqHandle handle, std::vector<std::uint8_t>& header) override {
        Archive* archive = AsArchive(handle);
        header.clear();
        if (archive->writer == nullptr)
            return true;
        return archive->writer->Prepare(header) || Fail(FailureOf(archive->writer->LastError()), false);
    }

    bool CloseArchive(MpqHandle handle) override {
        std::unique_ptr<Archive> archive(AsArchive(handle));
        return FlushArchive(archive.get());
    }

    MpqHandle OpenFile(MpqHandle handle, const std::string& name) override {
        Archive* archive = AsArchive(handle);
        const mpq::ArchiveTables* tables = archive->Tables();
        if (tables == nullptr)
            return Fail<MpqHandle>(MpqFailure::BadArgument, nullptr);
        const std::optional<std::uint32_t> entry = mpq::FindGameEntry(*tables, name);
        if (!entry)
            return Fail<MpqHandle>(MpqFailure::NotFound, nullptr);
        mpq::ReadError why = mpq::ReadError::None;
        auto file = std::make_unique<File>();
        file->reader = mpq::FileReader::Open(archive->File(), *tables, *entry, name, &why);
        if (!file->reader)
            return Fail<MpqHandle>(FailureOf(why), nullptr);
        return file.release();
    }

    std::optional<std::uint64_t> FileSize(MpqHandle handle) override {
        const File* file = AsFile(handle);
        if (file->reader == nullptr)
            return Fail<std::optional<std::uint64_t>>(MpqFailure::BadArgument, std::nullopt);
        return file->reader->Size();
    }

    std::optional<std::uint32_t> FileLocale(MpqHandle handle) override {
        const File* file = AsFile(handle);
        if (file->reader == nullptr)
            return Fail<std::optional<std::uint32_t>>(MpqFailure::BadArgument, std::nullopt);
        return file->reader->Locale();
    }

    bool ReadFile(MpqHandle handle, std::uint8_t* buffer, std::uint32_t size) override {
        File* file = AsFile(handle);
        mpq::ReadError why = mpq::ReadError::None;
        if (file->reader == nullptr)
            return Fail(MpqFailure::BadArgument, false);
        if (!file->reader->Read(std::span<std::uint8_t>(buffer, size), &why))
            return Fail(FailureOf(why), false);
        return true;
    }

    bool CloseFile(MpqHandle handle) override {
        std::unique_ptr<File> file(AsFile(handle));
        return true;
    }

    MpqHandle CreateFile(MpqHandle handle, const std::string& name, std::uint32_t size, std::uint32_t locale) override {
        Archive* archive = AsArchive(handle);
        if (archive->writer == nullptr)
            return Fail<MpqHandle>(MpqFailure::NotWritable, nullptr);
        if (locale > 0xFFFF)
            return Fail<MpqHandle>(MpqFailure::BadArgument, nullptr);
        if (!archive->writer->BeginFile(name, static_cast<std::uint16_t>(locale), size))
            return Fail<MpqHandle>(FailureOf(archive->writer->LastError()), nullptr);
        auto file = std::make_unique<File>();
        file->writer = archive->writer.get();
        return file.release();
    }

    bool WriteFile(MpqHandle handle, const std::uint8_t* data, std::uint32_t size) override {
        File* file = AsFile(handle);
        if (file->writer == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        return file->writer->Write(std::span<const std::uint8_t>(data, size)) ||
               Fail(FailureOf(file->writer->LastError()), false);
    }

    bool FinishFile(MpqHandle handle) override {
        std::unique_ptr<File> file(AsFile(handle));
        if (file->writer == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        return file->writer->EndFile() || Fail(FailureOf(file->writer->LastError()), false);
    }

    bool RemoveFile(MpqHandle handle, const std::string& name) override {
        Archive* archive = AsArchive(handle);
        if (archive->writer == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        return archive->writer->Remove(name) || Fail(FailureOf(archive->writer->LastError()), false);
    }

    // The result goes to "<archive>.tmp", which is flushed and renamed over the archive's name: the
    // archive's own bytes are never written.
    bool CompactArchive(MpqHandle handle, bool& rewritten) override {
        rewritten = false;
        Archive* archive = AsArchive(handle);
        if (archive->writer == nullptr)
            return Fail(MpqFailure::NotWritable, false);
        if (mpq::IsAlreadyCompact(archive->writer->File(), archive->writer->Tables())) {
            // Nothing changed, so nothing to commit: the writer goes without writing a byte.
            archive->writer.reset();
            archive->compacted = true;
            return true;
        }
        std::filesystem::path temporary = archive->path;
        temporary += ".tmp";
        archive_io::IoFailure ioFailure = archive_io::IoFailure::None;
        std::unique_ptr<archive_io::File> target =
            archive_io::File::Open(temporary, archive_io::File::Mode::Create, &ioFailure);
        if (!target)
            return Fail(FailureOf(ioFailure), false);
        const mpq::CompactOutcome outcome =
            mpq::CompactArchive(archive->writer->File(), archive->writer->Tables(), *target, m_progress);
        if (!outcome.ok || !target->Sync()) {
            const MpqFailure failure = outcome.ok ? FailureOf(target->LastFailure())
                                                  : (outcome.io != archive_io::IoFailure::None ? FailureOf(outcome.io)
                                                                                               : MpqFailure::Malformed);
            target.reset();
            durable::RemoveFile(temporary);
            return Fail(failure, false);
        }
        target.reset();
        // Nothing is left to commit on the old file, which the rename replaces.
        archive->writer.reset();
        archive->compacted = true;
        if (!durable::ReplaceFile(temporary, archive->path)) {
            durable::RemoveFile(temporary);
            return Fail(MpqFailure::NotWritable, false);
        }
        rewritten = true;
        return true;
    }

private:
    struct Archive {
        std::filesystem::path path;
        std::unique_ptr<archive_io::File> file; // read-only
        mpq::ArchiveTables tables;              // read-only
        std::unique_ptr<mpq::ArchiveWriter> writer;
        bool compacted = false;

        const mpq::ArchiveTables* Tables() const {
            if (writer)
                return &writer->Tables();
            return file ? &tables : nullptr;
        }
        archive_io::File& File() { return writer ? writer->File() : *file; }
    };
    struct File {
        std::unique_ptr<mpq::FileReader> reader;
        mpq::ArchiveWriter* writer = nullptr;
    };

    static Archive* AsArchive(MpqHandle handle) { return static_cast<Archive*>(handle); }
    static File* AsFile(MpqHandle handle) { return static_cast<File*>(handle); }

    template <typename T> T Fail(MpqFailure failure, T result) {
        m_failure = failure;
        return result;
    }

    MpqFailure m_failure = MpqFailure::None;
    MpqProgress m_progress;
};

} // namespace

std::shared_ptr<MpqEngine> MakeOwnMpqEngine() {
    return std::make_shared<OwnMpqEngine>();
}
