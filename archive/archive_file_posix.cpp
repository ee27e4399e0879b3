#include "archive/archive_file.h"

#include "support/io_seam.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace archive_io {

namespace {

using io_seam::Kind;

IoFailure FailureOf(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return IoFailure::Missing;
    case EEXIST:
        return IoFailure::Exists;
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
        return IoFailure::Denied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return IoFailure::NoSpace;
    default:
        return IoFailure::Other;
    }
}

FileIdentity IdentityFromStat(const struct stat& info) {
    FileIdentity identity;
    identity.device = static_cast<std::uint64_t>(info.st_dev);
    identity.inode = static_cast<std::uint64_t>(info.st_ino);
    identity.links = static_cast<std::uint64_t>(info.st_nlink);
    identity.owner = static_cast<std::uint32_t>(info.st_uid);
    identity.group = static_cast<std::uint32_t>(info.st_gid);
    identity.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    return identity;
}

class PosixFile final : public File {
public:
    PosixFile(std::filesystem::path path, int fd) : m_path(std::move(path)), m_fd(fd) {}
    ~PosixFile() override { ::close(m_fd); }

    std::optional<std::uint64_t> Size() override {
        struct stat info;
        if (::fstat(m_fd, &info) != 0)
            return Failed(std::nullopt);
        return static_cast<std::uint64_t>(info.st_size);
    }

    std::optional<FileIdentity> Identity() override {
        struct stat info;
        if (::fstat(m_fd, &info) != 0)
            return Failed(std::nullopt);
        return IdentityFromStat(info);
    }

    bool TakeOwnerAndMode(const FileIdentity& model) override {
        // Only the owner and group the process may give are given; a player's own process keeps
        // its files, root hands them to the archive's owner.
        if (::fchown(m_fd, static_cast<uid_t>(model.owner), static_cast<gid_t>(model.group)) != 0 &&
            ::fchown(m_fd, static_cast<uid_t>(-1), static_cast<gid_t>(model.group)) != 0) {
            // Not even the group may be given: the file stays the process's, as any new file would.
        }
        return ::fchmod(m_fd, static_cast<mode_t>(model.mode)) == 0 || Failed(false);
    }

    IoFailure LastFailure() const override { return m_failure; }

    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count =
                ::pread(m_fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0)
                return Failed(false);
            if (count == 0) {
                m_failure = IoFailure::Other;
                return false;
            }
            done += static_cast<std::size_t>(count);
        }
        return true;
    }

    bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        bool made = false; // a refused write is not made
        const bool written =
            io_seam::Observed({Kind::Write, m_path, nullptr, offset, bytes}, [&](std::span<const std::uint8_t> part) {
                made = true;
                std::size_t done = 0;
                while (done < part.size()) {
                    const ssize_t count =
                        ::pwrite(m_fd, part.data() + done, part.size() - done, static_cast<off_t>(offset + done));
                    if (count < 0 && errno == EINTR)
                        continue;
                    if (count <= 0) {
                        m_failure = count < 0 ? FailureOf(errno) : IoFailure::NoSpace;
                        return false;
                    }
                    done += static_cast<std::size_t>(count);
                }
                return true;
            });
        return written || (!made && Failed(false));
    }

    bool Truncate(std::uint64_t size) override {
        return io_seam::Observed({Kind::Truncate, m_path, nullptr, size},
                                 [&](auto) { return ::ftruncate(m_fd, static_cast<off_t>(size)) == 0; }) ||
               Failed(false);
    }

    bool Sync() override {
        return io_seam::Observed({Kind::Sync, m_path}, [&](auto) { return ::fsync(m_fd) == 0; }) || Failed(false);
    }

private:
    template <typename T> T Failed(T result) {
        m_failure = FailureOf(errno);
        return result;
    }

    std::filesystem::path m_path; // the name it was opened by, for the io_seam observer
    int m_fd;
    IoFailure m_failure = IoFailure::None;
};

} // namespace

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return IdentityFromStat(info);
}

std::unique_ptr<File> File::Open(const std::filesystem::path& path, Mode mode, IoFailure* why) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case Mode::Read:
        flags |= O_RDONLY;
        break;
    case Mode::ReadWrite:
        flags |= O_RDWR;
        break;
    case Mode::Create:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    case Mode::CreateNew:
        // O_EXCL also refuses a symbolic link of that name, dangling or not.
        flags |= O_RDWR | O_CREAT | O_EXCL;
        break;
    }
    int fd = -1;
    const auto open = [&](auto) { return (fd = ::open(path.c_str(), flags, 0644)) >= 0; };
    if (mode == Mode::Create || mode == Mode::CreateNew)
        io_seam::Observed({Kind::Create, path}, open);
    else
        open(std::span<const std::uint8_t>());
    if (fd < 0) {
        if (why != nullptr)
            *why = FailureOf(errno);
        return nullptr;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        if (why != nullptr)
            *why = IoFailure::Other;
        return nullptr;
    }
    return std::make_unique<PosixFile>(path, fd);
}

} // namespace archive_io
