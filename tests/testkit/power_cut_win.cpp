// The cut's processes on Windows: the counter in a mapping of its file shared by name of the file,
// and each process of the cut listed there (its id and start time, as ids are reused), so that the
// one the cut falls in ends the others, then itself.
#include "testkit/power_cut.h"

#include "support/win32.h"

#include <algorithm>
#include <iterator>

namespace testkit::power_cut::detail {

namespace {

// The exit code of every process the cut ends.
constexpr UINT kCutExit = 0x43555421;

std::uint64_t StartTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// The process listed, still running; null when it has ended or its id now names another process.
HANDLE OpenListed(const Shared::Process& listed, DWORD access) {
    HANDLE process = ::OpenProcess(access | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(listed.id));
    if (process != nullptr && StartTime(process) != listed.started) {
        ::CloseHandle(process);
        return nullptr;
    }
    return process;
}

template <typename Visit> void ForEachOther(const Shared& shared, DWORD access, Visit visit) {
    const std::uint64_t count = std::min<std::uint64_t>(shared.processCount, std::size(shared.processes));
    for (std::uint64_t i = 0; i < count; ++i) {
        if (shared.processes[i].id == ::GetCurrentProcessId())
            continue;
        if (HANDLE process = OpenListed(shared.processes[i], access)) {
            visit(process);
            ::CloseHandle(process);
        }
    }
}

} // namespace

// NTFS: directory changes are journaled and renames written through; see power_cut.h.
const bool kDirectoryChangesNeedFlush = false;

Shared* MapShared(const std::filesystem::path& file) {
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    HANDLE mapping = ::CreateFileMappingW(handle, nullptr, PAGE_READWRITE, 0, sizeof(Shared), nullptr);
    ::CloseHandle(handle);
    if (mapping == nullptr)
        return nullptr;
    void* view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared));
    ::CloseHandle(mapping); // the view keeps it
    return static_cast<Shared*>(view);
}

void UnmapShared(Shared* shared) {
    ::UnmapViewOfFile(shared);
}

Shared::Process ThisProcess() {
    return {::GetCurrentProcessId(), StartTime(::GetCurrentProcess())};
}

void EndCut(const Shared& shared) {
    ForEachOther(shared, PROCESS_TERMINATE | SYNCHRONIZE, [](HANDLE process) {
        ::TerminateProcess(process, kCutExit);
        ::WaitForSingleObject(process, INFINITE);
    });
    ::TerminateProcess(::GetCurrentProcess(), kCutExit);
    for (;;)
        ::Sleep(INFINITE);
}

bool EndedByCut(const child::Outcome& outcome) {
    return outcome.exited && static_cast<UINT>(outcome.code) == kCutExit;
}

void AwaitProcesses(const Shared& shared) {
    ForEachOther(shared, SYNCHRONIZE, [](HANDLE process) { ::WaitForSingleObject(process, 30000); });
}

} // namespace testkit::power_cut::detail
