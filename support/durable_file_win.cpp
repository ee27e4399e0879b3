#include "support/durable_file.h"

#include "support/io_seam.h"
#include "support/win32.h"

#include <algorithm>
#include <string>

namespace durable {
namespace {

using io_seam::Kind;

bool FlushPath(const std::filesystem::path& path, DWORD flags) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = ::FlushFileBuffers(file) != 0;
    return ::CloseHandle(file) != 0 && flushed;
}

DWORD StdHandleOf(int standardStream) {
    return standardStream == 2 ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE;
}

// 1 or 2 when the file `info` describes is this process's standard output or error, else -1.
int OwnStreamOf(const BY_HANDLE_FILE_INFORMATION& info) {
    for (const int stream : {1, 2}) {
        HANDLE own = ::GetStdHandle(StdHandleOf(stream));
        BY_HANDLE_FILE_INFORMATION ownInfo{};
        if (own != nullptr && own != INVALID_HANDLE_VALUE && ::GetFileType(own) == FILE_TYPE_DISK &&
            ::GetFileInformationByHandle(own, &ownInfo) && ownInfo.dwVolumeSerialNumber == info.dwVolumeSerialNumber &&
            ownInfo.nFileIndexHigh == info.nFileIndexHigh && ownInfo.nFileIndexLow == info.nFileIndexLow)
            return stream;
    }
    return -1;
}

class WindowsNewFile final : public NewFile {
public:
    WindowsNewFile(std::filesystem::path path, HANDLE handle, bool device = false)
        : m_path(std::move(path)), m_handle(handle), m_device(device) {}
    ~WindowsNewFile() override { ::CloseHandle(m_handle); }

    bool Append(std::span<const std::uint8_t> bytes) override {
        if (bytes.empty())
            return true;
        return io_seam::Observed(
            {Kind::Write, m_path, nullptr, m_size, bytes}, [&](std::span<const std::uint8_t> part) {
                std::size_t written = 0;
                while (written < part.size()) {
                    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(part.size() - written, 1u << 30));
                    DWORD done = 0;
                    if (!::WriteFile(m_handle, part.data() + written, chunk, &done, nullptr) || done == 0)
                        break;
                    written += done;
                    m_size += done;
                }
                return written == part.size();
            });
    }

    bool Sync() override {
        // A console or a pipe has nothing on disk to flush.
        if (m_device)
            return true;
        return io_seam::Observed({Kind::Sync, m_path}, [&](auto) { return ::FlushFileBuffers(m_handle) != 0; });
    }

private:
    std::filesystem::path m_path;
    HANDLE m_handle;
    bool m_device;
    std::uint64_t m_size = 0;
};

bool IsDeviceHandle(HANDLE handle) {
    const DWORD type = ::GetFileType(handle);
    return type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE;
}

// The path's own attributes, a reparse point not followed.
DWORD OwnAttributes(const std::filesystem::path& path) {
    return ::GetFileAttributesW(path.c_str());
}

} // namespace

std::unique_ptr<NewFile> NewFile::Create(const std::filesystem::path& path, bool* nameTaken) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    // No security attributes: the handle is not inherited by a child process.
    io_seam::Observed({Kind::Create, path}, [&](auto) {
        handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        error = ::GetLastError();
        return handle != INVALID_HANDLE_VALUE;
    });
    if (nameTaken != nullptr)
        *nameTaken = handle == INVALID_HANDLE_VALUE && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    return std::make_unique<WindowsNewFile>(path, handle);
}

std::unique_ptr<NewFile> OpenDevice(const std::filesystem::path& path) {
    HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    // A disk file here would be written over without being emptied.
    if (!IsDeviceHandle(handle)) {
        ::CloseHandle(handle);
        return nullptr;
    }
    return std::make_unique<WindowsNewFile>(path, handle, true);
}

std::unique_ptr<NewFile> OpenOwnOutput(const std::filesystem::path& path, int standardStream) {
    HANDLE own = ::GetStdHandle(StdHandleOf(standardStream));
    HANDLE duplicate = nullptr;
    if (own == nullptr || own == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(::GetCurrentProcess(), own, ::GetCurrentProcess(), &duplicate, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return nullptr;
    return std::make_unique<WindowsNewFile>(path, duplicate);
}

WriteTarget ResolveWriteTarget(const std::filesystem::path& path) {
    using K = WriteTarget::Kind;
    // Opened for no access at all, which follows reparse points and opens directories too.
    HANDLE handle = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A console (CON) opens only for reading or writing.
        HANDLE device = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (device != INVALID_HANDLE_VALUE) {
            const bool isDevice = IsDeviceHandle(device);
            ::CloseHandle(device);
            if (isDevice)
                return {K::Device, path};
        }
        const DWORD own = OwnAttributes(path);
        if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return {K::Dangling, path};
        return {K::Missing, path};
    }
    WriteTarget target{K::Regular, path};
    BY_HANDLE_FILE_INFORMATION info{};
    if (IsDeviceHandle(handle)) {
        target.kind = K::Device;
    } else if (!::GetFileInformationByHandle(handle, &info)) {
        target.kind = K::Dangling;
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        target.kind = K::Directory;
    } else if (const int stream = OwnStreamOf(info); stream != -1) {
        target.kind = K::OwnOutput;
        target.standardStream = stream;
    } else {
        const DWORD own = OwnAttributes(path);
        if (own != INVALID_FILE_ATTRIBUTES && (own & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            // The new file is made beside the link's final target and moved over it: the link stays.
            std::wstring final(MAX_PATH, L'\0');
            DWORD length = ::GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (length >= final.size()) {
                final.resize(length);
                length = ::GetFinalPathNameByHandleW(handle, final.data(), static_cast<DWORD>(final.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            }
            if (length == 0 || length >= final.size()) {
                target.kind = K::Dangling;
            } else {
                final.resize(length);
                target.path = std::filesystem::path(final);
            }
        }
    }
    ::CloseHandle(handle);
    return target;
}

bool SyncFile(const std::filesystem::path& path) {
    return io_seam::Observed({Kind::Sync, path}, [&](auto) { return FlushPath(path, FILE_ATTRIBUTE_NORMAL); });
}

// NTFS journals the rename itself; MoveFileEx with MOVEFILE_WRITE_THROUGH waits for it. Reported all
// the same, so that both platforms show the same calls.
bool SyncDirectory(const std::filesystem::path& directory) {
    const std::filesystem::path path = directory.empty() ? std::filesystem::path(".") : directory;
    return io_seam::Observed({Kind::SyncDirectory, path}, [](auto) { return true; });
}

bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return io_seam::Observed({Kind::Rename, source, &target}, [&](auto) {
        return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    });
}

bool LinkFile(const std::filesystem::path& existing, const std::filesystem::path& link) {
    return io_seam::Observed({Kind::Link, existing, &link},
                             [&](auto) { return ::CreateHardLinkW(link.c_str(), existing.c_str(), nullptr) != 0; });
}

bool RemoveFile(const std::filesystem::path& path) {
    return io_seam::Observed({Kind::Remove, path}, [&](auto) {
        if (::DeleteFileW(path.c_str()))
            return true;
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    });
}

bool IsReadOnly(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

} // namespace durable
