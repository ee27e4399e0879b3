#include "cli/terminal.h"

#include <array>

namespace cli {

InputRead ReadAllOf(std::FILE* stream, std::vector<std::uint8_t>& bytes, std::uint64_t limit) {
    bytes.clear();
    std::array<std::uint8_t, 65536> piece{};
    for (;;) {
        const std::size_t got = std::fread(piece.data(), 1, piece.size(), stream);
        if (bytes.size() + got > limit)
            return InputRead::TooLarge;
        bytes.insert(bytes.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(got));
        if (got < piece.size())
            return std::ferror(stream) ? InputRead::Failed : InputRead::Read;
    }
}

} // namespace cli
