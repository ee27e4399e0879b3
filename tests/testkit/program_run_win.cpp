#include "testkit/program_run.h"

#include "support/command_line_win.h"
#include "support/utf8_convert.h"
#include "support/win32.h"
#include "testkit/temp_dir.h"

namespace testkit {

namespace {

HANDLE Inheritable(const std::filesystem::path& path, DWORD access, DWORD creation) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, creation,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

ProgramResult RunProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory) {
    TempDir capture;
    const std::filesystem::path outPath = capture / "out";
    const std::filesystem::path errPath = capture / "err";
    std::wstring commandLine;
    command_line::AppendQuoted(commandLine, program.wstring());
    for (const std::string& argument : arguments)
        command_line::AppendQuoted(commandLine, command_line::Widen(argument));
    HANDLE in = Inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = Inheritable(outPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = Inheritable(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    ProgramResult result;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION info = {};
    const bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                         ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          workingDirectory.c_str(), &startup, &info);
    for (HANDLE handle : {in, out, err})
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    if (!started)
        return result;
    ::CloseHandle(info.hThread);
    ::WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    if (::GetExitCodeProcess(info.hProcess, &code))
        result.exitCode = static_cast<int>(code);
    ::CloseHandle(info.hProcess);
    result.out = detail::ReadText(outPath);
    result.err = detail::ReadText(errPath);
    return result;
}

ProgramResult RunProgramWithTerminalStderr(const std::filesystem::path&, const std::vector<std::string>&,
                                           const std::filesystem::path&) {
    return {};
}

} // namespace testkit
