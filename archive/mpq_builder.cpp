#include "archive/mpq_builder.h"

#include "archive/archive_name.h"

#include <StormLib.h>

#include <system_error>

bool CreateMpqArchive(const std::filesystem::path& path, const std::vector<MpqBuilderFile>& files, int formatVersion,
                      bool withListfile, bool withAttributes) {
    if (formatVersion != 0 && formatVersion != 1)
        return false;
    std::error_code error;
    std::filesystem::remove(path, error);
    if (error)
        return false;

    SFILE_CREATE_MPQ create = {};
    create.cbSize = sizeof(create);
    create.dwMpqVersion = static_cast<DWORD>(formatVersion);
    create.dwFileFlags1 = withListfile ? MPQ_FILE_DEFAULT_INTERNAL : 0;
    create.dwFileFlags2 = withAttributes ? MPQ_FILE_DEFAULT_INTERNAL : 0;
    create.dwAttrFlags = withAttributes ? (MPQ_ATTRIBUTE_CRC32 | MPQ_ATTRIBUTE_FILETIME | MPQ_ATTRIBUTE_MD5) : 0;
    create.dwSectorSize = 0x1000;
    create.dwRawChunkSize = 0;
    // StormLib rounds this up to a power of two (at least 4) for the hash table.
    create.dwMaxFileCount = static_cast<DWORD>(files.size() + 2);

    HANDLE archive = nullptr;
    if (!SFileCreateArchive2(path.c_str(), &create, &archive) || archive == nullptr) {
        std::filesystem::remove(path, error);
        return false;
    }

    bool ok = true;
    for (const MpqBuilderFile& file : files) {
        std::optional<std::string> name = ArchiveNameFromText(file.address);
        if (!name) {
            ok = false;
            break;
        }
        const DWORD flags = MPQ_FILE_REPLACEEXISTING | (file.compress ? MPQ_FILE_COMPRESS : 0);
        HANDLE handle = nullptr;
        if (!SFileCreateFile(archive, name->c_str(), 0, static_cast<DWORD>(file.content.size()), file.locale, flags,
                             &handle) ||
            handle == nullptr) {
            ok = false;
            break;
        }
        static const std::uint8_t nothing = 0;
        const std::uint8_t* data = file.content.empty() ? &nothing : file.content.data();
        bool written = file.content.empty() ||
                       SFileWriteFile(handle, data, static_cast<DWORD>(file.content.size()), MPQ_COMPRESSION_ZLIB);
        if (!SFileFinishFile(handle))
            written = false;
        if (!written) {
            ok = false;
            break;
        }
    }
    if (!SFileCloseArchive(archive))
        ok = false;
    if (!ok)
        std::filesystem::remove(path, error);
    return ok;
}
