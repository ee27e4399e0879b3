#include "support/durable_file.h"

#include "support/io_seam.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace durable {
namespace {

using io_seam::Kind;

bool FsyncPath(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

class PosixNewFile final : public NewFile {
public:
    PosixNewFile(std::filesystem::path path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~PosixNewFile() override { ::close(m_fd); }

    bool Append(std::span<const std::uint8_t> bytes) override {
        if (bytes.empty())
            return true;
        return io_seam::Observed({Kind::Write, m_path, nullptr, m_size, bytes},
                                 [&](std::span<const std::uint8_t> part) {
                                     std::size_t written = 0;
                                     while (written < part.size()) {
                                         const ssize_t n = ::write(m_fd, part.data() + written, part.size() - written);
                                         if (n < 0 && errno == EINTR)
                                             continue;
                                         if (n <= 0)
                                             break;
                                         written += static_cast<std::size_t>(n);
                                         m_size += static_cast<std::uint64_t>(n);
                                     }
                                     return written == part.size();
                                 });
    }

    bool Sync() override {
        return io_seam::Observed({Kind::Sync, m_path}, [&](auto) { return ::fsync(m_fd) == 0; });
    }

private:
    std::filesystem::path m_path;
    int m_fd;
    std::uint64_t m_size = 0;
};

} // namespace

std::unique_ptr<NewFile> NewFile::Create(const std::filesystem::path& path, bool* nameTaken) {
    int fd = -1;
    io_seam::Observed({Kind::Create, path}, [&](auto) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        return fd >= 0;
    });
    if (nameTaken != nullptr)
        *nameTaken = fd < 0 && errno == EEXIST;
    if (fd < 0)
        return nullptr;
    return std::make_unique<PosixNewFile>(path, fd);
}

bool SyncFile(const std::filesystem::path& path) {
    return io_seam::Observed({Kind::Sync, path}, [&](auto) { return FsyncPath(path, O_RDONLY); });
}

bool SyncDirectory(const std::filesystem::path& directory) {
    const std::filesystem::path path = directory.empty() ? std::filesystem::path(".") : directory;
    return io_seam::Observed({Kind::SyncDirectory, path},
                             [&](auto) { return FsyncPath(path, O_RDONLY | O_DIRECTORY); });
}

bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return io_seam::Observed({Kind::Rename, source, &target},
                             [&](auto) { return std::rename(source.c_str(), target.c_str()) == 0; });
}

bool LinkFile(const std::filesystem::path& existing, const std::filesystem::path& link) {
    return io_seam::Observed({Kind::Link, existing, &link},
                             [&](auto) { return ::link(existing.c_str(), link.c_str()) == 0; });
}

bool RemoveFile(const std::filesystem::path& path) {
    return io_seam::Observed({Kind::Remove, path},
                             [&](auto) { return ::unlink(path.c_str()) == 0 || errno == ENOENT; });
}

bool IsReadOnly(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return false;
    // A file with no write bit counts as read-only even for root, as the read-only attribute does.
    if ((info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
        return true;
    return ::access(path.c_str(), W_OK) != 0 && errno == EACCES;
}

} // namespace durable
