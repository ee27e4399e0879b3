// ostrawen-cli's entry. The same executable started with --mpq-worker is its archive worker, so
// that check comes before anything else. On Windows the entry is wmain (linked with -municode):
// a narrow argv there is in the ANSI code page, which cannot hold every name a player types.
#include "archive/worker/mpq_worker.h"
#include "cli/cli_app.h"
#include "cli/cli_options.h"
#include "cli/messages.h"
#include "cli/terminal.h"
#include "cli/ui_language.h"

#include <ostream>
#include <string>
#include <vector>

namespace {

int Main(cli::ProgramArguments arguments) {
    std::vector<char*> argv;
    for (std::string& word : arguments.words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(arguments.words.size());
    if (IsMpqWorkerInvocation(argc, argv.data()))
        return RunMpqWorker(argc, argv.data(), MakeOwnMpqEngine());

    cli::SetLanguage(cli::UserLanguage());
    std::ostream& out = cli::StandardOutput();
    std::ostream& err = cli::StandardError();
    const std::vector<std::string> words(arguments.words.begin() + (argc > 0 ? 1 : 0), arguments.words.end());
    int exitCode = cli::kExitUsage;
    if (arguments.notText < 0) {
        exitCode = cli::RunCli(words, out, err);
    } else {
        // Windows hands over UTF-16 that need not be valid; guessing at such an argument could
        // name the wrong file or store the wrong name.
        const cli::Text message =
            cli::Msg("argument %s is not valid text (a lone UTF-16 surrogate)", {std::to_string(arguments.notText)});
        err << "ostrawen-cli: " << message.shown << "\n";
        if (cli::ParseOptions(words).options.json)
            out << R"({"format":1,"changed":false,"error":{"reason":"usage","archive":null,"message":")"
                << message.english << R"(","exitCode":2}})"
                << "\n";
    }
    out.flush();
    err.flush();
    return exitCode;
}

} // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t* argv[]) {
#else
int main(int argc, char* argv[]) {
#endif
    return Main(cli::ArgumentsAsUtf8(argc, argv));
}
