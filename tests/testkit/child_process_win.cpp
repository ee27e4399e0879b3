#include "testkit/child_process.h"

#include "support/command_line_win.h"
#include "support/utf8_convert.h"
#include "support/win32.h"

#include <shellapi.h>

namespace testkit::child {

namespace {

// The exit code of a process ended by Kill or KillSelf, the Windows stand-in for SIGKILL.
constexpr UINT kKilledExit = 0x4B494C4C;

class WinProcess final : public Process {
public:
    WinProcess(HANDLE process, DWORD id) : m_process(process), m_id(id) {}
    ~WinProcess() override {
        Kill();
        ::WaitForSingleObject(m_process, INFINITE);
        ::CloseHandle(m_process);
    }

    Outcome Wait(std::chrono::milliseconds timeout) override {
        Outcome outcome;
        if (::WaitForSingleObject(m_process, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
            Kill();
            ::WaitForSingleObject(m_process, INFINITE);
            outcome.timedOut = true;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(m_process, &code);
        if (code == kKilledExit)
            outcome.killed = true;
        else
            outcome.exited = !outcome.timedOut;
        outcome.code = static_cast<int>(code);
        return outcome;
    }

    void Kill() override { ::TerminateProcess(m_process, kKilledExit); }

    long Id() const override { return static_cast<long>(m_id); }

private:
    HANDLE m_process;
    DWORD m_id;
};

} // namespace

std::unique_ptr<Process> Process::Start(const std::string& role, const std::vector<std::string>& args) {
    std::wstring program(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
        if (length == 0)
            return nullptr;
        if (length < program.size()) {
            program.resize(length);
            break;
        }
        program.resize(program.size() * 2);
    }
    std::wstring commandLine;
    command_line::AppendQuoted(commandLine, program);
    command_line::AppendQuoted(commandLine, command_line::Widen(detail::kChildFlag + role));
    for (const std::string& arg : args)
        command_line::AppendQuoted(commandLine, command_line::Widen(arg));
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info))
        return nullptr;
    ::CloseHandle(info.hThread);
    return std::make_unique<WinProcess>(info.hProcess, info.dwProcessId);
}

std::optional<int> RunRoleIfAsked(int, char**) {
    // The narrow argv is in the ANSI code page; the wide command line holds the paths exactly.
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr || count < 2) {
        if (wide != nullptr)
            ::LocalFree(wide);
        return std::nullopt;
    }
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i) {
        const std::wstring argument(wide[i]);
        arguments.push_back(modUtf8Convert::TextToUtf8(std::u16string(argument.begin(), argument.end())));
    }
    ::LocalFree(wide);
    const std::string flag = detail::kChildFlag;
    if (arguments[0].rfind(flag, 0) != 0)
        return std::nullopt;
    const std::string role = arguments[0].substr(flag.size());
    arguments.erase(arguments.begin());
    return detail::RunRole(role, arguments);
}

void KillSelf() {
    ::TerminateProcess(::GetCurrentProcess(), kKilledExit);
    for (;;)
        ::Sleep(INFINITE);
}

} // namespace testkit::child
