// The parent's side of the worker: each call becomes one request (reads and writes over a chunk
// become several), then we wait for the reply in short steps, passing on progress, until the
// worker answers, ends or stays silent too long.
#include "archive/worker/worker_mpq_engine.h"

#include "archive/worker/worker_process.h"
#include "archive/worker/worker_protocol.h"

#include <algorithm>
#include <cstdint>
#include <map>

namespace {

using worker_protocol::Message;
using worker_protocol::MessageType;

// The longest wait without a progress call, so a window can repaint meanwhile.
constexpr auto kPollStep = std::chrono::milliseconds(100);

class WorkerMpqEngine final : public MpqEngine {
public:
    explicit WorkerMpqEngine(WorkerOptions options) : m_options(std::move(options)) {
        if (m_options.executable.empty())
            m_options.executable = worker_process::OwnExecutable();
    }

    ~WorkerMpqEngine() override {
        if (m_worker)
            m_worker->Stop();
    }

    MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) override {
        return Guarded<MpqHandle>(nullptr, [&]() -> MpqHandle {
            Message request;
            request.type = MessageType::OpenArchive;
            const std::u8string text = path.u8string();
            request.text.assign(text.begin(), text.end());
            request.readOnly = readOnly;
            request.headerAtStart = headerAtStart;
            if (request.text.size() > worker_protocol::kMaxText)
                return Refuse<MpqHandle>(MpqFailure::BadArgument, nullptr);
            const std::optional<Message> reply = Call(request);
            if (!reply)
                return nullptr;
            return NewHandle(static_cast<std::uint32_t>(reply->value), true, readOnly);
        });
    }

    bool IsReadOnly(MpqHandle archive) override {
        // An archive we cannot ask about is not written.
        const std::optional<Message> reply = CallOn(archive, true, MessageType::IsReadOnly);
        return !reply || reply->value != 0;
    }

    bool FlushArchive(MpqHandle archive) override {
        return CallOn(archive, true, MessageType::FlushArchive).has_value();
    }

    bool PrepareFlush(MpqHandle archive, std::vector<std::uint8_t>& header) override {
        header.clear();
        const std::optional<Message> reply = CallOn(archive, true, MessageType::PrepareFlush);
        if (!reply)
            return false;
        // An MPQ header is 32 or 44 bytes; a worker that answers otherwise is not trusted again.
        if (reply->data.size() > 64)
            return WorkerDied().has_value();
        header = reply->data;
        return true;
    }

    bool CloseArchive(MpqHandle archive) override { return Release(archive, true, MessageType::CloseArchive); }

    MpqHandle OpenFile(MpqHandle archive, const std::string& name) override {
        return NewFileFrom(archive, MessageType::OpenFile, name, 0, 0);
    }

    std::optional<std::uint64_t> FileSize(MpqHandle file) override {
        const std::optional<Message> reply = CallOn(file, false, MessageType::FileSize);
        return reply ? std::optional<std::uint64_t>(reply->value) : std::nullopt;
    }

    std::optional<std::uint32_t> FileLocale(MpqHandle file) override {
        const std::optional<Message> reply = CallOn(file, false, MessageType::FileLocale);
        if (!reply || reply->value > UINT32_MAX)
            return std::nullopt;
        return static_cast<std::uint32_t>(reply->value);
    }

    bool ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) override {
        return Guarded<bool>(false, [&] {
            return Chunked(size, [&](std::uint32_t offset, std::uint32_t length) {
                Message request;
                request.type = MessageType::ReadFile;
                request.size = length;
                const std::optional<Message> reply = CallOn(file, false, request);
                if (!reply)
                    return false;
                if (reply->data.size() != length) {
                    // A worker that answers with the wrong amount is not trusted again.
                    return WorkerDied().has_value();
                }
                std::copy(reply->data.begin(), reply->data.end(), buffer + offset);
                return true;
            });
        });
    }

    bool CloseFile(MpqHandle file) override { return Release(file, false, MessageType::CloseFile); }

    MpqHandle CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size,
                         std::uint32_t locale) override {
        return NewFileFrom(archive, MessageType::CreateFile, name, size, locale);
    }

    bool WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) override {
        return Guarded<bool>(false, [&] {
            return Chunked(size, [&](std::uint32_t offset, std::uint32_t length) {
                Message request;
                request.type = MessageType::WriteFile;
                request.data.assign(data + offset, data + offset + length);
                return CallOn(file, false, request).has_value();
            });
        });
    }

    bool FinishFile(MpqHandle file) override { return Release(file, false, MessageType::FinishFile); }

    bool RemoveFile(MpqHandle archive, const std::string& name) override {
        return Guarded<bool>(false, [&] {
            if (name.size() > worker_protocol::kMaxText)
                return Refuse(MpqFailure::BadArgument, false);
            Message request;
            request.type = MessageType::RemoveFile;
            request.text = name;
            return CallOn(archive, true, request).has_value();
        });
    }

    bool CompactArchive(MpqHandle archive, bool& rewritten) override {
        rewritten = false;
        const std::optional<Message> reply = CallOn(archive, true, MessageType::CompactArchive);
        if (!reply)
            return false;
        rewritten = reply->value != 0;
        return true;
    }

    MpqFailure LastFailure() const override { return m_lastFailure; }

    void SetProgress(MpqProgress progress) override { m_progress = std::move(progress); }

private:
    struct Remote {
        std::uint64_t generation = 0; // which worker handed out the id
        std::uint32_t id = 0;
        bool archive = false;
        bool readOnly = false;
    };

    // Nothing escapes a call: running out of memory here (or an exception from the progress
    // callback) is a failure like any other. The worker may be in the middle of a reply then,
    // so it is not asked again.
    template <typename Result, typename Body> Result Guarded(Result failed, Body body) {
        try {
            return body();
        } catch (...) {
            Retire(true, MpqFailure::EngineFailed);
            m_inTransfer = false;
            m_lastFailure = MpqFailure::EngineFailed;
            return failed;
        }
    }

    template <typename Result> Result Refuse(MpqFailure failure, Result result) {
        m_lastFailure = failure;
        return result;
    }

    MpqHandle NewHandle(std::uint32_t id, bool archive, bool readOnly) {
        const std::uintptr_t token = ++m_lastToken;
        m_handles[token] = Remote{m_generation, id, archive, readOnly};
        return reinterpret_cast<MpqHandle>(token);
    }

    // The remote handle behind one of ours, when it is ours and of the right kind.
    const Remote* Lookup(MpqHandle handle, bool archive) const {
        const auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(handle));
        if (it == m_handles.end() || it->second.archive != archive)
            return nullptr;
        return &it->second;
    }

    bool Alive(const Remote& remote) const { return m_worker && remote.generation == m_generation; }

    std::optional<Message> CallOn(MpqHandle handle, bool archive, MessageType type) {
        Message request;
        request.type = type;
        return CallOn(handle, archive, request);
    }

    std::optional<Message> CallOn(MpqHandle handle, bool archive, Message request) {
        return Guarded<std::optional<Message>>(std::nullopt, [&]() -> std::optional<Message> {
            const Remote* remote = Lookup(handle, archive);
            if (remote == nullptr)
                return Refuse<std::optional<Message>>(MpqFailure::BadArgument, std::nullopt);
            if (!Alive(*remote))
                return Refuse<std::optional<Message>>(EndOf(*remote), std::nullopt);
            request.handle = remote->id;
            return Call(request);
        });
    }

    MpqHandle NewFileFrom(MpqHandle archive, MessageType type, const std::string& name, std::uint32_t size,
                          std::uint32_t locale) {
        return Guarded<MpqHandle>(nullptr, [&]() -> MpqHandle {
            if (name.size() > worker_protocol::kMaxText)
                return Refuse<MpqHandle>(MpqFailure::BadArgument, nullptr);
            Message request;
            request.type = type;
            request.text = name;
            request.size = size;
            request.locale = locale;
            const std::optional<Message> reply = CallOn(archive, true, request);
            if (!reply)
                return nullptr;
            return NewHandle(static_cast<std::uint32_t>(reply->value), false, false);
        });
    }

    // Closes a handle. One of a worker that is gone has nothing left to close, but an archive
    // opened to write lost whatever it had not flushed.
    bool Release(MpqHandle handle, bool archive, MessageType type) {
        return Guarded<bool>(false, [&] {
            const auto it = m_handles.find(reinterpret_cast<std::uintptr_t>(handle));
            if (it == m_handles.end() || it->second.archive != archive)
                return Refuse(MpqFailure::BadArgument, false);
            const Remote remote = it->second;
            m_handles.erase(it);
            if (!Alive(remote)) {
                const bool nothingLost = type == MessageType::CloseFile || (archive && remote.readOnly);
                return nothingLost || Refuse(EndOf(remote), false);
            }
            Message request;
            request.type = type;
            request.handle = remote.id;
            return Call(request).has_value();
        });
    }

    // Splits a transfer into chunks the protocol carries, reporting progress after each.
    template <typename Step> bool Chunked(std::uint32_t size, Step step) {
        const bool reported = size > worker_protocol::kMaxChunk;
        if (reported)
            ReportProgress(0, size);
        m_inTransfer = reported;
        std::uint32_t offset = 0;
        bool ok = true;
        do {
            const std::uint32_t length = std::min(size - offset, worker_protocol::kMaxChunk);
            ok = step(offset, length);
            offset += length;
            if (ok && reported)
                ReportProgress(offset, size);
        } while (ok && offset < size);
        m_inTransfer = false;
        return ok;
    }

    void ReportProgress(std::uint64_t done, std::uint64_t total) {
        m_done = done;
        m_total = total;
        CallProgress();
    }

    // One request and its reply. The reply is returned only when it says the
    // call succeeded; on any failure m_lastFailure says why, and a worker that failed is gone.
    std::optional<Message> Call(const Message& request) {
        if (!m_inTransfer) {
            m_done = 0;
            m_total = 0;
        }
        if (m_worker && !m_worker->Running())
            Retire(false, MpqFailure::WorkerDied);
        if (!m_worker) {
            m_worker = worker_process::WorkerProcess::Start(m_options.executable, m_options.extraArguments,
                                                            m_options.memoryCap);
            if (!m_worker)
                return Refuse<std::optional<Message>>(MpqFailure::WorkerDied, std::nullopt);
            ++m_generation;
            m_reader = worker_protocol::FrameReader();
        }
        const std::vector<std::uint8_t> frame = worker_protocol::EncodeMessage(request);
        if (frame.empty())
            return Refuse<std::optional<Message>>(MpqFailure::BadArgument, std::nullopt);
        if (!m_worker->Send(frame))
            return WorkerDied();
        std::optional<Message> reply = AwaitReply();
        if (!reply)
            return WorkerDied();
        if (!reply->ok) {
            // A name that is simply not there leaves StormLib as it was; any other failure may
            // have left it in a state nobody should build on.
            const MpqFailure failure = reply->failure == MpqFailure::None ? MpqFailure::EngineFailed : reply->failure;
            if (failure != MpqFailure::NotFound)
                Retire(true, failure);
            return Refuse<std::optional<Message>>(failure, std::nullopt);
        }
        return reply;
    }

    std::optional<Message> AwaitReply() {
        auto lastHeard = std::chrono::steady_clock::now();
        std::vector<std::uint8_t> received;
        for (;;) {
            Message message;
            switch (m_reader.Next(message)) {
            case worker_protocol::FrameReader::Status::Malformed:
                return std::nullopt;
            case worker_protocol::FrameReader::Status::Ready:
                if (message.type == MessageType::Reply)
                    return message;
                if (message.type != MessageType::Progress)
                    return std::nullopt;
                m_done = message.value;
                m_total = message.total;
                CallProgress();
                continue;
            case worker_protocol::FrameReader::Status::NeedMore:
                break;
            }
            const auto silent = std::chrono::steady_clock::now() - lastHeard;
            if (silent >= m_options.silenceBound)
                return std::nullopt;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_options.silenceBound - silent);
            received.clear();
            switch (m_worker->Receive(received, std::min(kPollStep, left + std::chrono::milliseconds(1)))) {
            case worker_process::WorkerProcess::Wait::Closed:
                return std::nullopt;
            case worker_process::WorkerProcess::Wait::Data:
                lastHeard = std::chrono::steady_clock::now();
                m_reader.Append(received);
                break;
            case worker_process::WorkerProcess::Wait::Timeout:
                CallProgress();
                break;
            }
        }
    }

    // The callback must not call back into the engine: the call that reports is still under way.
    void CallProgress() {
        if (m_progress)
            m_progress(m_done, m_total);
    }

    std::optional<Message> WorkerDied() {
        Retire(true, MpqFailure::WorkerDied);
        return Refuse<std::optional<Message>>(MpqFailure::WorkerDied, std::nullopt);
    }

    // Why calls on a handle of a worker that is gone fail: for the worker ended last, the reason it
    // was ended (a full disk stays a full disk through the closing calls that follow), else WorkerDied.
    MpqFailure EndOf(const Remote& remote) const {
        return remote.generation == m_endedGeneration ? m_endedBecause : MpqFailure::WorkerDied;
    }

    // Ends the worker and reaps it; its handles now belong to no worker.
    void Retire(bool kill, MpqFailure because) {
        if (m_worker) {
            m_endedGeneration = m_generation;
            m_endedBecause = because;
        }
        if (m_worker) {
            if (kill)
                m_worker->Kill();
            else
                m_worker->Stop();
        }
        m_worker.reset();
        m_done = 0;
        m_total = 0;
    }

    WorkerOptions m_options;
    std::unique_ptr<worker_process::WorkerProcess> m_worker;
    worker_protocol::FrameReader m_reader;
    std::uint64_t m_generation = 0;
    std::uint64_t m_endedGeneration = 0;
    MpqFailure m_endedBecause = MpqFailure::WorkerDied;
    std::map<std::uintptr_t, Remote> m_handles;
    std::uintptr_t m_lastToken = 0;
    MpqFailure m_lastFailure = MpqFailure::None;
    MpqProgress m_progress;
    std::uint64_t m_done = 0;
    std::uint64_t m_total = 0;
    bool m_inTransfer = false; // progress belongs to a read or write split into chunks
};

} // namespace

std::shared_ptr<MpqEngine> MakeWorkerMpqEngine(WorkerOptions options) {
    try {
        return std::make_shared<WorkerMpqEngine>(std::move(options));
    } catch (...) {
        return nullptr;
    }
}
