// The kit's independent checks on Linux: smpq lists and extracts, StormLib signs and verifies.
#include "testkit/mpq_fixtures.h"

#include "testkit/temp_dir.h"

#include "archive/format/tomcrypt_setup.h"

#include <StormLib.h>

#include <algorithm>
#include <cstdio>
#include <sys/wait.h>

namespace fs = std::filesystem;

namespace testkit {

namespace {

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::optional<std::string> RunAndCapture(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return std::nullopt;
    std::string output;
    char chunk[4096];
    std::size_t count;
    while ((count = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
        output.append(chunk, count);
    const int status = pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return output;
}

} // namespace

bool HaveSmpq() {
    std::error_code error;
    return fs::is_regular_file(SMPQ_EXECUTABLE, error);
}

std::optional<std::vector<std::string>> SmpqList(const fs::path& archive) {
    std::optional<std::string> output = RunAndCapture(Quote(SMPQ_EXECUTABLE) + " -l " + Quote(archive.string()));
    if (!output)
        return std::nullopt;
    // Lines are "<size> <date> <time> <name>"; the name is the rest after three fields.
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < output->size()) {
        std::size_t end = output->find('\n', start);
        if (end == std::string::npos)
            end = output->size();
        std::string line = output->substr(start, end - start);
        start = end + 1;
        std::size_t position = line.find_first_not_of(' ');
        for (int field = 0; field < 3 && position != std::string::npos; ++field) {
            position = line.find(' ', position);
            if (position != std::string::npos)
                position = line.find_first_not_of(' ', position);
        }
        if (position != std::string::npos)
            names.push_back(line.substr(position));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::vector<std::uint8_t>> SmpqExtract(const fs::path& archive, const std::string& name) {
    TempDir out;
    const std::string command = "cd " + Quote(out.path().string()) + " && " + Quote(SMPQ_EXECUTABLE) + " -q -x " +
                                Quote(fs::absolute(archive).string()) + " " + Quote(name);
    if (!RunAndCapture(command))
        return std::nullopt;
    std::string relative = name;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    std::error_code error;
    if (!fs::is_regular_file(out / relative, error))
        return std::nullopt;
    return ReadFile(out / relative);
}

bool SignArchiveWeakly(const fs::path& archive) {
    PrepareTomcrypt();
    HANDLE handle = nullptr;
    if (!SFileOpenArchive(archive.c_str(), 0, 0, &handle) || handle == nullptr)
        return false;
    // StormLib writes the signature when the archive is closed.
    const bool signedNow = SFileSignArchive(handle, SIGNATURE_TYPE_WEAK);
    return SFileCloseArchive(handle) && signedNow;
}

SignatureCheck CheckSignature(const fs::path& archive) {
    HANDLE handle = nullptr;
    if (!SFileOpenArchive(archive.c_str(), 0, MPQ_OPEN_READ_ONLY, &handle) || handle == nullptr)
        return SignatureCheck::Other;
    const DWORD result = SFileVerifyArchive(handle);
    SFileCloseArchive(handle);
    switch (result) {
    case ERROR_NO_SIGNATURE:
        return SignatureCheck::None;
    case ERROR_WEAK_SIGNATURE_OK:
        return SignatureCheck::WeakValid;
    case ERROR_WEAK_SIGNATURE_ERROR:
        return SignatureCheck::WeakBroken;
    default:
        return SignatureCheck::Other;
    }
}

std::optional<std::vector<std::uint8_t>> StormReadEntry(void* archive, const std::string& name, std::uint32_t locale) {
    const LCID previous = SFileSetLocale(locale);
    HANDLE file = nullptr;
    const bool opened = SFileOpenFileEx(archive, name.c_str(), SFILE_OPEN_FROM_MPQ, &file);
    SFileSetLocale(previous);
    if (!opened)
        return std::nullopt;
    DWORD high = 0;
    const DWORD size = SFileGetFileSize(file, &high);
    std::optional<std::vector<std::uint8_t>> bytes;
    if (size != SFILE_INVALID_SIZE && high == 0) {
        bytes.emplace(size);
        DWORD read = 0;
        if (size != 0 && (!SFileReadFile(file, bytes->data(), size, &read, nullptr) || read != size))
            bytes.reset();
    }
    SFileCloseFile(file);
    return bytes;
}

} // namespace testkit
