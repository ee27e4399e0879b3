// Writes the harnesses' first inputs into a directory: small archives of the game's shape made by
// our builder, in both formats and with the variations the door must handle (a Chinese-locale
// entry beside the neutral one, stored files, no internal files, a weak signature), and the
// hostile shapes the test kit knows (except those too large to be an input). They are made at
// fuzzing time, never kept in the repository. Usage: fuzz_seed_maker <directory>
#include "testkit/hostile_archives.h"
#include "testkit/mpq_fixtures.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kLargestSeed = 1 << 20;

// The sample archive's files, cut short: the mutator and the door's round trips stay fast.
std::vector<MpqBuilderFile> SmallSampleFiles(std::size_t maxSize) {
    std::vector<MpqBuilderFile> files = testkit::SampleArchiveFiles();
    for (MpqBuilderFile& file : files) {
        if (file.content.size() > maxSize)
            file.content.resize(maxSize);
    }
    return files;
}

struct Seed {
    std::string name;
    std::function<bool(const fs::path&)> make;
};

std::vector<Seed> Seeds() {
    std::vector<Seed> seeds;
    for (int format : {0, 1}) {
        const std::string suffix = "_v" + std::to_string(format) + ".mpq";
        seeds.push_back({"small" + suffix, [format](const fs::path& path) {
                             return CreateMpqArchive(path, SmallSampleFiles(300), format);
                         }});
        seeds.push_back({"stored" + suffix, [format](const fs::path& path) {
                             std::vector<MpqBuilderFile> files = SmallSampleFiles(300);
                             for (MpqBuilderFile& file : files)
                                 file.compress = false;
                             return CreateMpqArchive(path, files, format);
                         }});
        seeds.push_back({"bare" + suffix, [format](const fs::path& path) {
                             return CreateMpqArchive(path, SmallSampleFiles(120), format, false, false);
                         }});
    }
    seeds.push_back({"locales_v1.mpq", [](const fs::path& path) {
                         std::vector<MpqBuilderFile> files = SmallSampleFiles(200);
                         MpqBuilderFile chinese = files.front();
                         chinese.locale = 0x804;
                         chinese.content.push_back('!');
                         files.push_back(chinese);
                         return CreateMpqArchive(path, files, 1);
                     }});
    seeds.push_back({"signed_v1.mpq", [](const fs::path& path) {
                         return CreateMpqArchive(path, SmallSampleFiles(200), 1) && testkit::SignArchiveWeakly(path);
                     }});
    seeds.push_back({"sample_v1.mpq",
                     [](const fs::path& path) { return CreateMpqArchive(path, testkit::SampleArchiveFiles(), 1); }});
    for (testkit::HostileShape shape : testkit::AllHostileShapes()) {
        seeds.push_back(
            {std::string("hostile_") + testkit::HostileShapeName(shape) + ".mpq", [shape](const fs::path& path) {
                 testkit::MakeHostileArchive(shape, path);
                 return true;
             }});
    }
    return seeds;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const fs::path directory = argv[1];
    std::error_code error;
    fs::create_directories(directory, error);
    int failed = 0;
    for (const Seed& seed : Seeds()) {
        bool made = false;
        try {
            made = seed.make(directory / seed.name);
        } catch (...) {
        }
        // libFuzzer reads each input whole; a sparse archive of gigabytes stays out.
        std::error_code sizeError;
        if (made && fs::file_size(directory / seed.name, sizeError) > kLargestSeed) {
            fs::remove(directory / seed.name, sizeError);
            std::fprintf(stderr, "fuzz_seed_maker: %s left out, it is too large for an input\n", seed.name.c_str());
            continue;
        }
        if (!made) {
            std::fprintf(stderr, "fuzz_seed_maker: could not make %s\n", seed.name.c_str());
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}
