#include "testkit/worker_faults.h"

#include "support/io_seam.h"
#include "support/win32.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testkit::worker_faults {

// The channel argument is "<in handle>,<out handle>" on Windows; the worker writes to the second.
void WriteToChannel(const std::string& channel, std::span<const std::uint8_t> bytes) {
    const std::size_t comma = channel.find(',');
    if (comma == std::string::npos)
        return;
    const auto handle =
        reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::strtoull(channel.c_str() + comma + 1, nullptr, 10)));
    DWORD written = 0;
    (void)::WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

namespace {

// Refuses every write that would end past the limit and every size change beyond it.
class FileSizeLimit final : public io_seam::Observer {
public:
    explicit FileSizeLimit(std::uint64_t limit) : m_limit(limit) {}
    io_seam::Verdict Before(const io_seam::Call& call) override {
        const bool grows = (call.kind == io_seam::Kind::Write && call.offset + call.bytes.size() > m_limit) ||
                           (call.kind == io_seam::Kind::Truncate && call.offset > m_limit);
        return grows ? io_seam::Verdict::NoSpace : io_seam::Verdict::Proceed;
    }
    void After(const io_seam::Call&, bool) override {}

private:
    std::uint64_t m_limit;
};

} // namespace

bool LimitFileSize(std::uint64_t limit) {
    static FileSizeLimit* observer = nullptr;
    if (observer != nullptr)
        return false;                    // one limit per process, as the tests use it
    observer = new FileSizeLimit(limit); // lives as long as the process
    io_seam::SetObserver(observer);
    const std::string value = std::to_string(limit);
    return ::SetEnvironmentVariableA(kFileSizeLimitVariable, value.c_str()) != 0;
}

// A job object's memory limit would be the way; Wine reports and enforces none.
bool CapAddressSpace(std::uint64_t) {
    return false;
}

std::uint64_t PeakResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters)))
        return 0;
    return counters.PeakWorkingSetSize;
}

void ExitAfter(unsigned seconds) {
    std::thread([seconds] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        ::TerminateProcess(::GetCurrentProcess(), 124);
    }).detach();
}

long OwnProcessId() {
    return static_cast<long>(::GetCurrentProcessId());
}

std::vector<long> ChildProcessIds(long parent) {
    std::vector<long> children;
    HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return children;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot, &entry); more; more = ::Process32NextW(snapshot, &entry)) {
        if (static_cast<long>(entry.th32ParentProcessID) == parent)
            children.push_back(static_cast<long>(entry.th32ProcessID));
    }
    ::CloseHandle(snapshot);
    return children;
}

bool ProcessGone(long pid) {
    HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return true;
    const bool ended = ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    ::CloseHandle(process);
    return ended;
}

bool RunningUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace testkit::worker_faults
