#include "support/file_streams.h"

#include "support/durable_file.h"
#include "support/text_path.h"

#include <fstream>
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

bool WriteWholeFileUnguarded(const std::u16string& path, const std::vector<std::uint8_t>& buffer) {
    if (path.empty())
        return false;
    const fs::path target = PathFromText(path);
    std::error_code error;
    if (fs::is_directory(target, error))
        return false;
    fs::path directory = target.parent_path();
    if (directory.empty())
        directory = ".";
    if (!fs::is_directory(directory, error))
        return false;
    // The rename below would replace a read-only file without asking, so refuse it here.
    const bool targetExists = fs::exists(target, error);
    if (targetExists && durable::IsReadOnly(target))
        return false;

    std::random_device device;
    std::mt19937 random(device());
    fs::path temporary;
    bool created = false;
    for (int attempt = 0; attempt < 16 && !created; ++attempt) {
        fs::path name(".");
        name += target.filename();
        name += ".tmp" + std::to_string(random() % 1000000);
        temporary = directory / name;
        created = durable::CreateFileDurably(temporary, buffer);
        if (!created && fs::exists(temporary, error) == false) {
            // Not a name clash: the directory refuses the file or the disk is full.
            return false;
        }
    }
    if (!created)
        return false;
    if (targetExists) {
        const fs::perms perms = fs::status(target, error).permissions();
        if (!error)
            fs::permissions(temporary, perms, error);
    }
    if (!durable::ReplaceFile(temporary, target)) {
        fs::remove(temporary, error);
        return false;
    }
    durable::SyncDirectory(directory);
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
    try {
        return WriteWholeFileUnguarded(path, buffer);
    } catch (...) {
        return false;
    }
}

} // namespace modFileStreams
