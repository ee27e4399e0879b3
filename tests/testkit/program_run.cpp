#include "testkit/program_run.h"

#include <fstream>

namespace testkit::detail {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace testkit::detail
