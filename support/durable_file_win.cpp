#include "support/durable_file.h"

#include "support/win32.h"

#include <algorithm>

namespace durable {
namespace {

bool FlushPath(const std::filesystem::path& path, DWORD flags) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = ::FlushFileBuffers(file) != 0;
    return ::CloseHandle(file) != 0 && flushed;
}

} // namespace

bool CreateFileDurably(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::size_t written = 0;
    bool ok = true;
    while (ok && written < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1u << 30));
        DWORD done = 0;
        ok = ::WriteFile(file, bytes.data() + written, chunk, &done, nullptr) != 0 && done == chunk;
        written += done;
    }
    ok = ok && ::FlushFileBuffers(file) != 0;
    ok = ::CloseHandle(file) != 0 && ok;
    if (!ok)
        ::DeleteFileW(path.c_str());
    return ok;
}

bool SyncFile(const std::filesystem::path& path) {
    return FlushPath(path, FILE_ATTRIBUTE_NORMAL);
}

// NTFS journals the rename itself; MoveFileEx with MOVEFILE_WRITE_THROUGH waits for it.
bool SyncDirectory(const std::filesystem::path&) {
    return true;
}

bool ReplaceFile(const std::filesystem::path& source, const std::filesystem::path& target) {
    return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool IsReadOnly(const std::filesystem::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

} // namespace durable
