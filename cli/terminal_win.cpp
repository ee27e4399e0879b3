#include "cli/terminal.h"

#include "support/utf8_convert.h"
#include "support/win32.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <iostream>
#include <optional>
#include <stdio.h>
#include <streambuf>
#include <string_view>

namespace cli {

namespace {

// One argument in UTF-8; std::nullopt for a lone surrogate, which has no UTF-8 form.
std::optional<std::string> ToUtf8(const wchar_t* argument) {
    const int length = static_cast<int>(std::wcslen(argument));
    if (length == 0)
        return std::string();
    const int size =
        ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::nullopt;
    std::string utf8(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, argument, length, utf8.data(), size, nullptr, nullptr);
    return utf8;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode) != 0;
}

// The length of the longest start of `bytes` that does not end inside a UTF-8 sequence: the rest
// waits for its remaining bytes, so a character written in two pieces shows as one.
std::size_t WholeCharacters(std::string_view bytes) {
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if (byte < 0x80)
            return bytes.size();
        if (byte >= 0xC0) {
            const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            return length > back ? bytes.size() - back : bytes.size();
        }
    }
    return bytes.size();
}

// UTF-8 written to a console as UTF-16 through WriteConsoleW.
class ConsoleBuffer final : public std::streambuf {
public:
    explicit ConsoleBuffer(HANDLE console) : m_console(console) {
        setp(m_bytes.data(), m_bytes.data() + m_bytes.size());
    }
    ~ConsoleBuffer() override { Drain(); }
    ConsoleBuffer(const ConsoleBuffer&) = delete;
    ConsoleBuffer& operator=(const ConsoleBuffer&) = delete;

protected:
    int_type overflow(int_type c) override {
        if (!Drain())
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }

    int sync() override { return Drain() ? 0 : -1; }

private:
    bool Drain() {
        const std::string_view held(pbase(), static_cast<std::size_t>(pptr() - pbase()));
        const std::size_t whole = WholeCharacters(held);
        const bool written = Write(modUtf8Convert::Utf8ToText(held.substr(0, whole)));
        const std::size_t rest = held.size() - whole;
        std::memmove(m_bytes.data(), held.data() + whole, rest);
        setp(m_bytes.data(), m_bytes.data() + m_bytes.size());
        pbump(static_cast<int>(rest));
        return written;
    }

    bool Write(const std::u16string& text) {
        constexpr std::size_t kPiece = 8192;
        std::size_t done = 0;
        while (done < text.size()) {
            std::size_t piece = std::min(text.size() - done, kPiece);
            // A surrogate pair stays in one piece.
            if (piece > 1 && done + piece < text.size() && text[done + piece - 1] >= 0xD800 &&
                text[done + piece - 1] <= 0xDBFF)
                --piece;
            DWORD written = 0;
            if (!::WriteConsoleW(m_console, text.data() + done, static_cast<DWORD>(piece), &written, nullptr) ||
                written == 0)
                return false;
            done += written;
        }
        return true;
    }

    HANDLE m_console;
    std::array<char, 4096> m_bytes{};
};

// The stream for one of stdout and stderr, chosen once: the console's, or the C++ stream with its C
// stream in binary mode, so that "\n" is not written as "\r\n".
std::ostream& StreamFor(DWORD handleId, FILE* file, std::ostream& standard) {
    const HANDLE handle = ::GetStdHandle(handleId);
    if (!IsConsole(handle)) {
        standard.flush();
        _setmode(_fileno(file), _O_BINARY);
        return standard;
    }
    static std::array<std::optional<ConsoleBuffer>, 2> buffers;
    static std::array<std::optional<std::ostream>, 2> streams;
    const std::size_t slot = handleId == STD_OUTPUT_HANDLE ? 0 : 1;
    buffers[slot].emplace(handle);
    streams[slot].emplace(&*buffers[slot]);
    return *streams[slot];
}

} // namespace

ProgramArguments ArgumentsAsUtf8(int argc, NativeChar* argv[]) {
    ProgramArguments arguments;
    for (int i = 0; i < argc; ++i) {
        std::optional<std::string> word = ToUtf8(argv[i]);
        if (!word && arguments.notText < 0)
            arguments.notText = i;
        arguments.words.push_back(word.value_or(std::string()));
    }
    return arguments;
}

std::ostream& StandardOutput() {
    static std::ostream& stream = StreamFor(STD_OUTPUT_HANDLE, stdout, std::cout);
    return stream;
}

std::ostream& StandardError() {
    static std::ostream& stream = []() -> std::ostream& {
        std::ostream& err = StreamFor(STD_ERROR_HANDLE, stderr, std::cerr);
        err.setf(std::ios::unitbuf);
        return err;
    }();
    return stream;
}

InputRead ReadStandardInput(std::vector<std::uint8_t>& bytes, std::uint64_t limit) {
    _setmode(_fileno(stdin), _O_BINARY);
    return ReadAllOf(stdin, bytes, limit);
}

bool StderrIsTerminal() {
    return IsConsole(::GetStdHandle(STD_ERROR_HANDLE));
}

} // namespace cli
