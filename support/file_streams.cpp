#include "support/file_streams.h"

#include "support/durable_file.h"
#include "support/text_path.h"

#include <random>

namespace fs = std::filesystem;

namespace modFileStreams {

namespace {

bool ReadWholeFileUnguarded(const std::u16string& path, std::vector<std::uint8_t>& buffer) {
    if (path.empty())
        return false;
    const fs::path file = PathFromText(path);
    std::error_code error;
    if (!fs::is_regular_file(file, error))
        return false;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0)
        return false;
    in.seekg(0, std::ios::beg);
    buffer.assign(static_cast<std::size_t>(size), 0);
    if (size > 0 && !in.read(reinterpret_cast<char*>(buffer.data()), size))
        return false;
    // A file that grew while we read it would be cut short; take it as read up to the size seen.
    return true;
}

} // namespace

// A file too large for memory, or any other exception, is a failure and never leaves the call.
bool ReadWholeFile(std::u16string path, std::vector<std::uint8_t>& buffer) {
    try {
        return ReadWholeFileUnguarded(path, buffer);
    } catch (...) {
        return false;
    }
}

bool WriteWholeFile(std::u16string path, const std::vector<std::uint8_t>& buffer) {
    std::unique_ptr<FileWriter> writer = FileWriter::Begin(path);
    return writer && writer->Write(buffer) && writer->Commit();
}

// --- FileReader ---

FileReader::FileReader(std::ifstream in, std::uint64_t size) : m_in(std::move(in)), m_size(size) {}

FileReader::~FileReader() = default;

std::unique_ptr<FileReader> FileReader::Open(const std::u16string& path) {
    try {
        if (path.empty())
            return nullptr;
        const fs::path file = PathFromText(path);
        std::error_code error;
        if (!fs::is_regular_file(file, error))
            return nullptr;
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return nullptr;
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(0, std::ios::beg);
        if (size < 0 || !in)
            return nullptr;
        return std::unique_ptr<FileReader>(new FileReader(std::move(in), static_cast<std::uint64_t>(size)));
    } catch (...) {
        return nullptr;
    }
}

bool FileReader::Read(std::span<std::uint8_t> out) {
    try {
        return out.empty() || static_cast<bool>(m_in.read(reinterpret_cast<char*>(out.data()),
                                                          static_cast<std::streamsize>(out.size())));
    } catch (...) {
        return false;
    }
}

// --- FileWriter ---

FileWriter::FileWriter(fs::path target, fs::path temporary, std::unique_ptr<durable::NewFile> out, bool targetExisted)
    : m_target(std::move(target)), m_temporary(std::move(temporary)), m_out(std::move(out)),
      m_targetExisted(targetExisted) {}

FileWriter::~FileWriter() {
    Discard();
}

std::unique_ptr<FileWriter> FileWriter::Begin(const std::u16string& path) {
    try {
        if (path.empty())
            return nullptr;
        const durable::WriteTarget target = durable::ResolveWriteTarget(PathFromText(path));
        switch (target.kind) {
        case durable::WriteTarget::Kind::Missing:
            return BeginReplacement(target.path, false);
        case durable::WriteTarget::Kind::Regular:
            // The rename at the end would replace a read-only file without asking, so refuse it here.
            if (durable::IsReadOnly(target.path))
                return nullptr;
            return BeginReplacement(target.path, true);
        case durable::WriteTarget::Kind::Device: {
            std::unique_ptr<durable::NewFile> out = durable::OpenDevice(target.path);
            if (!out)
                return nullptr;
            return std::unique_ptr<FileWriter>(new FileWriter(target.path, {}, std::move(out), true));
        }
        case durable::WriteTarget::Kind::OwnOutput: {
            std::unique_ptr<durable::NewFile> out = durable::OpenOwnOutput(target.path, target.standardStream);
            if (!out)
                return nullptr;
            return std::unique_ptr<FileWriter>(new FileWriter(target.path, {}, std::move(out), true));
        }
        case durable::WriteTarget::Kind::Directory:
        case durable::WriteTarget::Kind::Dangling:
            return nullptr;
        }
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

std::unique_ptr<FileWriter> FileWriter::BeginReplacement(const fs::path& target, bool targetExists) {
    std::error_code error;
    fs::path directory = target.parent_path();
    if (directory.empty())
        directory = ".";
    if (!fs::is_directory(directory, error))
        return nullptr;

    // The name is taken by creating the file exclusively: another file of that name, ours or
    // not, is never written.
    std::random_device device;
    std::mt19937 random(device());
    fs::path temporary;
    std::unique_ptr<durable::NewFile> out;
    for (int attempt = 0; attempt < 16 && !out; ++attempt) {
        fs::path name(".");
        name += target.filename();
        name += ".tmp" + std::to_string(random() % 1000000);
        temporary = directory / name;
        bool nameTaken = false;
        out = durable::NewFile::Create(temporary, &nameTaken);
        if (!out && !nameTaken) {
            // Not a name clash: the directory refuses the file or the disk is full.
            return nullptr;
        }
    }
    if (!out)
        return nullptr;
    return std::unique_ptr<FileWriter>(new FileWriter(target, temporary, std::move(out), targetExists));
}

bool FileWriter::Write(std::span<const std::uint8_t> bytes) {
    try {
        if (!m_ok || m_done)
            return false;
        m_ok = m_out->Append(bytes);
    } catch (...) {
        m_ok = false;
    }
    return m_ok;
}

bool FileWriter::Commit() {
    try {
        if (!m_ok || m_done) {
            Discard();
            return false;
        }
        const bool synced = m_out->Sync();
        m_out.reset();
        if (!synced) {
            Discard();
            return false;
        }
        if (m_temporary.empty()) {
            // Written in place: every byte went out; there is nothing to rename.
            m_done = true;
            return true;
        }
        std::error_code error;
        if (m_targetExisted) {
            const fs::perms perms = fs::status(m_target, error).permissions();
            if (!error)
                fs::permissions(m_temporary, perms, error);
        }
        if (!durable::ReplaceFile(m_temporary, m_target)) {
            Discard();
            return false;
        }
        m_done = true;
        durable::SyncDirectory(m_target.parent_path().empty() ? fs::path(".") : m_target.parent_path());
        return true;
    } catch (...) {
        Discard();
        return false;
    }
}

void FileWriter::Discard() {
    if (m_done)
        return;
    m_done = true;
    try {
        m_out.reset();
        if (!m_temporary.empty())
            durable::RemoveFile(m_temporary);
    } catch (...) {
        // Nothing may leave a destructor; a temporary left behind is only a stray file.
    }
}

} // namespace modFileStreams
