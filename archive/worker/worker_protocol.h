#pragma once
// The archive worker's wire protocol over one byte stream (socket or pipe). Every message is one
// frame: a little-endian u32 body length, then the body: a u8 type and that type's fields
// (u8 flags, u32 ids and sizes, u64 values, byte strings as a u32 length and the bytes).
// The parent sends requests, one per MpqEngine call; the worker answers each with any number of
// Progress messages and then one Reply. Handles cross as u32 ids the worker hands out.
//
// Every length is checked against the limits below before anything is allocated, so any byte
// sequence decodes either to a message or to nothing:
//   DecodeMessage(EncodeMessage(m)) == m, and DecodeMessage({0xFF, 0xFF, 0xFF, 0xFF}) == nullopt.
#include "archive/mpq_failure.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace worker_protocol {

// The largest piece of a file that crosses in one message; larger reads and writes are split.
constexpr std::uint32_t kMaxChunk = 1u << 20;
// The longest path or stored file name.
constexpr std::uint32_t kMaxText = 4096;
// The largest body: a chunk or a text with the few fixed fields around it.
constexpr std::uint32_t kMaxBody = kMaxChunk + 64;
constexpr std::size_t kFrameHeaderSize = 4;

enum class MessageType : std::uint8_t {
    OpenArchive = 1,
    IsReadOnly,
    FlushArchive,
    CloseArchive,
    OpenFile,
    FileSize,
    FileLocale,
    ReadFile,
    CloseFile,
    CreateFile,
    WriteFile,
    FinishFile,
    RemoveFile,
    CompactArchive,
    PrepareFlush,
    Progress = 0x40, // worker -> parent, any number before a reply; also a sign of life
    Reply = 0x41,    // worker -> parent, ends a request
};

// One message; only the fields its type carries are encoded, the others stay at their defaults.
struct Message {
    MessageType type = MessageType::Reply;
    std::uint32_t handle = 0;              // every request but OpenArchive: the archive or file id
    std::uint32_t size = 0;                // ReadFile: bytes wanted; CreateFile: the file's size
    std::uint32_t locale = 0;              // CreateFile
    bool readOnly = false;                 // OpenArchive
    bool headerAtStart = false;            // OpenArchive
    std::string text;                      // OpenArchive: the path (UTF-8); OpenFile, CreateFile, RemoveFile: the name
    std::vector<std::uint8_t> data;        // WriteFile: the chunk; Reply to ReadFile: the bytes read
    bool ok = false;                       // Reply
    MpqFailure failure = MpqFailure::None; // Reply: why it failed
    std::uint64_t value = 0; // Reply: the new id, size, locale, read-only flag or CompactArchive's rewritten flag
                             // (0: nothing to reclaim, the file left alone); Progress: done
    std::uint64_t total = 0; // Progress: total, 0 when unknown

    bool operator==(const Message&) const = default;
};

// The whole frame, header included. A message over the limits encodes to an empty vector.
std::vector<std::uint8_t> EncodeMessage(const Message& message);

// Exactly one whole frame (header and body, nothing after it); nullopt for anything else.
std::optional<Message> DecodeMessage(std::span<const std::uint8_t> frame);

// Cuts a stream into messages as bytes arrive, in any pieces.
class FrameReader {
public:
    enum class Status { NeedMore, Ready, Malformed };

    void Append(std::span<const std::uint8_t> bytes);
    // Ready fills message; Malformed stays Malformed (the stream cannot be trusted after it).
    Status Next(Message& message);

private:
    std::vector<std::uint8_t> m_buffer;
    std::size_t m_start = 0;
    bool m_malformed = false;
};

// The body length a frame header announces, or nullopt when it is over the limit (or zero).
std::optional<std::uint32_t> BodyLength(std::span<const std::uint8_t, kFrameHeaderSize> header);

} // namespace worker_protocol
