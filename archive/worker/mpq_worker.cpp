// The worker's loop: read a request, make the one engine call it names, answer. Ids stand for the
// engine's handles so that no pointer crosses the stream; an id the worker did not hand out fails.
#include "archive/worker/mpq_worker.h"

#include "archive/worker/worker_process.h"
#include "archive/worker/worker_protocol.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>

namespace {

using worker_protocol::Message;
using worker_protocol::MessageType;

// Progress is sent at most this often; compaction reports every file.
constexpr auto kProgressInterval = std::chrono::milliseconds(20);

class WorkerServer {
public:
    WorkerServer(worker_process::WorkerChannel& channel, MpqEngine& engine) : m_channel(channel), m_engine(engine) {
        m_engine.SetProgress([this](std::uint64_t done, std::uint64_t total) { SendProgress(done, total); });
    }
    ~WorkerServer() { m_engine.SetProgress({}); }

    int Serve() {
        for (;;) {
            std::vector<std::uint8_t> frame(worker_protocol::kFrameHeaderSize);
            if (!m_channel.ReadExact(frame.data(), frame.size()))
                return 0; // the parent is done
            const std::optional<std::uint32_t> length =
                worker_protocol::BodyLength(std::span<const std::uint8_t>(frame).first<4>());
            if (!length)
                return 2;
            frame.resize(frame.size() + *length);
            if (!m_channel.ReadExact(frame.data() + worker_protocol::kFrameHeaderSize, *length))
                return 2;
            const std::optional<Message> request = worker_protocol::DecodeMessage(frame);
            if (!request)
                return 2;
            if (!m_channel.WriteAll(worker_protocol::EncodeMessage(Answer(*request))))
                return 2;
        }
    }

private:
    Message Answer(const Message& request) {
        Message reply;
        reply.type = MessageType::Reply;
        m_failureKnown = false;
        reply.ok = Call(request, reply);
        FlushProgress();
        if (!reply.ok)
            reply.failure = m_failureKnown ? m_failure : FailureOfEngine();
        return reply;
    }

    MpqFailure FailureOfEngine() const {
        const MpqFailure failure = m_engine.LastFailure();
        return failure == MpqFailure::None ? MpqFailure::EngineFailed : failure;
    }

    bool Refuse(MpqFailure failure) {
        m_failure = failure;
        m_failureKnown = true;
        return false;
    }

    std::uint32_t Register(std::map<std::uint32_t, MpqHandle>& handles, MpqHandle handle) {
        const std::uint32_t id = ++m_lastId;
        handles[id] = handle;
        return id;
    }

    static MpqHandle Find(const std::map<std::uint32_t, MpqHandle>& handles, std::uint32_t id) {
        const auto it = handles.find(id);
        return it == handles.end() ? nullptr : it->second;
    }

    bool Call(const Message& request, Message& reply) {
        if (request.type == MessageType::OpenArchive) {
            const std::filesystem::path path(std::u8string(request.text.begin(), request.text.end()));
            MpqHandle archive = m_engine.OpenArchive(path, request.readOnly, request.headerAtStart);
            if (archive == nullptr)
                return false;
            reply.value = Register(m_archives, archive);
            return true;
        }
        switch (request.type) {
        case MessageType::IsReadOnly:
        case MessageType::FlushArchive:
        case MessageType::CloseArchive:
        case MessageType::OpenFile:
        case MessageType::CreateFile:
        case MessageType::RemoveFile:
        case MessageType::CompactArchive:
        case MessageType::PrepareFlush:
            return ArchiveCall(request, reply);
        case MessageType::FileSize:
        case MessageType::FileLocale:
        case MessageType::ReadFile:
        case MessageType::CloseFile:
        case MessageType::WriteFile:
        case MessageType::FinishFile:
            return FileCall(request, reply);
        default:
            return Refuse(MpqFailure::BadArgument);
        }
    }

    bool ArchiveCall(const Message& request, Message& reply) {
        MpqHandle archive = Find(m_archives, request.handle);
        if (archive == nullptr)
            return Refuse(MpqFailure::BadArgument);
        switch (request.type) {
        case MessageType::IsReadOnly:
            reply.value = m_engine.IsReadOnly(archive) ? 1 : 0;
            return true;
        case MessageType::FlushArchive:
            return m_engine.FlushArchive(archive);
        case MessageType::PrepareFlush:
            return m_engine.PrepareFlush(archive, reply.data);
        case MessageType::CloseArchive:
            m_archives.erase(request.handle);
            return m_engine.CloseArchive(archive);
        case MessageType::OpenFile: {
            MpqHandle file = m_engine.OpenFile(archive, request.text);
            if (file == nullptr)
                return false;
            reply.value = Register(m_files, file);
            return true;
        }
        case MessageType::CreateFile: {
            MpqHandle file = m_engine.CreateFile(archive, request.text, request.size, request.locale);
            if (file == nullptr)
                return false;
            reply.value = Register(m_files, file);
            return true;
        }
        case MessageType::RemoveFile:
            return m_engine.RemoveFile(archive, request.text);
        case MessageType::CompactArchive: {
            bool rewritten = false;
            const bool compacted = m_engine.CompactArchive(archive, rewritten);
            reply.value = rewritten ? 1 : 0;
            return compacted;
        }
        default:
            return Refuse(MpqFailure::BadArgument);
        }
    }

    bool FileCall(const Message& request, Message& reply) {
        MpqHandle file = Find(m_files, request.handle);
        if (file == nullptr)
            return Refuse(MpqFailure::BadArgument);
        switch (request.type) {
        case MessageType::FileSize: {
            const std::optional<std::uint64_t> size = m_engine.FileSize(file);
            reply.value = size.value_or(0);
            return size.has_value();
        }
        case MessageType::FileLocale: {
            const std::optional<std::uint32_t> locale = m_engine.FileLocale(file);
            reply.value = locale.value_or(0);
            return locale.has_value();
        }
        case MessageType::ReadFile:
            // The size was checked against the chunk limit when the request was decoded.
            reply.data.assign(request.size, 0);
            return request.size == 0 || m_engine.ReadFile(file, reply.data.data(), request.size);
        case MessageType::CloseFile:
            m_files.erase(request.handle);
            return m_engine.CloseFile(file);
        case MessageType::WriteFile:
            return request.data.empty() ||
                   m_engine.WriteFile(file, request.data.data(), static_cast<std::uint32_t>(request.data.size()));
        case MessageType::FinishFile:
            m_files.erase(request.handle);
            return m_engine.FinishFile(file);
        default:
            return Refuse(MpqFailure::BadArgument);
        }
    }

    void SendProgress(std::uint64_t done, std::uint64_t total) {
        m_pending.value = done;
        m_pending.total = total;
        m_progressPending = true;
        const auto now = std::chrono::steady_clock::now();
        if (now - m_lastProgress >= kProgressInterval) {
            m_lastProgress = now;
            FlushProgress();
        }
    }

    // The last report of a call always goes out, before its reply.
    void FlushProgress() {
        if (!m_progressPending)
            return;
        m_progressPending = false;
        m_pending.type = MessageType::Progress;
        // A parent that stopped listening is seen by the next read; nothing to do here.
        (void)m_channel.WriteAll(worker_protocol::EncodeMessage(m_pending));
    }

    worker_process::WorkerChannel& m_channel;
    MpqEngine& m_engine;
    std::map<std::uint32_t, MpqHandle> m_archives;
    std::map<std::uint32_t, MpqHandle> m_files;
    std::uint32_t m_lastId = 0;
    MpqFailure m_failure = MpqFailure::None;
    bool m_failureKnown = false;
    std::chrono::steady_clock::time_point m_lastProgress{};
    Message m_pending;
    bool m_progressPending = false;
};

std::optional<std::uint64_t> ParseCap(const char* text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*text == '\0' || *end != '\0')
        return std::nullopt;
    return value;
}

} // namespace

bool IsMpqWorkerInvocation(int argc, char** argv) {
    return argc >= 2 && std::strcmp(argv[1], worker_process::kWorkerFlag) == 0;
}

int RunMpqWorker(int argc, char** argv, std::shared_ptr<MpqEngine> engine) {
    if (argc < 5 || !IsMpqWorkerInvocation(argc, argv))
        return 2;
    const std::optional<std::uint64_t> memoryCap = ParseCap(argv[4]);
    if (!memoryCap || !worker_process::LimitWorker(argv[3], *memoryCap))
        return 2;
    std::unique_ptr<worker_process::WorkerChannel> channel = worker_process::WorkerChannel::Open(argv[2]);
    if (!channel || !engine)
        return 2;
    // Out of memory ends the worker; the parent sees its stream end and reports the failure.
    try {
        WorkerServer server(*channel, *engine);
        return server.Serve();
    } catch (...) {
        return 3;
    }
}
