// Our archive check and the archive worker's message decoder on arbitrary bytes, in process.
// Nothing here reaches StormLib, so any sanitizer report, crash, unbounded allocation or write is a
// fault of ours.
#include "fuzz/game_files.h"
#include "fuzz/memory_file.h"

#include "archive/mpq_layout.h"
#include "archive/worker_protocol.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::uint32_t kMpqSignature = 0x1A51504D; // 'MPQ\x1A'
constexpr std::uint32_t kMaxTableEntries = 1u << 20;
constexpr std::uint32_t kFileExists = 0x80000000;
constexpr std::uint32_t kRefusedFlags = 0x00100000 | 0x02000000; // patch file, delete marker

[[noreturn]] __attribute__((format(printf, 1, 2))) void Fail(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
    std::fputc('\n', stderr);
    std::abort();
}

unsigned long long ToUll(std::uint64_t value) {
    return static_cast<unsigned long long>(value);
}

std::uint32_t Le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void CheckLayout(std::span<const std::uint8_t> bytes, std::uint64_t size, const std::vector<std::string>& names) {
    MemoryFile file(bytes, size);
    const std::optional<MpqLayout> layout = ReadMpqLayout(file, names);
    if (!layout)
        return;
    // What the check promises of an accepted layout and the door relies on: tables of bounded
    // size, hash entries naming blocks of the table, existing files inside the file with no flag a
    // game archive does not use, and a first writable offset inside the file.
    if (layout->hashTableSize > kMaxTableEntries || layout->blockTableSize > kMaxTableEntries ||
        layout->blocks.size() != layout->blockTableSize)
        Fail("accepted tables of %u hash and %u block entries", layout->hashTableSize, layout->blockTableSize);
    for (const MpqLayout::Hash& hash : layout->hashes) {
        if (hash.blockIndex >= layout->blocks.size())
            Fail("accepted a hash entry naming block %u of %u", hash.blockIndex, layout->blockTableSize);
        const MpqLayout::Block& block = layout->blocks[hash.blockIndex];
        if ((block.flags & kFileExists) == 0)
            continue;
        if ((block.flags & kRefusedFlags) != 0)
            Fail("accepted a file with flags %08x", block.flags);
        if (block.compressedSize != 0 && (block.offset < layout->headerOffset + layout->headerSize ||
                                          block.offset + block.compressedSize > layout->fileSize))
            Fail("accepted a file at %llu of %u bytes in a file of %llu", ToUll(block.offset), block.compressedSize,
                 ToUll(layout->fileSize));
    }
    (void)layout->HasSignature();
    for (const std::string& name : names) {
        if (layout->FirstWritableOffset({name}) > layout->fileSize)
            Fail("first writable offset past the end of the file");
    }
}

// What the parent must be able to rely on for a message it decoded: encoding it again gives a
// frame that decodes to the same message.
void CheckRoundTrip(const worker_protocol::Message& message) {
    const std::vector<std::uint8_t> frame = worker_protocol::EncodeMessage(message);
    const std::optional<worker_protocol::Message> again = worker_protocol::DecodeMessage(frame);
    if (!again || !(*again == message))
        Fail("a decoded message of type %u does not survive encoding", static_cast<unsigned>(message.type));
}

void CheckDecoder(std::span<const std::uint8_t> bytes) {
    if (const std::optional<worker_protocol::Message> message = worker_protocol::DecodeMessage(bytes))
        CheckRoundTrip(*message);
    // The same bytes as a stream arriving in two pieces, cut where the first byte says.
    worker_protocol::FrameReader reader;
    const std::size_t cut = bytes.empty() ? 0 : bytes[0] % bytes.size();
    for (const std::span<const std::uint8_t> piece : {bytes.first(cut), bytes.subspan(cut)}) {
        reader.Append(piece);
        for (;;) {
            worker_protocol::Message message;
            if (reader.Next(message) != worker_protocol::FrameReader::Status::Ready)
                break;
            CheckRoundTrip(message);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::string> names = GameFileNames();
    const std::span<const std::uint8_t> bytes(data, size);
    CheckDecoder(bytes);
    CheckLayout(bytes, size, names);
    // The same bytes at the start of a much larger, otherwise empty file (a sparse file on disk):
    // the size fields may then point far, and nothing may be allocated for them unchecked. The last
    // four bytes pick the size. Only with the header at offset 0, so that no search walks gigabytes.
    if (size >= 36 && Le32(data) == kMpqSignature) {
        const std::uint64_t claimed = size + Le32(data + size - 4);
        CheckLayout(bytes, claimed, names);
    }
    return 0;
}
