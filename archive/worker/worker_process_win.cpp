// The worker over two anonymous pipes and CreateProcessW. Only the worker's two pipe ends are
// inheritable, and only for the moment the worker is created; a job object kills the worker with
// us (its handle closes when we die) and holds it to the memory cap.
#include "archive/worker/worker_process.h"

#include "support/command_line_win.h"
#include "support/win32.h"

#include <cstdlib>
#include <cwchar>
#include <string>

namespace worker_process {

namespace {

constexpr auto kPeekStep = std::chrono::milliseconds(5);

std::string HandleText(HANDLE handle) {
    return std::to_string(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
}

bool WriteAllTo(HANDLE handle, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        if (!::WriteFile(handle, bytes.data() + done, piece, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

class WinWorkerProcess final : public WorkerProcess {
public:
    WinWorkerProcess(HANDLE process, HANDLE job, HANDLE toWorker, HANDLE fromWorker)
        : m_process(process), m_job(job), m_toWorker(toWorker), m_fromWorker(fromWorker) {}
    ~WinWorkerProcess() override {
        Kill();
        if (m_job != nullptr)
            ::CloseHandle(m_job);
    }

    bool Send(std::span<const std::uint8_t> bytes) override {
        return m_toWorker != nullptr && WriteAllTo(m_toWorker, bytes);
    }

    Wait Receive(std::vector<std::uint8_t>& into, std::chrono::milliseconds timeout) override {
        if (m_fromWorker == nullptr)
            return Wait::Closed;
        // Anonymous pipes cannot be waited on; look in short steps instead.
        const ULONGLONG deadline = ::GetTickCount64() + static_cast<ULONGLONG>(timeout.count());
        for (;;) {
            DWORD available = 0;
            if (!::PeekNamedPipe(m_fromWorker, nullptr, 0, nullptr, &available, nullptr))
                return Wait::Closed;
            if (available > 0) {
                std::uint8_t buffer[64 * 1024];
                DWORD got = 0;
                const DWORD wanted = available < sizeof(buffer) ? available : static_cast<DWORD>(sizeof(buffer));
                if (!::ReadFile(m_fromWorker, buffer, wanted, &got, nullptr) || got == 0)
                    return Wait::Closed;
                into.insert(into.end(), buffer, buffer + got);
                return Wait::Data;
            }
            if (::GetTickCount64() >= deadline)
                return Wait::Timeout;
            ::WaitForSingleObject(m_process, static_cast<DWORD>(kPeekStep.count()));
        }
    }

    void Kill() override {
        CloseStreams();
        if (m_process != nullptr) {
            ::TerminateProcess(m_process, 1);
            ::WaitForSingleObject(m_process, INFINITE);
            ::CloseHandle(m_process);
            m_process = nullptr;
        }
    }

    void Stop() override {
        CloseStreams();
        if (m_process != nullptr && ::WaitForSingleObject(m_process, 100) == WAIT_OBJECT_0) {
            ::CloseHandle(m_process);
            m_process = nullptr;
        }
        Kill();
    }

    bool Running() override {
        if (m_process == nullptr)
            return false;
        if (::WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0)
            return true;
        ::CloseHandle(m_process);
        m_process = nullptr;
        return false;
    }

private:
    void CloseStreams() {
        for (HANDLE* handle : {&m_toWorker, &m_fromWorker}) {
            if (*handle != nullptr)
                ::CloseHandle(*handle);
            *handle = nullptr;
        }
    }

    HANDLE m_process;
    HANDLE m_job;
    HANDLE m_toWorker;
    HANDLE m_fromWorker;
};

void CloseAll(std::initializer_list<HANDLE> handles) {
    for (HANDLE handle : handles) {
        if (handle != nullptr)
            ::CloseHandle(handle);
    }
}

} // namespace

std::filesystem::path OwnExecutable() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::unique_ptr<WorkerProcess> WorkerProcess::Start(const std::filesystem::path& executable,
                                                    const std::vector<std::string>& extraArguments,
                                                    std::uint64_t memoryCap) {
    // Made not inheritable; only the worker's ends are marked inheritable, and named in the list below.
    HANDLE requestRead = nullptr;
    HANDLE requestWrite = nullptr;
    HANDLE replyRead = nullptr;
    HANDLE replyWrite = nullptr;
    if (!::CreatePipe(&requestRead, &requestWrite, nullptr, 0))
        return nullptr;
    if (!::CreatePipe(&replyRead, &replyWrite, nullptr, 0)) {
        CloseAll({requestRead, requestWrite});
        return nullptr;
    }
    ::SetHandleInformation(requestRead, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    ::SetHandleInformation(replyWrite, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_PROCESS_MEMORY |
                                              JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(memoryCap);
    if (job == nullptr || !::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseAll({requestRead, requestWrite, replyRead, replyWrite, job});
        return nullptr;
    }

    std::wstring commandLine;
    command_line::AppendQuoted(commandLine, executable.wstring());
    command_line::AppendQuoted(commandLine, command_line::Widen(kWorkerFlag));
    command_line::AppendQuoted(commandLine,
                               command_line::Widen(HandleText(requestRead) + "," + HandleText(replyWrite)));
    command_line::AppendQuoted(commandLine, std::to_wstring(::GetCurrentProcessId()));
    command_line::AppendQuoted(commandLine, std::to_wstring(memoryCap));
    for (const std::string& argument : extraArguments)
        command_line::AppendQuoted(commandLine, command_line::Widen(argument));

    // Exactly these two handles are inherited, whatever else another thread makes inheritable.
    HANDLE inherited[2] = {requestRead, replyWrite};
    SIZE_T attributeSize = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &attributeSize);
    std::vector<std::uint8_t> attributeBuffer(attributeSize);
    auto* attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBuffer.data());
    bool ready = ::InitializeProcThreadAttributeList(attributes, 1, 0, &attributeSize) &&
                 ::UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                             sizeof(inherited), nullptr, nullptr);

    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION process = {};
    // Suspended until it is in the job, so it never runs outside the limits.
    ready = ready && ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                                      nullptr, &startup.StartupInfo, &process);
    ::DeleteProcThreadAttributeList(attributes);
    CloseAll({requestRead, replyWrite});
    if (!ready) {
        CloseAll({requestWrite, replyRead, job});
        return nullptr;
    }
    if (!::AssignProcessToJobObject(job, process.hProcess) ||
        ::ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        CloseAll({process.hThread, process.hProcess, requestWrite, replyRead, job});
        return nullptr;
    }
    ::CloseHandle(process.hThread);
    return std::make_unique<WinWorkerProcess>(process.hProcess, job, requestWrite, replyRead);
}

namespace {

class WinWorkerChannel final : public WorkerChannel {
public:
    WinWorkerChannel(HANDLE in, HANDLE out) : m_in(in), m_out(out) {}
    ~WinWorkerChannel() override { CloseAll({m_in, m_out}); }

    bool ReadExact(std::uint8_t* into, std::size_t size) override {
        std::size_t done = 0;
        while (done < size) {
            DWORD got = 0;
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 20));
            if (!::ReadFile(m_in, into + done, piece, &got, nullptr) || got == 0)
                return false;
            done += got;
        }
        return true;
    }

    bool WriteAll(std::span<const std::uint8_t> bytes) override { return WriteAllTo(m_out, bytes); }

private:
    HANDLE m_in;
    HANDLE m_out;
};

HANDLE HandleFrom(const std::string& text) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value == 0)
        return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

} // namespace

std::unique_ptr<WorkerChannel> WorkerChannel::Open(const std::string& channel) {
    const std::size_t comma = channel.find(',');
    if (comma == std::string::npos)
        return nullptr;
    HANDLE in = HandleFrom(channel.substr(0, comma));
    HANDLE out = HandleFrom(channel.substr(comma + 1));
    if (in == nullptr || out == nullptr)
        return nullptr;
    // Nothing the worker starts may inherit the pipes.
    ::SetHandleInformation(in, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(out, HANDLE_FLAG_INHERIT, 0);
    return std::make_unique<WinWorkerChannel>(in, out);
}

bool LimitWorker(const std::string& parent, std::uint64_t memoryCap) {
    // The job object set the memory cap and ends the worker with its parent; here the worker only
    // makes sure that parent is still there and keeps crash dialogs from waiting for a user.
    (void)memoryCap;
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    char* end = nullptr;
    const unsigned long id = std::strtoul(parent.c_str(), &end, 10);
    if (parent.empty() || *end != '\0')
        return false;
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id));
    if (process == nullptr)
        return false;
    const bool alive = ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    ::CloseHandle(process);
    return alive;
}

} // namespace worker_process
