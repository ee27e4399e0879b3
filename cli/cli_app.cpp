#include "cli/cli_app.h"

#include "archive/archive_name.h"
#include "archive/door/mpq_control.h"
#include "archive/door/mpq_layout.h"
#include "archive/mpq_failure.h"
#include "cli/cli_options.h"
#include "cli/json_writer.h"
#include "cli/messages.h"
#include "cli/system_reason.h"
#include "cli/terminal.h"
#include "mods/byte_splice.h"
#include "mods/cursor_race.h"
#include "mods/modifications.h"
#include "mods/set_string.h"
#include "support/file_probe.h"
#include "support/file_streams.h"
#include "support/game_path.h"
#include "support/public_vars.h"
#include "support/text_compare.h"
#include "support/text_path.h"
#include "support/utf8_convert.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace cli {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr char kProgram[] = "ostrawen-cli";

// The four archives, and the order in which each game looks a file up: the first that holds it wins.
constexpr std::array<const char*, 4> kArchiveNames = {"War3Patch.mpq", "War3xLocal.mpq", "War3x.mpq", "War3.mpq"};
struct GameOrder {
    const char* game;
    std::vector<const char*> archives;
};
const std::vector<GameOrder>& GameOrders() {
    static const std::vector<GameOrder> orders = {
        {"The Frozen Throne", {"War3Patch.mpq", "War3xLocal.mpq", "War3x.mpq", "War3.mpq"}},
        {"Reign of Chaos", {"War3Patch.mpq", "War3.mpq"}},
    };
    return orders;
}

// Stable keys of the seven resources, in the order of mods::ResourceItems().
constexpr std::array<const char*, 7> kResourceKeys = {"menu-music-roc", "menu-music-tft", "font-zhcn",     "font-zhtw",
                                                      "font-en",        "menu-model-roc", "menu-model-tft"};

constexpr std::array<std::pair<mods::Race, const char*>, 4> kRaceKeys = {{{mods::Race::Human, "human"},
                                                                          {mods::Race::Orc, "orc"},
                                                                          {mods::Race::NightElf, "nightelf"},
                                                                          {mods::Race::Undead, "undead"}}};

const char* RaceKey(mods::Race race) {
    switch (race) {
    case mods::Race::Human:
        return "human";
    case mods::Race::Orc:
        return "orc";
    case mods::Race::NightElf:
        return "nightelf";
    case mods::Race::Undead:
        return "undead";
    }
    return "unknown";
}

std::string Utf8(std::u16string_view text) {
    return modUtf8Convert::TextToUtf8(text);
}

std::string PathUtf8(const fs::path& path) {
    return Utf8(TextFromPath(path));
}

// --- reasons ---

// The reason of a failure as scripts match it: one word or hyphenated words, never changed once
// published (the manual page lists them all).
const char* ReasonId(MpqFailure failure) {
    switch (failure) {
    case MpqFailure::None:
        return "failed";
    case MpqFailure::NoArchive:
        return "no-archive";
    case MpqFailure::Malformed:
        return "malformed";
    case MpqFailure::NotFound:
        return "not-found";
    case MpqFailure::BadArgument:
        return "bad-argument";
    case MpqFailure::Locked:
        return "locked";
    case MpqFailure::PendingRecovery:
        return "pending-recovery";
    case MpqFailure::ForeignFile:
        return "foreign-file";
    case MpqFailure::Linked:
        return "hard-linked";
    case MpqFailure::NotWritable:
        return "not-writable";
    case MpqFailure::DiskFull:
        return "disk-full";
    case MpqFailure::WorkerDied:
        return "worker-died";
    case MpqFailure::EngineFailed:
        return "engine-failed";
    case MpqFailure::TooLarge:
        return "too-large";
    case MpqFailure::DiskFile:
        return "disk-file";
    }
    return "failed";
}

// The same reason in words, for messages.
Text ReasonText(MpqFailure failure) {
    switch (failure) {
    case MpqFailure::None:
        return Msg("failed");
    case MpqFailure::NoArchive:
        return Msg("no archive");
    case MpqFailure::Malformed:
        return Msg("malformed");
    case MpqFailure::NotFound:
        return Msg("not found");
    case MpqFailure::BadArgument:
        return Msg("bad argument");
    case MpqFailure::Locked:
        return Msg("locked by another operation; try again");
    case MpqFailure::PendingRecovery:
        return Msg("an interrupted write is pending recovery");
    case MpqFailure::ForeignFile:
        return Msg("a foreign file holds the recovery file's name");
    case MpqFailure::Linked:
        return Msg("hard-linked");
    case MpqFailure::NotWritable:
        return Msg("not writable");
    case MpqFailure::DiskFull:
        return Msg("disk full");
    case MpqFailure::WorkerDied:
        return Msg("the archive worker died");
    case MpqFailure::EngineFailed:
        return Msg("the archive engine failed");
    case MpqFailure::TooLarge:
        return Msg("too large");
    case MpqFailure::DiskFile:
        return Msg("the disk file cannot be used");
    }
    return Msg("failed");
}

// --- help texts ---

constexpr std::array<const char*, 6> kCommands = {"status", "lan-name", "cursor", "resource", "compact", "help"};

std::string ShortUsage() {
    return Tr("Usage: ostrawen-cli [OPTIONS] COMMAND [ARGS]\n"
              "Commands: status, lan-name, cursor, resource, compact, help. Try 'ostrawen-cli help'.\n");
}

std::string ProgramHelp() {
    return Tr("Usage: ostrawen-cli [OPTIONS] COMMAND [ARGS]\n"
              "Personalises an installed Warcraft III by editing one of its MPQ archives.\n"
              "\n"
              "Commands:\n"
              "  status                         the game directory, the four archives and what each game will read\n"
              "  lan-name get|set NAME          the name under which a LAN game is hosted (GAMENAME)\n"
              "  cursor get|set RACE            the mouse cursor's race: human, orc, nightelf or undead\n"
              "  resource list                  the seven resources and their sizes\n"
              "  resource extract ITEM FILE     copy a resource out of the archive (FILE - : standard output)\n"
              "  resource replace ITEM FILE     store FILE as the resource (FILE - : standard input)\n"
              "  resource delete ITEM           remove the resource from the archive\n"
              "  compact                        compact the archive\n"
              "  help [COMMAND]                 this text, or a command's own\n"
              "\n"
              "Options (before or after the command; \"--\" ends them):\n"
              "  --game-dir DIR       the game directory, used as given (no search, no war3.exe test)\n"
              "  --archive NAME       War3Patch.mpq (default), War3xLocal.mpq, War3x.mpq or War3.mpq, any case\n"
              "  --lock-wait SECONDS  how long to wait for another operation's lock (default 10)\n"
              "  --json               exactly one JSON document on stdout, with an \"error\" member on failure\n"
              "  --quiet, -q          no progress and no success text; errors still go to stderr\n"
              "  --help, -h           this text, or a command's own with the command\n"
              "  --version, -V        the program's version\n"
              "\n"
              "Exit codes: 0 success, 1 the operation failed (the archive is as it was), 2 usage error,\n"
              "3 no game directory, 4 the archive is locked by another operation (try again). Writes that\n"
              "find the value already in place write nothing and say \"unchanged\" (\"changed\": false in JSON).\n");
}

std::string CommandHelp(const std::string& command) {
    if (command == "status")
        return Tr("Usage: ostrawen-cli status [--game-dir DIR] [--json]\n"
                  "Shows the game directory and how it was found; for each archive whether it is present and\n"
                  "opens (or why not), its GAMENAME, its cursor race and the resources it holds with their\n"
                  "sizes; and for each game the effective LAN name and cursor race with the archive they come\n"
                  "from (the first archive in the game's order that holds the file). Never waits for a lock\n"
                  "and never puts an interrupted write right: it reports what it finds.\n");
    if (command == "lan-name")
        return Tr("Usage: ostrawen-cli lan-name get\n"
                  "       ostrawen-cli lan-name set [--] NAME\n"
                  "Reads or sets the GAMENAME value in UI\\FrameDef\\GlobalStrings.fdf of the archive. \"get\"\n"
                  "prints nothing (JSON: null) when the archive holds no such file or entry. NAME may not\n"
                  "hold '\"', CR or LF; use \"--\" before a NAME that starts with '-'. Control characters in\n"
                  "a name read from the archive are shown as \\xHH.\n");
    if (command == "cursor")
        return Tr("Usage: ostrawen-cli cursor get\n"
                  "       ostrawen-cli cursor set human|orc|nightelf|undead\n"
                  "Reads or sets the race of the first Cursor= entry in UI\\war3skins.txt of the archive.\n");
    if (command == "resource") {
        std::string text = Tr("Usage: ostrawen-cli resource list\n"
                              "       ostrawen-cli resource extract ITEM FILE|-\n"
                              "       ostrawen-cli resource replace ITEM FILE|-\n"
                              "       ostrawen-cli resource delete ITEM\n"
                              "FILE \"-\" is standard output for extract and standard input for replace.\n"
                              "ITEM is a key or the entry's Chinese text:\n");
        const auto& items = mods::ResourceItems();
        for (std::size_t i = 0; i < items.size(); ++i)
            text += "  " + std::string(kResourceKeys[i]) + "  " + Utf8(items[i].entryText) + "  " +
                    Utf8(items[i].fileAddress) + "\n";
        text += Tr("Replacing with identical bytes and deleting an absent item write nothing.\n");
        return text;
    }
    if (command == "compact")
        return Tr("Usage: ostrawen-cli compact\n"
                  "Rewrites the archive without the space left by deleted and replaced files.\n");
    if (command == "help")
        return Tr("Usage: ostrawen-cli help [COMMAND]\n"
                  "The program's help, or a command's own.\n");
    return {};
}

// Edits (insertions, deletions, substitutions) that turn one word into the other.
std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The command a mistyped word most likely meant: within two edits, and not a word so short that
// anything is near it.
std::optional<std::string> NearestCommand(const std::string& typed) {
    std::optional<std::string> best;
    std::size_t bestDistance = 3;
    for (const char* command : kCommands) {
        const std::size_t distance = EditDistance(typed, command);
        if (distance < bestDistance && distance < typed.size()) {
            best = command;
            bestDistance = distance;
        }
    }
    return best;
}

Text UnknownCommand(const std::string& command) {
    if (const auto near = NearestCommand(command))
        return Msg("unknown command %s; did you mean '%s'?", {Value(command), *near});
    return Msg("unknown command %s (see 'ostrawen-cli help')", {Value(command)});
}

// --- one run ---

struct Failure {
    int exitCode = kExitFailed;
    std::string archive; // empty when no archive is concerned
    std::string reason;  // a stable identifier: a door's reason ("locked") or our own ("usage")
    Text message;        // English for JSON, the user's language for stderr
};

// A text file's decoded content or why there is none.
enum class ReadState { Held, Absent, Unreadable };
struct ArchiveRead {
    ReadState state = ReadState::Unreadable;
    Bytes bytes;
    MpqFailure why = MpqFailure::None;
};

// The string file and the skin file, the only files read whole: one past the size no game file
// reaches is refused before anything of it is read.
ArchiveRead ReadFromArchive(clsMpqControl& mpq, const std::u16string& address) {
    ArchiveRead read;
    if (mpq.ReadFileFromMpq(address, read.bytes, &read.why, mods::kMaxGameTextFileSize)) {
        read.state = ReadState::Held;
    } else if (read.why == MpqFailure::NotFound) {
        read.state = ReadState::Absent;
    }
    return read;
}

// A value read from a game file, and whether its bytes were valid UTF-8 (else U+FFFD stands in).
struct TextValue {
    std::u16string text;
    bool invalidUtf8 = false;
};

std::optional<TextValue> GameNameIn(const Bytes& bytes) {
    const std::u16string text = modUtf8Convert::Utf8BytesToString(bytes);
    const auto value = mods::FindQuotedValue(text, mods::kGameNameKey);
    if (!value)
        return std::nullopt;
    TextValue result{text.substr(value->valueBegin, value->valueEnd - value->valueBegin)};
    if (const auto span = mods::DecodedSpanBytes(bytes, text, value->valueBegin, value->valueEnd)) {
        const std::string raw(bytes.begin() + static_cast<std::ptrdiff_t>(span->first),
                              bytes.begin() + static_cast<std::ptrdiff_t>(span->second));
        result.invalidUtf8 = !IsValidUtf8(raw);
    }
    return result;
}

std::optional<mods::Race> CursorIn(const Bytes& bytes) {
    return mods::RecognizeRace(modUtf8Convert::Utf8BytesToString(bytes));
}

std::optional<mods::Race> RaceNamed(const std::string& word) {
    const auto named = std::find_if(kRaceKeys.begin(), kRaceKeys.end(), [&](const auto& entry) {
        return EqualIgnoringAsciiCase(modUtf8Convert::Utf8ToText(word), modUtf8Convert::Utf8ToText(entry.second));
    });
    if (named == kRaceKeys.end())
        return std::nullopt;
    return named->first;
}

// "--lock-wait 2.5": whole or decimal seconds, at most a day.
std::optional<std::chrono::milliseconds> LockWaitFrom(const std::string& typed) {
    if (typed.empty() || typed.find_first_not_of("0123456789.") != std::string::npos ||
        std::count(typed.begin(), typed.end(), '.') > 1 || typed == ".")
        return std::nullopt;
    const std::size_t dot = typed.find('.');
    const std::string whole = typed.substr(0, dot);
    if (whole.size() > 5)
        return std::nullopt;
    std::int64_t milliseconds = whole.empty() ? 0 : std::stoll(whole) * 1000;
    if (dot != std::string::npos) {
        std::string fraction = typed.substr(dot + 1) + "000";
        milliseconds += std::stoll(fraction.substr(0, 3));
    }
    if (milliseconds > 86'400'000)
        return std::nullopt;
    return std::chrono::milliseconds(milliseconds);
}

// The game directory as scripts see it: without a trailing separator, the root excepted.
std::string DirectoryText(const fs::path& directory) {
    std::string text = PathUtf8(directory);
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\') && text[text.size() - 2] != ':')
        text.pop_back();
    return text;
}

class Run {
public:
    Run(Options options, std::ostream& out, std::ostream& err)
        : m_options(std::move(options)), m_out(out), m_err(err) {}

    int Execute(const Text& parseError);

private:
    // Output: values always, success text unless --quiet.
    void Print(const std::string& line) { m_human += line + "\n"; }
    void Say(const std::string& line) {
        if (!m_options.quiet)
            Print(line);
    }
    int Fail(int exitCode, std::string archive, std::string reason, Text message) {
        m_failure = Failure{exitCode, std::move(archive), std::move(reason), std::move(message)};
        return exitCode;
    }
    int Usage(Text message) { return Fail(kExitUsage, {}, "usage", std::move(message)); }
    // A door operation's failure: "War3Patch.mpq: cannot read UI\war3skins.txt: locked...".
    int DoorFailed(const Text& what, MpqFailure why) {
        return Fail(why == MpqFailure::Locked ? kExitLocked : kExitFailed, m_archiveName, ReasonId(why),
                    Msg("%s: %s: %s", {m_archiveName, what, ReasonText(why)}));
    }
    // A file on disk that the operation could not use, with the system's reason when it gives one.
    int DiskFileFailed(bool reading, const std::string& file) {
        const std::string reason = reading ? ReasonFileUnreadable(file) : ReasonFileUnwritable(file);
        const char* id = reading ? "cannot-read-file" : "cannot-write-file";
        if (reason.empty())
            return Fail(kExitFailed, m_archiveName, id,
                        reading ? Msg("cannot read %s", {Value(file)}) : Msg("cannot write %s", {Value(file)}));
        return Fail(kExitFailed, m_archiveName, id,
                    reading ? Msg("cannot read %s: %s", {Value(file), reason})
                            : Msg("cannot write %s: %s", {Value(file), reason}));
    }
    int Finish(int exitCode);

    int Dispatch();
    int ResolveGameDir();
    void ResolveArchive();
    void OpenDoor(clsMpqControl& mpq, const fs::path& archive) const;
    fs::path ArchivePath(const std::string& name) const;

    int LanNameGet();
    int LanNameSet(const std::string& name);
    int CursorGet();
    int CursorSet(mods::Race race);
    int ResourceList();
    int ResourceExtract(std::size_t item, const std::string& file);
    int ResourceReplace(std::size_t item, const std::string& file);
    int ResourceReplaceFromInput(std::size_t item);
    int ResourceDelete(std::size_t item);
    int Compact();
    int Status();
    void Changed(bool changed, const Text& whatChanged);
    // Writes an edited file unless it equals what the archive holds, and says which it was.
    int StoreEdit(const std::u16string& address, const Bytes& held, const Bytes& edited, const Text& done);
    void DrawProgress(std::uint64_t done, std::uint64_t total);

    Options m_options;
    std::ostream& m_out;
    std::ostream& m_err;
    JsonWriter m_json;
    std::string m_human;
    std::optional<Failure> m_failure;
    bool m_changedWritten = false;
    bool m_dataWritten = false; // resource bytes went to stdout: no text may follow them
    bool m_shortUsage = false;  // a bare run: the short usage goes to stderr
    fs::path m_gameDir;
    std::string m_foundBy;
    std::string m_archiveName;
    fs::path m_archivePath;
    clsMpqControl m_mpq;
    bool m_progressShown = false;
};

std::string Joined(const std::vector<std::string>& words, std::size_t count) {
    std::string joined;
    for (std::size_t i = 0; i < words.size() && i < count; ++i)
        joined += (i ? " " : "") + words[i];
    return joined;
}

int Run::Execute(const Text& parseError) {
    m_json.BeginObject();
    m_json.Key("format").Number(kJsonFormat);
    const auto& words = m_options.words;
    const bool twoWords = words.size() > 1 && words[0] != "status" && words[0] != "compact";
    m_json.Key("command").String(m_options.version && words.empty() ? "version" : Joined(words, twoWords ? 2 : 1));
    if (!parseError.english.empty())
        return Finish(Usage(parseError));
    if (m_options.version) {
        m_json.Key("version").String(OSTRAWEN_VERSION);
        m_human = std::string("ostrawen-cli ") + OSTRAWEN_VERSION + "\n";
        return Finish(kExitOk);
    }
    // "help lan-name" is "lan-name --help".
    const bool helpCommand = !words.empty() && words[0] == "help";
    if (m_options.help || helpCommand) {
        if (helpCommand && words.size() > 2)
            return Finish(Usage(Msg("wrong arguments for %s (see '%s')", {"help", "ostrawen-cli help"})));
        const std::string command = words.size() > (helpCommand ? 1u : 0u) ? words[helpCommand ? 1 : 0] : "";
        const std::string text = command.empty() ? ProgramHelp() : CommandHelp(command);
        if (text.empty())
            return Finish(Usage(UnknownCommand(command)));
        // JSON carries the English, whatever the user reads.
        const Language language = CurrentLanguage();
        SetLanguage(Language::English);
        m_json.Key("help").String(command.empty() ? ProgramHelp() : CommandHelp(command));
        SetLanguage(language);
        m_human = text;
        return Finish(kExitOk);
    }
    return Finish(Dispatch());
}

int Run::Finish(int exitCode) {
    if (m_failure) {
        m_err << kProgram << ": " << ValidUtf8(m_failure->message.shown) << "\n";
        if (m_shortUsage)
            m_err << ShortUsage();
        m_json.CloseTo(1);
        m_json.Key("error").BeginObject();
        m_json.Key("reason").String(m_failure->reason);
        m_json.Key("archive");
        if (m_failure->archive.empty())
            m_json.Null();
        else
            m_json.String(m_failure->archive);
        m_json.Key("message").String(m_failure->message.english);
        m_json.Key("exitCode").Number(static_cast<std::uint64_t>(exitCode));
        m_json.EndObject();
    }
    m_json.CloseTo(1);
    // Every document says whether the archive changed; nothing did when the run failed or only looked.
    if (!m_changedWritten)
        m_json.Key("changed").Bool(false);
    m_json.CloseTo(0);
    if (m_options.json)
        m_out << m_json.Text() << "\n";
    else if (!m_dataWritten)
        m_out << ValidUtf8(m_human);
    m_out.flush();
    if (!m_out) {
        // A script that reads nothing (a full disk, a closed pipe) must not take the run for a success.
        m_err << kProgram << ": " << Format(Tr("cannot write standard output: %s"), {ReasonOfLastError()}) << "\n";
        return exitCode == kExitOk ? kExitFailed : exitCode;
    }
    return exitCode;
}

int Run::Dispatch() {
    const auto& words = m_options.words;
    if (words.empty()) {
        m_shortUsage = true;
        return Usage(Msg("no command given"));
    }
    const std::string& command = words[0];
    const std::string action = words.size() > 1 ? words[1] : std::string();
    auto expect = [&](std::size_t count) { return words.size() == count; };

    // Every word and option is checked before the game directory is looked for: a typing error is
    // a usage error, whatever the machine holds.
    if (m_options.archive) {
        const std::u16string typed = modUtf8Convert::Utf8ToText(*m_options.archive);
        const auto named = std::find_if(kArchiveNames.begin(), kArchiveNames.end(), [&](const char* name) {
            return EqualIgnoringAsciiCase(typed, modUtf8Convert::Utf8ToText(name));
        });
        if (named == kArchiveNames.end())
            return Usage(Msg("unknown archive %s (one of War3Patch.mpq, War3xLocal.mpq, War3x.mpq, War3.mpq)",
                             {Value(*m_options.archive)}));
        m_archiveName = *named;
    } else {
        m_archiveName = kArchiveNames[0];
    }
    if (m_options.lockWait) {
        const auto wait = LockWaitFrom(*m_options.lockWait);
        if (!wait)
            return Usage(Msg("--lock-wait takes seconds from 0 to 86400, not %s", {Value(*m_options.lockWait)}));
        m_mpq.SetLockWait(*wait);
    }
    std::function<int()> body;
    if (command == "status" && expect(1)) {
        body = [this] { return Status(); };
    } else if (command == "compact" && expect(1)) {
        body = [this] { return Compact(); };
    } else if (command == "lan-name" && action == "get" && expect(2)) {
        body = [this] { return LanNameGet(); };
    } else if (command == "lan-name" && action == "set" && expect(3)) {
        const std::string& name = words[2];
        if (!IsValidUtf8(name))
            return Usage(Msg("the LAN name is not valid UTF-8"));
        if (!mods::FitsInQuotedValue(modUtf8Convert::Utf8ToText(name)))
            return Usage(Msg("a LAN name may not hold '\"', CR or LF"));
        body = [this, name] { return LanNameSet(name); };
    } else if (command == "cursor" && action == "get" && expect(2)) {
        body = [this] { return CursorGet(); };
    } else if (command == "cursor" && action == "set" && expect(3)) {
        const auto race = RaceNamed(words[2]);
        if (!race)
            return Usage(Msg("unknown race %s (human, orc, nightelf or undead)", {Value(words[2])}));
        body = [this, race = *race] { return CursorSet(race); };
    } else if (command == "resource" && action == "list" && expect(2)) {
        body = [this] { return ResourceList(); };
    } else if (command == "resource" &&
               ((action == "extract" || action == "replace") ? expect(4) : (action == "delete" && expect(3)))) {
        // By key (any case) or by the entry text as the window's list shows it.
        std::optional<std::size_t> item;
        const std::u16string typed = modUtf8Convert::Utf8ToText(words[2]);
        for (std::size_t i = 0; i < kResourceKeys.size(); ++i) {
            if (EqualIgnoringAsciiCase(typed, modUtf8Convert::Utf8ToText(kResourceKeys[i])))
                item = i;
        }
        if (const mods::ResourceItem* found = mods::FindResourceItem(typed); found && !item)
            item = static_cast<std::size_t>(found - mods::ResourceItems().data());
        if (!item)
            return Usage(Msg("unknown resource item %s (see 'ostrawen-cli help resource')", {Value(words[2])}));
        // The resource's bytes and the JSON document cannot share standard output.
        if (action == "extract" && words[3] == "-" && m_options.json)
            return Usage(Msg("--json cannot be used with extract to standard output (-)"));
        if (action == "extract")
            body = [this, i = *item, file = words[3]] { return ResourceExtract(i, file); };
        else if (action == "replace" && words[3] == "-")
            body = [this, i = *item] { return ResourceReplaceFromInput(i); };
        else if (action == "replace")
            body = [this, i = *item, file = words[3]] { return ResourceReplace(i, file); };
        else
            body = [this, i = *item] { return ResourceDelete(i); };
    } else if (CommandHelp(command).empty() || command == "help") {
        return Usage(UnknownCommand(command));
    } else {
        return Usage(Msg("wrong arguments for %s (see '%s')", {Value(command), "ostrawen-cli help " + command}));
    }

    if (const int code = ResolveGameDir(); code != kExitOk)
        return code;
    if (command != "status")
        ResolveArchive();
    // Long steps (compaction, large writes) draw a bar for a person watching; never into a file.
    const bool drawProgress = !m_options.quiet && StderrIsTerminal();
    if (drawProgress)
        m_mpq.SetProgress([this](std::uint64_t done, std::uint64_t total) { DrawProgress(done, total); });
    // A journal of ours that did not belong to the archive found there is left for the player to see.
    m_mpq.SetSetAsideNotice([this] {
        m_err << Format(Tr("warning: %s: an interrupted write's journal did not belong to the archive now in its "
                           "place; it was set aside beside it (-journal.N or -backup.N) and the archive left as "
                           "it is"),
                        {m_archiveName})
              << "\n";
    });
    const int code = body();
    if (m_progressShown)
        m_err << "\r" << std::string(60, ' ') << "\r" << std::flush;
    return code;
}

int Run::ResolveGameDir() {
    if (m_options.gameDir) {
        m_gameDir = PathFromText(modUtf8Convert::Utf8ToText(*m_options.gameDir));
        m_foundBy = "option";
        std::error_code error;
        if (!fs::is_directory(m_gameDir, error))
            return Fail(kExitNoGameDir, {}, "no-game",
                        Msg("game directory %s is not a directory", {Value(*m_options.gameDir)}));
    } else {
        const std::u16string appPath = modPublicVars::GetAppPath();
        const GamePathDecision decision = DecideGamePath(appPath);
        if (decision.warning == GamePathWarning::M1)
            return Fail(kExitNoGameDir, {}, "no-game",
                        Msg("PD_Set.ini beside the program names a directory without war3.exe; use --game-dir"));
        if (decision.warning != GamePathWarning::None)
            return Fail(kExitNoGameDir, {}, "no-game",
                        Msg("no game directory found (no war3.exe beside the program or in the registry's "
                            "install path, no PD_Set.ini); use --game-dir"));
        m_gameDir = PathFromText(decision.gamePath);
        m_foundBy = decision.source == GamePathSource::ProgramDirectory ? "program directory"
                    : decision.source == GamePathSource::Registry       ? "registry"
                                                                        : "settings file";
    }
    m_json.Key("gameDir").String(DirectoryText(m_gameDir));
    m_json.Key("foundBy").String(m_foundBy);
    return kExitOk;
}

void Run::ResolveArchive() {
    m_archivePath = ArchivePath(m_archiveName);
    m_json.Key("archive").String(m_archiveName);
    OpenDoor(m_mpq, m_archivePath);
}

fs::path Run::ArchivePath(const std::string& name) const {
    // The game finds its archives whatever their letter case; so do we.
    const std::u16string text = modUtf8Convert::Utf8ToText(name);
    if (auto found = file_probe::FindEntryIgnoringCase(m_gameDir, text))
        return *found;
    return m_gameDir / PathFromText(text);
}

void Run::OpenDoor(clsMpqControl& mpq, const fs::path& archive) const {
    mpq.SetMpqFileName(TextFromPath(archive));
}

void Run::DrawProgress(std::uint64_t done, std::uint64_t total) {
    constexpr int kWidth = 40;
    std::string line = "\r" + m_archiveName + " [";
    if (total == 0) {
        // Unknown total: a marker that moves, so the person sees it is alive.
        static int tick = 0;
        tick = (tick + 1) % kWidth;
        for (int i = 0; i < kWidth; ++i)
            line += i == tick ? '#' : ' ';
        line += "]";
    } else {
        const std::uint64_t filled = std::min<std::uint64_t>(kWidth, done * kWidth / total);
        line += std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " +
                std::to_string(std::min<std::uint64_t>(100, done * 100 / total)) + "%";
    }
    m_err << line << std::flush;
    m_progressShown = true;
}

void Run::Changed(bool changed, const Text& whatChanged) {
    m_json.Key("changed").Bool(changed);
    m_changedWritten = true;
    Say(Format(Tr("%s: %s"), {m_archiveName, changed ? whatChanged.shown : std::string(Tr("unchanged"))}));
}

int Run::LanNameGet() {
    const ArchiveRead read = ReadFromArchive(m_mpq, mods::kGlobalStringsPath);
    if (read.state == ReadState::Unreadable)
        return DoorFailed(Msg("cannot read %s", {Utf8(mods::kGlobalStringsPath)}), read.why);
    const auto value = read.state == ReadState::Held ? GameNameIn(read.bytes) : std::nullopt;
    m_json.Key("value");
    if (value) {
        m_json.String(value->text);
        Print(EscapeControls(Utf8(value->text)));
    } else {
        m_json.Null();
    }
    m_json.Key("invalidUtf8").Bool(value && value->invalidUtf8);
    return kExitOk;
}

int Run::LanNameSet(const std::string& name) {
    const std::u16string newName = modUtf8Convert::Utf8ToText(name);
    const std::string address = Utf8(mods::kGlobalStringsPath);
    const ArchiveRead read = ReadFromArchive(m_mpq, mods::kGlobalStringsPath);
    if (read.state != ReadState::Held)
        return DoorFailed(Msg("cannot read %s", {address}), read.why);
    const auto previous = GameNameIn(read.bytes);
    const auto edited = mods::EditLanGameName(read.bytes, newName);
    if (!previous || !edited)
        return Fail(kExitFailed, m_archiveName, "no-entry",
                    Msg("%s: %s holds no GAMENAME entry", {m_archiveName, address}));
    m_json.Key("previous").String(previous->text);
    m_json.Key("value").String(newName);
    return StoreEdit(mods::kGlobalStringsPath, read.bytes, *edited, Msg("LAN name set to %s", {Value(name)}));
}

int Run::StoreEdit(const std::u16string& address, const Bytes& held, const Bytes& edited, const Text& done) {
    // The value already in place: nothing is written, as fleet tools that repeat a run expect.
    if (edited == held) {
        Changed(false, {});
        return kExitOk;
    }
    MpqFailure why = MpqFailure::None;
    if (!m_mpq.SaveFileToMpq(address, edited, &why))
        return DoorFailed(Msg("cannot write %s", {Utf8(address)}), why);
    Changed(true, done);
    return kExitOk;
}

int Run::CursorGet() {
    const ArchiveRead read = ReadFromArchive(m_mpq, mods::kWar3SkinsPath);
    if (read.state == ReadState::Unreadable)
        return DoorFailed(Msg("cannot read %s", {Utf8(mods::kWar3SkinsPath)}), read.why);
    std::optional<mods::Race> race;
    if (read.state == ReadState::Held)
        race = CursorIn(read.bytes);
    m_json.Key("value");
    if (race) {
        m_json.String(RaceKey(*race));
        Print(RaceKey(*race));
    } else {
        m_json.Null();
    }
    return kExitOk;
}

int Run::CursorSet(mods::Race race) {
    const std::string address = Utf8(mods::kWar3SkinsPath);
    const ArchiveRead read = ReadFromArchive(m_mpq, mods::kWar3SkinsPath);
    if (read.state != ReadState::Held)
        return DoorFailed(Msg("cannot read %s", {address}), read.why);
    const auto edited = mods::EditCursorRace(read.bytes, race);
    if (!edited)
        return Fail(kExitFailed, m_archiveName, "no-entry",
                    Msg("%s: %s holds no cursor entry", {m_archiveName, address}));
    const auto previous = CursorIn(read.bytes);
    m_json.Key("previous");
    if (previous)
        m_json.String(RaceKey(*previous));
    else
        m_json.Null();
    m_json.Key("value").String(RaceKey(race));
    return StoreEdit(mods::kWar3SkinsPath, read.bytes, *edited, Msg("cursor set to %s", {RaceKey(race)}));
}

int Run::ResourceList() {
    MpqFailure why = MpqFailure::None;
    if (!m_mpq.ArchiveOpens(&why))
        return DoorFailed(Msg("cannot open"), why);
    // Gathered first, so a failure half-way leaves no half-written list.
    // Each resource is read through, a piece at a time: one that would not extract is not listed.
    std::vector<std::optional<std::uint64_t>> sizes;
    for (const mods::ResourceItem& item : mods::ResourceItems()) {
        std::uint64_t size = 0;
        if (m_mpq.MeasureFileInMpq(item.fileAddress, size, &why))
            sizes.push_back(size);
        else if (why == MpqFailure::NotFound)
            sizes.push_back(std::nullopt);
        else
            return DoorFailed(Msg("cannot read %s", {Utf8(item.fileAddress)}), why);
    }
    m_json.Key("resources").BeginArray();
    const auto& items = mods::ResourceItems();
    for (std::size_t i = 0; i < items.size(); ++i) {
        m_json.BeginObject();
        m_json.Key("key").String(kResourceKeys[i]);
        m_json.Key("entry").String(items[i].entryText);
        m_json.Key("address").String(items[i].fileAddress);
        m_json.Key("present").Bool(sizes[i].has_value());
        m_json.Key("size");
        if (sizes[i])
            m_json.Number(*sizes[i]);
        else
            m_json.Null();
        m_json.EndObject();
        Print(std::string(kResourceKeys[i]) + "\t" + (sizes[i] ? std::to_string(*sizes[i]) : "-") + "\t" +
              Utf8(items[i].fileAddress));
    }
    m_json.EndArray();
    return kExitOk;
}

int Run::ResourceExtract(std::size_t item, const std::string& file) {
    const mods::ResourceItem& resource = mods::ResourceItems()[item];
    m_json.Key("item").String(kResourceKeys[item]);
    MpqFailure why = MpqFailure::None;
    std::uint64_t size = 0;
    if (file == "-") {
        // Standard output: the bytes whole, then nothing else on it.
        Bytes bytes;
        if (!m_mpq.ReadFileFromMpq(resource.fileAddress, bytes, &why))
            return DoorFailed(Msg("cannot read %s", {Utf8(resource.fileAddress)}), why);
        m_out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        m_dataWritten = true;
        return kExitOk;
    }
    if (!m_mpq.ExtractFileFromMpq(resource.fileAddress, modUtf8Convert::Utf8ToText(file), &why, &size)) {
        if (why == MpqFailure::DiskFile)
            return DiskFileFailed(false, file);
        return DoorFailed(Msg("cannot read %s", {Utf8(resource.fileAddress)}), why);
    }
    m_json.Key("file").String(file);
    m_json.Key("size").Number(size);
    Say(Format(Tr("%s: %s extracted to %s (%s bytes)"),
               {m_archiveName, kResourceKeys[item], EscapeControls(file), std::to_string(size)}));
    return kExitOk;
}

int Run::ResourceReplace(std::size_t item, const std::string& file) {
    const mods::ResourceItem& resource = mods::ResourceItems()[item];
    m_json.Key("item").String(kResourceKeys[item]);
    const std::u16string diskPath = modUtf8Convert::Utf8ToText(file);
    const std::unique_ptr<modFileStreams::FileReader> source = modFileStreams::FileReader::Open(diskPath);
    if (!source)
        return DiskFileFailed(true, file);
    // Identical bytes already stored are found piece by piece; a stored file that does not read
    // (malformed) is simply replaced.
    MpqFailure why = MpqFailure::None;
    bool same = false;
    if (!m_mpq.CompareFileInMpq(resource.fileAddress, diskPath, same, &why)) {
        if (why == MpqFailure::DiskFile)
            return DiskFileFailed(true, file);
        if (why != MpqFailure::NotFound && why != MpqFailure::Malformed)
            return DoorFailed(Msg("cannot read %s", {Utf8(resource.fileAddress)}), why);
    }
    m_json.Key("size").Number(source->Size());
    if (same) {
        Changed(false, {});
        return kExitOk;
    }
    if (!m_mpq.SaveFileToMpqFromDisk(resource.fileAddress, diskPath, &why)) {
        if (why == MpqFailure::DiskFile)
            return DiskFileFailed(true, file);
        return DoorFailed(Msg("cannot write %s", {Utf8(resource.fileAddress)}), why);
    }
    Changed(true, Msg("%s replaced from %s", {kResourceKeys[item], Value(file)}));
    return kExitOk;
}

int Run::ResourceReplaceFromInput(std::size_t item) {
    const mods::ResourceItem& resource = mods::ResourceItems()[item];
    m_json.Key("item").String(kResourceKeys[item]);
    // All of standard input, up to the size a file on disk may have.
    Bytes bytes;
    const InputRead input = ReadStandardInput(bytes, clsMpqControl::kLargestFile);
    if (input == InputRead::TooLarge)
        return Fail(kExitFailed, m_archiveName, "too-large",
                    Msg("standard input holds more than %s bytes", {std::to_string(clsMpqControl::kLargestFile)}));
    if (input == InputRead::Failed)
        return Fail(kExitFailed, m_archiveName, "cannot-read-file",
                    Msg("cannot read standard input: %s", {ReasonOfLastError()}));
    // The stored bytes are read only as far as the new ones go: a larger stored file differs anyway.
    MpqFailure why = MpqFailure::None;
    Bytes held;
    const bool same =
        !bytes.empty() &&
        m_mpq.ReadFileFromMpq(resource.fileAddress, held, &why, static_cast<std::uint32_t>(bytes.size())) &&
        held == bytes;
    if (!same && why != MpqFailure::None && why != MpqFailure::NotFound && why != MpqFailure::Malformed &&
        why != MpqFailure::TooLarge)
        return DoorFailed(Msg("cannot read %s", {Utf8(resource.fileAddress)}), why);
    m_json.Key("size").Number(bytes.size());
    if (same) {
        Changed(false, {});
        return kExitOk;
    }
    if (!m_mpq.SaveFileToMpq(resource.fileAddress, bytes, &why))
        return DoorFailed(Msg("cannot write %s", {Utf8(resource.fileAddress)}), why);
    Changed(true, Msg("%s replaced from standard input", {kResourceKeys[item]}));
    return kExitOk;
}

int Run::ResourceDelete(std::size_t item) {
    const mods::ResourceItem& resource = mods::ResourceItems()[item];
    m_json.Key("item").String(kResourceKeys[item]);
    MpqFailure why = MpqFailure::None;
    if (!m_mpq.FileExistsInMpq(resource.fileAddress, &why)) {
        // Nothing to delete is a success, but only from an archive that opened to say so.
        if (why != MpqFailure::NotFound)
            return DoorFailed(Msg("cannot read %s", {Utf8(resource.fileAddress)}), why);
        Changed(false, {});
        return kExitOk;
    }
    if (!m_mpq.DeleteFileFromMpq(resource.fileAddress, &why))
        return DoorFailed(Msg("cannot delete %s", {Utf8(resource.fileAddress)}), why);
    Changed(true, Msg("%s deleted", {kResourceKeys[item]}));
    return kExitOk;
}

int Run::Compact() {
    MpqFailure why = MpqFailure::None;
    bool rewritten = false;
    if (!m_mpq.CompressMpq(&why, &rewritten))
        return DoorFailed(Msg("cannot compact"), why);
    Changed(rewritten, Msg("compacted"));
    return kExitOk;
}

// --- status ---

struct FileFinding {
    ReadState state = ReadState::Absent;
    std::optional<TextValue> value;
};

struct ArchiveFinding {
    std::string name;
    fs::path path;
    bool present = false;
    bool opens = false;
    MpqFailure why = MpqFailure::None;
    FileFinding gameName;
    FileFinding cursor;
    std::vector<std::optional<std::size_t>> resourceSizes; // per item; nothing when absent or unreadable
};

FileFinding FindGameName(clsMpqControl& mpq) {
    const ArchiveRead read = ReadFromArchive(mpq, mods::kGlobalStringsPath);
    return {read.state, read.state == ReadState::Held ? GameNameIn(read.bytes) : std::nullopt};
}

FileFinding FindCursor(clsMpqControl& mpq) {
    const ArchiveRead read = ReadFromArchive(mpq, mods::kWar3SkinsPath);
    FileFinding finding{read.state, std::nullopt};
    if (read.state == ReadState::Held) {
        if (const auto race = CursorIn(read.bytes))
            finding.value = TextValue{modUtf8Convert::Utf8ToText(RaceKey(*race))};
    }
    return finding;
}

// The resources' sizes from the archive's tables as our own reader sees them, without reading the
// files through the worker: megabytes of music per archive would make every status slow. The
// tables are read without the lock, so a write in progress elsewhere may show as no sizes at all.
std::vector<std::optional<std::size_t>> StoredSizes(const fs::path& archive) {
    constexpr std::uint32_t kFileExists = 0x80000000u;
    std::vector<std::optional<std::size_t>> sizes(mods::ResourceItems().size());
    const std::optional<MpqLayout> layout = ReadMpqLayout(archive);
    if (!layout)
        return sizes;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const std::optional<std::string> name = ArchiveNameFromText(mods::ResourceItems()[i].fileAddress);
        if (!name)
            continue;
        const std::uint32_t name1 = MpqHashString(*name, 1);
        const std::uint32_t name2 = MpqHashString(*name, 2);
        // The neutral locale first, as the game and the door read it; else any locale's entry.
        const MpqLayout::Hash* chosen = nullptr;
        for (const MpqLayout::Hash& hash : layout->hashes) {
            if (hash.name1 != name1 || hash.name2 != name2 || hash.blockIndex >= layout->blocks.size() ||
                !(layout->blocks[hash.blockIndex].flags & kFileExists))
                continue;
            if (!chosen || (hash.locale == 0 && chosen->locale != 0))
                chosen = &hash;
        }
        if (chosen)
            sizes[i] = layout->blocks[chosen->blockIndex].fileSize;
    }
    return sizes;
}

void WriteFinding(JsonWriter& json, const char* key, const FileFinding& finding) {
    json.Key(key);
    if (finding.value)
        json.String(finding.value->text);
    else
        json.Null();
}

std::string Quoted(const std::optional<TextValue>& value) {
    return value ? "\"" + EscapeControls(Utf8(value->text)) + "\"" : std::string(Tr("none"));
}

// How the game directory was found, in the user's words.
std::string FoundByText(const std::string& foundBy) {
    if (foundBy == "option")
        return Tr("option");
    if (foundBy == "program directory")
        return Tr("program directory");
    if (foundBy == "registry")
        return Tr("registry");
    return Tr("settings file");
}

// The game's name as the player knows it in their language.
std::string GameText(const std::string& game) {
    return game == "Reign of Chaos" ? Tr("Reign of Chaos") : Tr("The Frozen Throne");
}

ArchiveFinding DescribeArchive(const std::string& name, const fs::path& path) {
    ArchiveFinding finding;
    finding.name = name;
    finding.path = path;
    std::error_code error;
    finding.present = fs::is_regular_file(finding.path, error);
    if (!finding.present) {
        finding.why = MpqFailure::NoArchive;
    } else {
        // A status only looks: it neither waits for a live write ("locked") nor puts a dead one's
        // files right ("pending recovery"); the next edit does that.
        clsMpqControl mpq;
        mpq.SetLockWait(std::chrono::milliseconds(0));
        mpq.SetRecovery(false);
        mpq.SetMpqFileName(TextFromPath(finding.path));
        // A read that finds the file or finds it missing has opened the archive: one call fewer.
        finding.gameName = FindGameName(mpq);
        finding.opens = finding.gameName.state != ReadState::Unreadable || mpq.ArchiveOpens(&finding.why);
        if (finding.opens) {
            finding.cursor = FindCursor(mpq);
            finding.resourceSizes = StoredSizes(finding.path);
        }
    }
    return finding;
}

int Run::Status() {
    // The archives are looked at side by side, each through a worker of its own: a fleet check
    // should take the time of the largest archive, not of all four.
    std::vector<ArchiveFinding> findings(kArchiveNames.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < kArchiveNames.size(); ++i) {
        auto describe = [&findings, i, path = ArchivePath(kArchiveNames[i])] {
            try {
                findings[i] = DescribeArchive(kArchiveNames[i], path);
            } catch (...) {
                // Out of memory while looking: the archive is reported as not opened.
                findings[i].name = kArchiveNames[i];
                findings[i].path = path;
                findings[i].present = true;
                findings[i].why = MpqFailure::EngineFailed;
            }
        };
        try {
            threads.emplace_back(describe);
        } catch (...) {
            describe();
        }
    }
    for (std::thread& thread : threads)
        thread.join();

    Print(Format(Tr("Game directory: %s (found by %s)"),
                 {EscapeControls(DirectoryText(m_gameDir)), FoundByText(m_foundBy)}));
    m_json.Key("archives").BeginArray();
    for (const ArchiveFinding& finding : findings) {
        m_json.BeginObject();
        m_json.Key("name").String(finding.name);
        m_json.Key("path").String(PathUtf8(finding.path));
        m_json.Key("present").Bool(finding.present);
        m_json.Key("opens").Bool(finding.opens);
        m_json.Key("why");
        if (finding.opens)
            m_json.Null();
        else
            m_json.String(ReasonId(finding.why));
        std::string line;
        if (!finding.present) {
            line = Format(Tr("%s: missing"), {finding.name});
        } else if (!finding.opens) {
            line = Format(Tr("%s: present, does not open: %s"), {finding.name, ReasonText(finding.why).shown});
        } else {
            line = Format(Tr("%s: GAMENAME %s, cursor %s"),
                          {finding.name, Quoted(finding.gameName.value),
                           finding.cursor.value ? Utf8(finding.cursor.value->text) : std::string(Tr("none"))});
        }
        if (finding.opens) {
            WriteFinding(m_json, "gameName", finding.gameName);
            m_json.Key("gameNameInvalidUtf8").Bool(finding.gameName.value && finding.gameName.value->invalidUtf8);
            WriteFinding(m_json, "cursor", finding.cursor);
            m_json.Key("resources").BeginArray();
            std::string held;
            for (std::size_t i = 0; i < finding.resourceSizes.size(); ++i) {
                if (!finding.resourceSizes[i])
                    continue;
                m_json.BeginObject().Key("key").String(kResourceKeys[i]);
                m_json.Key("size").Number(*finding.resourceSizes[i]).EndObject();
                held += std::string(held.empty() ? "" : Tr(", ")) +
                        Format(Tr("%s %s bytes"), {kResourceKeys[i], std::to_string(*finding.resourceSizes[i])});
            }
            m_json.EndArray();
            line += Format(Tr("; resources: %s"), {held.empty() ? std::string(Tr("none")) : held});
        }
        m_json.EndObject();
        Print(line);
    }
    m_json.EndArray();

    // What a game reads: the first archive in its order that holds the file; unknown when an
    // archive before it could hold the file but cannot be read.
    auto effective = [&](const GameOrder& order, const char* key, FileFinding ArchiveFinding::*member) {
        std::string source;
        bool known = true;
        std::optional<TextValue> value;
        for (const char* name : order.archives) {
            const auto finding =
                std::find_if(findings.begin(), findings.end(), [&](const ArchiveFinding& f) { return f.name == name; });
            if (!finding->present)
                continue;
            const FileFinding& file = (*finding).*member;
            if (!finding->opens || file.state == ReadState::Unreadable) {
                source = name;
                known = false;
                break;
            }
            if (file.state == ReadState::Held) {
                source = name;
                value = file.value;
                break;
            }
        }
        m_json.Key(key).BeginObject();
        m_json.Key("known").Bool(known);
        m_json.Key("value");
        if (value)
            m_json.String(value->text);
        else
            m_json.Null();
        m_json.Key("source");
        if (source.empty())
            m_json.Null();
        else
            m_json.String(source);
        m_json.EndObject();
        const std::string shown = known ? Quoted(value) : std::string(Tr("unknown"));
        return source.empty() ? shown : Format(Tr("%s from %s"), {shown, source});
    };
    m_json.Key("effective").BeginArray();
    for (const GameOrder& order : GameOrders()) {
        m_json.BeginObject().Key("game").String(order.game);
        const std::string name = effective(order, "lanName", &ArchiveFinding::gameName);
        const std::string cursor = effective(order, "cursor", &ArchiveFinding::cursor);
        m_json.EndObject();
        Print(Format(Tr("%s: LAN name %s; cursor %s"), {GameText(order.game), name, cursor}));
    }
    m_json.EndArray();
    return kExitOk;
}

} // namespace

int RunCli(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    // Nothing may escape main(): an exception (out of memory) is a failed operation like any other.
    ParsedOptions parsed = ParseOptions(arguments);
    try {
        Run run(parsed.options, out, err);
        return run.Execute(parsed.error);
    } catch (...) {
        err << kProgram << ": " << Tr("out of memory or internal error") << "\n";
        if (parsed.options.json)
            out << R"({"format":1,"changed":false,"error":{"reason":"internal-error","archive":null,)"
                << R"("message":"out of memory or internal error","exitCode":1}})"
                << "\n";
        return kExitFailed;
    }
}

} // namespace cli
