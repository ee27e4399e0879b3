#include "archive/worker/worker_protocol.h"

#include <cstring>

namespace worker_protocol {

namespace {

enum class Fields { Handle, OpenArchive, HandleText, ReadFile, CreateFile, WriteFile, Progress, Reply, Unknown };

Fields FieldsOf(MessageType type) {
    switch (type) {
    case MessageType::OpenArchive:
        return Fields::OpenArchive;
    case MessageType::IsReadOnly:
    case MessageType::FlushArchive:
    case MessageType::CloseArchive:
    case MessageType::FileSize:
    case MessageType::FileLocale:
    case MessageType::CloseFile:
    case MessageType::FinishFile:
    case MessageType::CompactArchive:
    case MessageType::PrepareFlush:
        return Fields::Handle;
    case MessageType::OpenFile:
    case MessageType::RemoveFile:
        return Fields::HandleText;
    case MessageType::ReadFile:
        return Fields::ReadFile;
    case MessageType::CreateFile:
        return Fields::CreateFile;
    case MessageType::WriteFile:
        return Fields::WriteFile;
    case MessageType::Progress:
        return Fields::Progress;
    case MessageType::Reply:
        return Fields::Reply;
    }
    return Fields::Unknown;
}

class Writer {
public:
    void U8(std::uint8_t value) { m_bytes.push_back(value); }
    void U32(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            m_bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    void U64(std::uint64_t value) {
        U32(static_cast<std::uint32_t>(value));
        U32(static_cast<std::uint32_t>(value >> 32));
    }
    void Bytes(const void* data, std::size_t size) {
        U32(static_cast<std::uint32_t>(size));
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), bytes, bytes + size);
    }
    std::vector<std::uint8_t>& Result() { return m_bytes; }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Reads fields from a body; any read past the end or over a limit leaves it failed.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::uint8_t U8() {
        if (!Has(1))
            return 0;
        return m_bytes[m_at++];
    }
    std::uint32_t U32() {
        if (!Has(4))
            return 0;
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | m_bytes[m_at + static_cast<std::size_t>(i)];
        m_at += 4;
        return value;
    }
    std::uint64_t U64() {
        const std::uint64_t low = U32();
        const std::uint64_t high = U32();
        return (high << 32) | low;
    }
    // A byte string of at most `limit` bytes; the length is checked before the copy is made.
    template <typename Container> void Bytes(Container& into, std::uint32_t limit) {
        const std::uint32_t size = U32();
        if (size > limit || !Has(size)) {
            m_failed = true;
            return;
        }
        into.assign(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_at),
                    m_bytes.begin() + static_cast<std::ptrdiff_t>(m_at + size));
        m_at += size;
    }
    void Fail() { m_failed = true; }
    // Everything read, nothing left over.
    bool Complete() const { return !m_failed && m_at == m_bytes.size(); }

private:
    bool Has(std::size_t count) {
        if (m_failed || m_bytes.size() - m_at < count) {
            m_failed = true;
            return false;
        }
        return true;
    }

    std::span<const std::uint8_t> m_bytes;
    std::size_t m_at = 0;
    bool m_failed = false;
};

} // namespace

std::vector<std::uint8_t> EncodeMessage(const Message& message) {
    const Fields fields = FieldsOf(message.type);
    if (fields == Fields::Unknown || message.text.size() > kMaxText || message.data.size() > kMaxChunk)
        return {};
    Writer out;
    out.U32(0); // the body length, filled in below
    out.U8(static_cast<std::uint8_t>(message.type));
    switch (fields) {
    case Fields::OpenArchive:
        out.U8(static_cast<std::uint8_t>((message.readOnly ? 1 : 0) | (message.headerAtStart ? 2 : 0)));
        out.Bytes(message.text.data(), message.text.size());
        break;
    case Fields::Handle:
        out.U32(message.handle);
        break;
    case Fields::HandleText:
        out.U32(message.handle);
        out.Bytes(message.text.data(), message.text.size());
        break;
    case Fields::ReadFile:
        out.U32(message.handle);
        out.U32(message.size);
        break;
    case Fields::CreateFile:
        out.U32(message.handle);
        out.U32(message.size);
        out.U32(message.locale);
        out.Bytes(message.text.data(), message.text.size());
        break;
    case Fields::WriteFile:
        out.U32(message.handle);
        out.Bytes(message.data.data(), message.data.size());
        break;
    case Fields::Progress:
        out.U64(message.value);
        out.U64(message.total);
        break;
    case Fields::Reply:
        out.U8(message.ok ? 1 : 0);
        out.U8(static_cast<std::uint8_t>(message.failure));
        out.U64(message.value);
        out.Bytes(message.data.data(), message.data.size());
        break;
    case Fields::Unknown:
        return {};
    }
    std::vector<std::uint8_t>& bytes = out.Result();
    const auto bodySize = static_cast<std::uint32_t>(bytes.size() - kFrameHeaderSize);
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i)
        bytes[i] = static_cast<std::uint8_t>(bodySize >> (8 * i));
    return std::move(bytes);
}

std::optional<std::uint32_t> BodyLength(std::span<const std::uint8_t, kFrameHeaderSize> header) {
    const std::uint32_t length = static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
                                 static_cast<std::uint32_t>(header[2]) << 16 |
                                 static_cast<std::uint32_t>(header[3]) << 24;
    if (length == 0 || length > kMaxBody)
        return std::nullopt;
    return length;
}

std::optional<Message> DecodeMessage(std::span<const std::uint8_t> frame) {
    if (frame.size() < kFrameHeaderSize)
        return std::nullopt;
    const std::optional<std::uint32_t> length = BodyLength(frame.first<kFrameHeaderSize>());
    if (!length || frame.size() - kFrameHeaderSize != *length)
        return std::nullopt;
    Reader in(frame.subspan(kFrameHeaderSize));
    Message message;
    message.type = static_cast<MessageType>(in.U8());
    switch (FieldsOf(message.type)) {
    case Fields::OpenArchive: {
        const std::uint8_t flags = in.U8();
        if ((flags & ~3u) != 0)
            in.Fail();
        message.readOnly = (flags & 1) != 0;
        message.headerAtStart = (flags & 2) != 0;
        in.Bytes(message.text, kMaxText);
        break;
    }
    case Fields::Handle:
        message.handle = in.U32();
        break;
    case Fields::HandleText:
        message.handle = in.U32();
        in.Bytes(message.text, kMaxText);
        break;
    case Fields::ReadFile:
        message.handle = in.U32();
        message.size = in.U32();
        if (message.size > kMaxChunk)
            in.Fail();
        break;
    case Fields::CreateFile:
        message.handle = in.U32();
        message.size = in.U32();
        message.locale = in.U32();
        in.Bytes(message.text, kMaxText);
        break;
    case Fields::WriteFile:
        message.handle = in.U32();
        in.Bytes(message.data, kMaxChunk);
        break;
    case Fields::Progress:
        message.value = in.U64();
        message.total = in.U64();
        break;
    case Fields::Reply: {
        const std::uint8_t ok = in.U8();
        const std::uint8_t failure = in.U8();
        if (ok > 1 || failure > static_cast<std::uint8_t>(MpqFailure::EngineFailed))
            in.Fail();
        message.ok = ok == 1;
        message.failure = static_cast<MpqFailure>(failure);
        message.value = in.U64();
        in.Bytes(message.data, kMaxChunk);
        break;
    }
    case Fields::Unknown:
        return std::nullopt;
    }
    if (!in.Complete())
        return std::nullopt;
    return message;
}

void FrameReader::Append(std::span<const std::uint8_t> bytes) {
    // Drop what was consumed before growing, so the buffer stays near one frame.
    if (m_start > 0 && m_start * 2 >= m_buffer.size()) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());
}

FrameReader::Status FrameReader::Next(Message& message) {
    if (m_malformed)
        return Status::Malformed;
    const std::span<const std::uint8_t> pending = std::span<const std::uint8_t>(m_buffer).subspan(m_start);
    if (pending.size() < kFrameHeaderSize)
        return Status::NeedMore;
    const std::optional<std::uint32_t> length = BodyLength(pending.first<kFrameHeaderSize>());
    if (!length) {
        m_malformed = true;
        return Status::Malformed;
    }
    if (pending.size() - kFrameHeaderSize < *length)
        return Status::NeedMore;
    std::optional<Message> decoded = DecodeMessage(pending.first(kFrameHeaderSize + *length));
    if (!decoded) {
        m_malformed = true;
        return Status::Malformed;
    }
    m_start += kFrameHeaderSize + *length;
    message = std::move(*decoded);
    return Status::Ready;
}

} // namespace worker_protocol
