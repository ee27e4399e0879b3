#include "bench/file_restore.h"

#include "support/durable_file.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

namespace bench {

bool RestoreFile(const std::filesystem::path& reference, const std::filesystem::path& target) {
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(reference, error);
    if (error)
        return false;
    if (!std::filesystem::is_regular_file(target, error)) {
        std::filesystem::remove_all(target, error);
        if (!std::filesystem::copy_file(reference, target, error))
            return false;
    } else {
        std::ifstream in(reference, std::ios::binary);
        std::fstream out(target, std::ios::binary | std::ios::in | std::ios::out);
        if (!in || !out)
            return false;
        constexpr std::size_t kBlock = 1u << 20;
        std::vector<char> want(kBlock);
        std::vector<char> have(kBlock);
        for (std::uintmax_t offset = 0; offset < size; offset += kBlock) {
            const auto length = static_cast<std::streamsize>(std::min<std::uintmax_t>(kBlock, size - offset));
            if (!in.read(want.data(), length))
                return false;
            out.seekg(static_cast<std::streamoff>(offset));
            out.read(have.data(), length);
            const bool same =
                out.gcount() == length && std::memcmp(want.data(), have.data(), static_cast<std::size_t>(length)) == 0;
            out.clear();
            if (same)
                continue;
            out.seekp(static_cast<std::streamoff>(offset));
            if (!out.write(want.data(), length))
                return false;
        }
        out.close();
        if (out.fail())
            return false;
        std::filesystem::resize_file(target, size, error);
        if (error)
            return false;
    }
    return durable::SyncFile(target) && durable::SyncDirectory(target.parent_path());
}

} // namespace bench
