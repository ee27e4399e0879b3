// Writes the harnesses' first inputs into a directory, so that fuzzing starts from every way a file
// can be stored and every decoder has a well-formed input to mutate:
//   - small archives of the game's shape made by our builder, in both formats: compressed, stored,
//     without internal files, with a Chinese-locale entry and several locales, weakly signed,
//     encrypted (with and without the fix key), single-unit, with sector checksums, behind a
//     user-data header, with encrypted internal files, small sectors, a roomy hash table;
//   - archives StormLib writes with what our builder does not write: imploded files, PKWARE and
//     bzip2 compression;
//   - bare units: compressed sectors as DecodeUnit and PkwareExplode take them (4096 bytes each
//     when decoded, single methods and format 0's chains), and (attributes) files;
//   - the hostile shapes the test kit knows (except those too large to be an input).
// They are made at fuzzing time, never kept in the repository. Usage: fuzz_seed_maker <directory>
#include "testkit/hostile_archives.h"
#include "testkit/mpq_fixtures.h"

#include "archive/format/mpq_encode.h"
#include "archive/format/mpq_format.h"
#include "archive/format/mpq_reader.h"

#include <StormLib.h>
#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
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

// The small files with one storage shape given to each.
std::vector<MpqBuilderFile> Shaped(std::size_t maxSize, const std::function<void(MpqBuilderFile&)>& shape) {
    std::vector<MpqBuilderFile> files = SmallSampleFiles(maxSize);
    for (MpqBuilderFile& file : files)
        shape(file);
    return files;
}

bool Build(const fs::path& path, const std::vector<MpqBuilderFile>& files, const MpqBuilderOptions& options) {
    const MpqBuildResult result = CreateMpqArchive(path, files, options);
    if (!result)
        std::fprintf(stderr, "fuzz_seed_maker: %s: %s\n", path.filename().c_str(), result.failure.c_str());
    return result.ok;
}

MpqBuilderOptions Options(int format, std::uint16_t sectorShift = 3) {
    MpqBuilderOptions options;
    options.formatVersion = format;
    options.sectorSizeShift = sectorShift;
    return options;
}

bool WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

// An archive as StormLib writes it, 1 KiB sectors, every file with the same block flags and
// compression mask: the storage our builder does not produce (implode, PKWARE, bzip2).
bool BuildWithStorm(const fs::path& path, int format, std::uint32_t flags, std::uint32_t compression) {
    std::error_code error;
    fs::remove(path, error);
    SFILE_CREATE_MPQ create{};
    create.cbSize = sizeof(create);
    create.dwMpqVersion = static_cast<DWORD>(format);
    create.dwFileFlags1 = MPQ_FILE_DEFAULT_INTERNAL;
    create.dwFileFlags2 = MPQ_FILE_DEFAULT_INTERNAL;
    create.dwAttrFlags = MPQ_ATTRIBUTE_CRC32 | MPQ_ATTRIBUTE_FILETIME | MPQ_ATTRIBUTE_MD5;
    create.dwSectorSize = 1024;
    create.dwMaxFileCount = 16;
    HANDLE archive = nullptr;
    if (!SFileCreateArchive2(path.c_str(), &create, &archive))
        return false;
    bool ok = true;
    for (const MpqBuilderFile& file : SmallSampleFiles(3000)) {
        const std::string name(file.address.begin(), file.address.end());
        const auto size = static_cast<DWORD>(file.content.size());
        HANDLE handle = nullptr;
        ok = ok && SFileCreateFile(archive, name.c_str(), 0, size, file.locale, flags, &handle);
        ok = ok && (size == 0 || SFileWriteFile(handle, file.content.data(), size, compression));
        ok = ok && SFileFinishFile(handle);
    }
    return SFileCloseArchive(archive) && ok;
}

// Packs bytes with one method; nullopt when the library fails.
std::optional<std::vector<std::uint8_t>> Pack(const std::vector<std::uint8_t>& plain, std::uint8_t method) {
    std::vector<std::uint8_t> packed(plain.size() * 2 + 600);
    bool ok = false;
    if (method == mpq::kCompressionZlib) {
        uLongf size = static_cast<uLongf>(packed.size());
        ok = compress2(packed.data(), &size, plain.data(), static_cast<uLong>(plain.size()), 9) == Z_OK;
        packed.resize(size);
    } else if (method == mpq::kCompressionPkware) {
        int size = static_cast<int>(packed.size());
        ok = SCompImplode(packed.data(), &size, const_cast<std::uint8_t*>(plain.data()),
                          static_cast<int>(plain.size())) != 0;
        packed.resize(static_cast<std::size_t>(std::max(size, 0)));
    } else if (method == mpq::kCompressionBzip2) {
        unsigned size = static_cast<unsigned>(packed.size());
        ok = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &size,
                                      reinterpret_cast<char*>(const_cast<std::uint8_t*>(plain.data())),
                                      static_cast<unsigned>(plain.size()), 9, 0, 0) == BZ_OK;
        packed.resize(size);
    }
    return ok ? std::optional(packed) : std::nullopt;
}

// One compressed unit as a sector holds it: the mask byte, then 4096 text-like bytes packed by each
// method of the mask in turn (zlib, then PKWARE, then bzip2: readers undo them the other way round,
// and StormLib's writer drops a method that does not shrink, so it never writes such chains). The
// unit must decode back through our DecodeUnit in format 0, or it would start nothing.
bool WriteUnit(const fs::path& path, std::uint8_t mask) {
    const std::vector<std::uint8_t> plain = testkit::PatternBytes(4096, 3);
    std::vector<std::uint8_t> data = plain;
    for (const std::uint8_t method : {mpq::kCompressionZlib, mpq::kCompressionPkware, mpq::kCompressionBzip2}) {
        if ((mask & method) == 0)
            continue;
        std::optional<std::vector<std::uint8_t>> packed = Pack(data, method);
        if (!packed)
            return false;
        data = std::move(*packed);
    }
    data.insert(data.begin(), mask);
    std::vector<std::uint8_t> scratch = data;
    std::vector<std::uint8_t> decoded(plain.size());
    if (mpq::DecodeUnit(scratch, decoded, mpq::kFileCompress, 0) != mpq::ReadError::None || decoded != plain)
        return false;
    return WriteBytes(path, data);
}

// A PKWARE stream alone, as an imploded file's sector holds it.
bool WriteImploded(const fs::path& path) {
    const std::optional<std::vector<std::uint8_t>> packed =
        Pack(testkit::PatternBytes(4096, 5), mpq::kCompressionPkware);
    return packed && WriteBytes(path, *packed);
}

// (attributes) for 10 blocks with every array; with patch bits (two bytes) when patch is true.
bool WriteAttributes(const fs::path& path, bool patch) {
    mpq::Attributes attributes;
    attributes.flags = mpq::kAttributeCrc32 | mpq::kAttributeFileTime | mpq::kAttributeMd5;
    attributes.entryCount = 10;
    for (std::uint32_t i = 0; i < attributes.entryCount; ++i) {
        attributes.crc32.push_back(0x01020304u * (i + 1));
        attributes.fileTimes.push_back(0x01D0000000000000ull + i);
        attributes.md5.push_back({static_cast<std::uint8_t>(i)});
    }
    std::optional<std::vector<std::uint8_t>> bytes = mpq::EncodeAttributes(attributes);
    if (!bytes)
        return false;
    if (patch) {
        (*bytes)[4] |= mpq::kAttributePatchBit;
        bytes->insert(bytes->end(), {0x81, 0x80});
    }
    return WriteBytes(path, *bytes);
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
    // Every storage shape of our builder, in both formats.
    for (int format : {0, 1}) {
        const std::string suffix = "_v" + std::to_string(format) + ".mpq";
        seeds.push_back({"encrypted" + suffix, [format](const fs::path& path) {
                             return Build(path, Shaped(300, [](MpqBuilderFile& f) { f.encrypt = true; }),
                                          Options(format));
                         }});
        seeds.push_back({"fix_key" + suffix, [format](const fs::path& path) {
                             return Build(path, Shaped(3000, [](MpqBuilderFile& f) { f.encrypt = f.fixKey = true; }),
                                          Options(format, 1));
                         }});
        seeds.push_back({"single_unit" + suffix, [format](const fs::path& path) {
                             return Build(path, Shaped(3000, [](MpqBuilderFile& f) { f.singleUnit = true; }),
                                          Options(format, 1));
                         }});
        seeds.push_back(
            {"single_unit_encrypted" + suffix, [format](const fs::path& path) {
                 return Build(path, Shaped(3000, [](MpqBuilderFile& f) { f.singleUnit = f.encrypt = f.fixKey = true; }),
                              Options(format, 1));
             }});
        seeds.push_back({"sector_crc" + suffix, [format](const fs::path& path) {
                             return Build(path, Shaped(3000, [](MpqBuilderFile& f) { f.sectorCrc = true; }),
                                          Options(format, 1));
                         }});
        seeds.push_back({"sector_crc_encrypted" + suffix, [format](const fs::path& path) {
                             return Build(path, Shaped(3000, [](MpqBuilderFile& f) { f.sectorCrc = f.encrypt = true; }),
                                          Options(format, 1));
                         }});
        seeds.push_back({"user_data" + suffix, [format](const fs::path& path) {
                             MpqBuilderOptions options = Options(format);
                             options.userDataSize = format == 0 ? 700 : 64;
                             return Build(path, SmallSampleFiles(300), options);
                         }});
    }
    seeds.push_back({"internal_encrypted_v1.mpq", [](const fs::path& path) {
                         MpqBuilderOptions options = Options(1);
                         options.encryptInternalFiles = true;
                         options.attributeFlags = mpq::kAttributeCrc32 | mpq::kAttributeFileTime;
                         return Build(path, SmallSampleFiles(300), options);
                     }});
    seeds.push_back({"attributes_crc_only_v0.mpq", [](const fs::path& path) {
                         MpqBuilderOptions options = Options(0);
                         options.attributeFlags = mpq::kAttributeCrc32;
                         return Build(path, SmallSampleFiles(300), options);
                     }});
    seeds.push_back({"roomy_hash_table_v1.mpq", [](const fs::path& path) {
                         MpqBuilderOptions options = Options(1);
                         options.hashTableSize = 256;
                         return Build(path, SmallSampleFiles(300), options);
                     }});
    seeds.push_back({"many_locales_v1.mpq", [](const fs::path& path) {
                         std::vector<MpqBuilderFile> files = SmallSampleFiles(200);
                         for (const std::uint16_t locale : {0x804, 0x409, 0x407}) {
                             MpqBuilderFile other = files[1];
                             other.locale = locale;
                             other.content.push_back(static_cast<std::uint8_t>(locale));
                             other.encrypt = locale == 0x409;
                             files.push_back(other);
                         }
                         return Build(path, files, Options(1));
                     }});
    seeds.push_back({"every_shape_v0.mpq", [](const fs::path& path) {
                         std::vector<MpqBuilderFile> files = SmallSampleFiles(3000);
                         files[0].encrypt = files[0].fixKey = files[0].sectorCrc = true;
                         files[1].singleUnit = files[1].encrypt = true;
                         files[2].compress = false;
                         files[3].sectorCrc = true;
                         files[3].locale = 0x804;
                         MpqBuilderOptions options = Options(0, 1);
                         options.encryptInternalFiles = true;
                         options.userDataSize = 16;
                         return Build(path, files, options);
                     }});
    // What only StormLib writes here.
    seeds.push_back(
        {"storm_implode_v0.mpq", [](const fs::path& path) { return BuildWithStorm(path, 0, MPQ_FILE_IMPLODE, 0); }});
    seeds.push_back({"storm_implode_encrypted_v0.mpq", [](const fs::path& path) {
                         return BuildWithStorm(path, 0, MPQ_FILE_IMPLODE | MPQ_FILE_ENCRYPTED | MPQ_FILE_FIX_KEY, 0);
                     }});
    seeds.push_back({"storm_implode_single_unit_v1.mpq", [](const fs::path& path) {
                         return BuildWithStorm(path, 1, MPQ_FILE_IMPLODE | MPQ_FILE_SINGLE_UNIT, 0);
                     }});
    seeds.push_back({"storm_pkware_v1.mpq", [](const fs::path& path) {
                         return BuildWithStorm(path, 1, MPQ_FILE_COMPRESS | MPQ_FILE_SECTOR_CRC,
                                               MPQ_COMPRESSION_PKWARE);
                     }});
    seeds.push_back({"storm_bzip2_v1.mpq", [](const fs::path& path) {
                         return BuildWithStorm(path, 1, MPQ_FILE_COMPRESS, MPQ_COMPRESSION_BZIP2);
                     }});
    seeds.push_back({"storm_bzip2_encrypted_v0.mpq", [](const fs::path& path) {
                         return BuildWithStorm(path, 0, MPQ_FILE_COMPRESS | MPQ_FILE_ENCRYPTED, MPQ_COMPRESSION_BZIP2);
                     }});
    // Bare units for the decoders.
    const std::pair<const char*, std::uint8_t> units[] = {
        {"zlib", mpq::kCompressionZlib},
        {"pkware", mpq::kCompressionPkware},
        {"bzip2", mpq::kCompressionBzip2},
        {"zlib_pkware", mpq::kCompressionZlib | mpq::kCompressionPkware},
        {"pkware_bzip2", mpq::kCompressionPkware | mpq::kCompressionBzip2},
        {"zlib_pkware_bzip2", mpq::kCompressionZlib | mpq::kCompressionPkware | mpq::kCompressionBzip2},
    };
    for (const auto& unit : units) {
        seeds.push_back({std::string("unit_") + unit.first + "_4096.bin",
                         [mask = unit.second](const fs::path& path) { return WriteUnit(path, mask); }});
    }
    seeds.push_back({"stream_imploded_4096.bin", [](const fs::path& path) { return WriteImploded(path); }});
    seeds.push_back({"attributes_10.bin", [](const fs::path& path) { return WriteAttributes(path, false); }});
    seeds.push_back({"attributes_10_patch.bin", [](const fs::path& path) { return WriteAttributes(path, true); }});
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
