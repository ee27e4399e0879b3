#include "archive/archive_file.h"

#include "support/io_seam.h"
#include "support/win32.h"

#include <algorithm>

namespace archive_io {

namespace {

using io_seam::Kind;

IoFailure FailureOf(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return IoFailure::Missing;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return IoFailure::Exists;
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
    case ERROR_SHARING_VIOLATION:
        return IoFailure::Denied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return IoFailure::NoSpace;
    default:
        return IoFailure::Other;
    }
}

bool IsReadOnly(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

std::optional<FileIdentity> IdentityOfHandle(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(handle, &info))
        return std::nullopt;
    FileIdentity identity;
    identity.device = info.dwVolumeSerialNumber;
    identity.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.links = info.nNumberOfLinks;
    return identity;
}

class WindowsFile final : public File {
public:
    WindowsFile(std::filesystem::path path, HANDLE handle) : m_path(std::move(path)), m_handle(handle) {}
    ~WindowsFile() override { ::CloseHandle(m_handle); }

    std::optional<std::uint64_t> Size() override {
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(m_handle, &size))
            return Failed(std::nullopt);
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    std::optional<FileIdentity> Identity() override {
        std::optional<FileIdentity> identity = IdentityOfHandle(m_handle);
        return identity ? identity : Failed(std::nullopt);
    }

    // Files inherit the directory's access list; there is no owner or mode to hand on.
    bool TakeOwnerAndMode(const FileIdentity&) override { return true; }

    IoFailure LastFailure() const override { return m_failure; }

    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset + done);
            at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD count = 0;
            if (!::ReadFile(m_handle, bytes.data() + done, chunk, &count, &at) || count == 0)
                return Failed(false);
            done += count;
        }
        return true;
    }

    bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        return io_seam::Observed(
                   {Kind::Write, m_path, nullptr, offset, bytes},
                   [&](std::span<const std::uint8_t> part) {
                       std::size_t done = 0;
                       while (done < part.size()) {
                           OVERLAPPED at = {};
                           at.Offset = static_cast<DWORD>(offset + done);
                           at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
                           const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(part.size() - done, 1u << 30));
                           DWORD count = 0;
                           if (!::WriteFile(m_handle, part.data() + done, chunk, &count, &at) || count == 0)
                               return false;
                           done += count;
                       }
                       return true;
                   }) ||
               Failed(false);
    }

    bool Truncate(std::uint64_t size) override {
        return io_seam::Observed({Kind::Truncate, m_path, nullptr, size},
                                 [&](auto) {
                                     LARGE_INTEGER position;
                                     position.QuadPart = static_cast<LONGLONG>(size);
                                     return ::SetFilePointerEx(m_handle, position, nullptr, FILE_BEGIN) &&
                                            ::SetEndOfFile(m_handle);
                                 }) ||
               Failed(false);
    }

    bool Sync() override {
        return io_seam::Observed({Kind::Sync, m_path}, [&](auto) { return ::FlushFileBuffers(m_handle) != 0; }) ||
               Failed(false);
    }

private:
    template <typename T> T Failed(T result) {
        m_failure = FailureOf(::GetLastError());
        return result;
    }

    std::filesystem::path m_path; // the name it was opened by, for the io_seam observer
    HANDLE m_handle;
    IoFailure m_failure = IoFailure::None;
};

} // namespace

std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
    HANDLE handle = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::optional<FileIdentity> identity = IdentityOfHandle(handle);
    ::CloseHandle(handle);
    return identity;
}

std::unique_ptr<File> File::Open(const std::filesystem::path& path, Mode mode, IoFailure* why) {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if (mode != Mode::Read)
        access |= GENERIC_WRITE;
    if (mode == Mode::Create)
        disposition = CREATE_ALWAYS;
    if (mode == Mode::CreateNew)
        disposition = CREATE_NEW;
    // Handles are not inheritable by default (no security attributes asking for it).
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    const auto open = [&](auto) {
        handle = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
        error = ::GetLastError();
        return handle != INVALID_HANDLE_VALUE;
    };
    const auto refuse = [&](IoFailure failure) {
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
        if (why != nullptr)
            *why = failure;
        return nullptr;
    };
    // Windows refuses to write or empty a read-only file, for an administrator too; Wine running as
    // root (and so our tests) would write it. Refused here alike, before anything is written.
    if (mode == Mode::Create && IsReadOnly(::GetFileAttributesW(path.c_str())))
        return refuse(IoFailure::Denied);
    if (mode == Mode::Create || mode == Mode::CreateNew)
        io_seam::Observed({Kind::Create, path}, open);
    else
        open(std::span<const std::uint8_t>());
    if (handle == INVALID_HANDLE_VALUE)
        return refuse(FailureOf(error));
    if (::GetFileType(handle) != FILE_TYPE_DISK)
        return refuse(IoFailure::Other);
    // Asked of the file now open, links followed, not of its name.
    if (mode == Mode::ReadWrite) {
        BY_HANDLE_FILE_INFORMATION info;
        if (!::GetFileInformationByHandle(handle, &info))
            return refuse(FailureOf(::GetLastError()));
        if (IsReadOnly(info.dwFileAttributes))
            return refuse(IoFailure::Denied);
    }
    return std::make_unique<WindowsFile>(path, handle);
}

// NTFS makes directory changes durable with the file's own metadata; nothing to flush.
} // namespace archive_io
