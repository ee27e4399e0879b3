#include "archive/archive_file.h"

#include <windows.h>

#include <algorithm>

namespace archive_io {

namespace {

class WindowsFile final : public File {
public:
    explicit WindowsFile(HANDLE handle) : m_handle(handle) {}
    ~WindowsFile() override { ::CloseHandle(m_handle); }

    std::optional<std::uint64_t> Size() override {
        LARGE_INTEGER size;
        if (!::GetFileSizeEx(m_handle, &size))
            return std::nullopt;
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset + done);
            at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD count = 0;
            if (!::ReadFile(m_handle, bytes.data() + done, chunk, &count, &at) || count == 0)
                return false;
            done += count;
        }
        return true;
    }

    bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> bytes) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(offset + done);
            at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
            DWORD count = 0;
            if (!::WriteFile(m_handle, bytes.data() + done, chunk, &count, &at) || count == 0)
                return false;
            done += count;
        }
        return true;
    }

    bool Truncate(std::uint64_t size) override {
        LARGE_INTEGER position;
        position.QuadPart = static_cast<LONGLONG>(size);
        return ::SetFilePointerEx(m_handle, position, nullptr, FILE_BEGIN) && ::SetEndOfFile(m_handle);
    }

    bool Sync() override { return ::FlushFileBuffers(m_handle) != 0; }

private:
    HANDLE m_handle;
};

} // namespace

std::unique_ptr<File> File::Open(const std::filesystem::path& path, Mode mode) {
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if (mode != Mode::Read)
        access |= GENERIC_WRITE;
    if (mode == Mode::Create)
        disposition = CREATE_ALWAYS;
    HANDLE handle = ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return nullptr;
    }
    return std::make_unique<WindowsFile>(handle);
}

// NTFS makes directory changes durable with the file's own metadata; nothing to flush.
} // namespace archive_io
