#include "cli_runner.h"

#include "../mods/game_files.h"
#include "testkit/mpq_fixtures.h"

#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clitest {

namespace fs = std::filesystem;

namespace {

// terminal: the two ends of a pseudo-terminal for stderr, or {-1, -1} for a file.
CliResult Spawn(const std::vector<std::string>& arguments, const fs::path& scratch,
                const std::map<std::string, std::optional<std::string>>& env, std::pair<int, int> terminal);

} // namespace

CliResult RunCli(const std::vector<std::string>& arguments, const fs::path& scratch,
                 const std::map<std::string, std::optional<std::string>>& env) {
    return Spawn(arguments, scratch, env, {-1, -1});
}

CliResult RunCliOnTerminal(const std::vector<std::string>& arguments, const fs::path& scratch) {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return {};
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    CliResult result = Spawn(arguments, scratch, {}, {master, slave});
    ::close(master);
    return result;
}

namespace {

CliResult Spawn(const std::vector<std::string>& arguments, const fs::path& scratch,
                const std::map<std::string, std::optional<std::string>>& env, std::pair<int, int> terminal) {
    static int runNumber = 0;
    const int number = ++runNumber;
    const fs::path outPath = scratch / ("cli-out-" + std::to_string(number));
    const fs::path errPath = scratch / ("cli-err-" + std::to_string(number));

    std::vector<std::string> argumentStore = {OSTRAWEN_CLI};
    argumentStore.insert(argumentStore.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentStore)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!env.count(text.substr(0, text.find('='))))
            envStore.push_back(text);
    }
    for (const auto& [name, value] : env) {
        if (value)
            envStore.push_back(name + "=" + *value);
    }
    std::vector<char*> envp;
    for (std::string& entry : envStore)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (terminal.second >= 0)
        posix_spawn_file_actions_adddup2(&actions, terminal.second, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    CliResult result;
    if (terminal.second >= 0) {
        // Only the child holds the terminal now: reading ends (EIO on Linux) when it exits.
        ::close(terminal.second);
        if (spawned == 0) {
            char buffer[4096];
            for (;;) {
                const ssize_t got = ::read(terminal.first, buffer, sizeof(buffer));
                if (got > 0)
                    result.err.append(buffer, static_cast<std::size_t>(got));
                else if (got == 0 || errno != EINTR)
                    break;
            }
        }
    }
    if (spawned != 0)
        return result;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    const auto out = testkit::ReadFile(outPath);
    result.out.assign(out.begin(), out.end());
    if (terminal.second < 0) {
        const auto err = testkit::ReadFile(errPath);
        result.err.assign(err.begin(), err.end());
    }
    return result;
}

} // namespace

void BuildGameArchive(const fs::path& path, const ArchiveContent& content) {
    std::vector<MpqBuilderFile> files;
    if (content.gameName)
        files.push_back({u"UI\\FrameDef\\GlobalStrings.fdf", modstest::GlobalStringsFile(*content.gameName)});
    if (content.cursor)
        files.push_back({u"UI\\war3skins.txt", modstest::War3SkinsFile(*content.cursor)});
    for (const auto& [address, bytes] : content.others)
        files.push_back({address, bytes});
    // The builder needs at least one file; a marker stands in for an archive without game files.
    if (files.empty())
        files.push_back({u"readme.txt", testkit::Bytes("nothing here")});
    testkit::BuildArchive(path, files);
}

void BuildGameDir(const fs::path& dir) {
    fs::create_directories(dir);
    testkit::WriteFile(dir / "war3.exe", "MZ");
    BuildGameArchive(dir / "War3Patch.mpq",
                     {"Host", "Human", {{u"Sound\\Music\\mp3Music\\Mainscreen.mp3", testkit::PatternBytes(5000, 7)}}});
}

FileState StateOf(const fs::path& path) {
    return {testkit::ReadFile(path), fs::last_write_time(path)};
}

} // namespace clitest
