#include "window_scenarios.h"

#include "support/text_path.h"
#include "support/utf8_convert.h"

#include <utility>

using namespace window;
using modUtf8Convert::TextToUtf8;
using modUtf8Convert::Utf8ToText;

namespace window_test {
namespace {

const std::u16string kSucceeded = u"命令成功完成.";
const std::u16string kCompleted = u"命令完成.";
const std::u16string kFailed = u"操作过程中发生错误.";
const std::u16string kCompactQuestion = u"压缩 MPQ 将会花费较长时间, 确认执行?";
const std::u16string kGlobalStrings = u"UI\\FrameDef\\GlobalStrings.fdf";
const std::u16string kSkins = u"UI\\war3skins.txt";
const std::u16string kMenuModel = u"UI\\Glues\\MainMenu\\MainMenu3d_exp\\MainMenu3d_exp.mdx";
const std::u16string kEnglishFont = u"Fonts\\FRIZQT__.TTF";
const std::u16string kPatch = u"War3Patch.mpq";

std::vector<std::uint8_t> Model() {
    std::vector<std::uint8_t> bytes = testkit::Bytes("MDLXVERS");
    for (int i = 0; i < 5000; ++i)
        bytes.push_back(static_cast<std::uint8_t>((i * 37) ^ (i >> 3)));
    return bytes;
}

Message Done(const std::u16string& text) {
    return {u"Ostrawen", text, MessageIcon::Information, MessageButtons::Ok};
}
Message Failed() {
    return {u"Ostrawen", kFailed, MessageIcon::Exclamation, MessageButtons::Ok};
}
Message CompactQuestion() {
    return {u"Ostrawen", kCompactQuestion, MessageIcon::Question, MessageButtons::YesNo};
}
Message Warning(const std::u16string& text) {
    return {u"提示", text, MessageIcon::Exclamation, MessageButtons::Ok};
}

const std::u16string kM1 = u"Pellidor 中的 魔兽争霸III 安装目录设置不正确。\r\n"
                           u"请重新在 Pellidor 中设置或将本程序放在 魔兽争霸III 安装目录下使用。";
const std::u16string kM2 = u"请把本程序放在 Pellidor 目录下，或者放在 魔兽争霸III 安装目录下，再运行本程序才可使用！";

std::u16string Replace(std::u16string text, const std::u16string& from, const std::u16string& to) {
    for (std::size_t at = text.find(from); at != std::u16string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

Scenario Named(std::string name) {
    Scenario row;
    row.name = std::move(name);
    return row;
}

Action Act(Action::Kind kind, ControlId control, std::u16string text = {}) {
    Action action;
    action.kind = kind;
    action.control = control;
    action.text = std::move(text);
    return action;
}

std::vector<Scenario> MakeScenarios() {
    using C = ControlId;
    std::vector<Scenario> rows;
    const ArchiveContent usual{"旧名字", "Human", {{kMenuModel, Model()}}};

    // --- Start-up ---
    {
        Scenario row = Named("StartUpShowsTheDefaultArchive");
        row.archives = {{kPatch, {"主机 A", "Undead", {}}}};
        row.texts = {{C::cboMpqFileName, kPatch},
                     {C::cboItemToModify, u"界面背景 (冰封王座)"},
                     {C::txtLanGameName, u"主机 A"},
                     {C::FrmMain, u"Keldrava - Ostrawen Ver:2.0.091105"},
                     {C::Label_3, u"功能: 压缩 MPQ 文件、修改魔兽背景图片/音乐/字体、修改局域网主机名"}};
        row.checked = {{C::optMouseUndead, true}, {C::optMouseHuman, false}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("StartUpWithoutTheDefaultArchiveShowsTheLayoutsValues");
        row.texts = {{C::txtLanGameName, u""}, {C::cboMpqFileName, kPatch}};
        row.checked = {{C::optMouseHuman, false},
                       {C::optMouseOrc, false},
                       {C::optMouseNightElf, false},
                       {C::optMouseUndead, false}};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }
    {
        Scenario row = Named("M1EndsStartUpWithItsWarning");
        row.warning = GamePathWarning::M1;
        row.messages = {Warning(kM1)};
        rows.push_back(row);
    }
    {
        Scenario row = Named("M2EndsStartUpWithItsWarning");
        row.warning = GamePathWarning::M2;
        row.messages = {Warning(kM2)};
        rows.push_back(row);
    }

    // --- Archive selection ---
    {
        Scenario row = Named("ChoosingAnotherArchiveShowsWhatItHolds");
        row.archives = {{kPatch, {"补丁主机", "Human", {}}}, {u"War3x.mpq", {"资料片主机", "Undead", {}}}};
        row.actions = {Type(C::txtLanGameName, u"typed, not written"), Choose(C::cboMpqFileName, u"War3x.mpq")};
        row.texts = {{C::txtLanGameName, u"资料片主机"}, {C::cboMpqFileName, u"War3x.mpq"}};
        row.checked = {{C::optMouseUndead, true}, {C::optMouseHuman, false}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("ChoosingTheSameArchiveAgainDiscardsWhatWasTyped");
        row.archives = {{kPatch, {"原名", "Orc", {}}}};
        row.actions = {Type(C::txtLanGameName, u"typed"), Tick(C::optMouseHuman), Choose(C::cboMpqFileName, kPatch)};
        row.texts = {{C::txtLanGameName, u"原名"}};
        row.checked = {{C::optMouseOrc, true}, {C::optMouseHuman, false}};
        rows.push_back(row);
    }
    for (const auto& [word, option] :
         {std::pair{"Human", C::optMouseHuman}, std::pair{"Orc", C::optMouseOrc},
          std::pair{"NightElf", C::optMouseNightElf}, std::pair{"Undead", C::optMouseUndead}}) {
        Scenario row = Named(std::string("ArchiveWith") + word + "CursorShowsIt");
        row.archives = {{kPatch, {"a", "NightElf", {}}}, {u"War3x.mpq", {"b", word, {}}}};
        row.actions = {Choose(C::cboMpqFileName, u"War3x.mpq")};
        row.texts = {{C::txtLanGameName, u"b"}};
        for (const ControlId each : {C::optMouseNightElf, C::optMouseOrc, C::optMouseHuman, C::optMouseUndead})
            row.checked.emplace_back(each, each == option);
        rows.push_back(row);
    }
    {
        // Neither the previous archive's name nor its race stays on show.
        Scenario row = Named("ArchiveWithoutTheFilesShowsNoNameAndNoRace");
        row.archives = {{kPatch, {"补丁主机", "Human", {}}}, {u"War3xLocal.mpq", {std::nullopt, std::nullopt, {}}}};
        row.actions = {Choose(C::cboMpqFileName, u"War3xLocal.mpq")};
        row.texts = {{C::txtLanGameName, u""}};
        row.checked = {{C::optMouseHuman, false},
                       {C::optMouseOrc, false},
                       {C::optMouseNightElf, false},
                       {C::optMouseUndead, false}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("MissingArchiveShowsNoNameAndNoRace");
        row.archives = {{kPatch, {"补丁主机", "Orc", {}}}};
        row.actions = {Type(C::txtLanGameName, u"typed"), Choose(C::cboMpqFileName, u"War3.mpq")};
        row.texts = {{C::txtLanGameName, u""}};
        row.checked = {{C::optMouseOrc, false}};
        rows.push_back(row);
    }
    {
        // A press after choosing the archive without a name writes nothing of the previous one's.
        Scenario row = Named("CursorPressAfterAnArchiveWithoutARaceFails");
        row.archives = {{kPatch, {"补丁主机", "Undead", {}}}, {u"War3x.mpq", {"资料片", "Naga", {}}}};
        row.actions = {Choose(C::cboMpqFileName, u"War3x.mpq"), Press(C::btnDoModificationForMouse)};
        row.messages = {Failed()};
        row.checked = {{C::optMouseUndead, false}};
        row.unchangedArchives = {u"War3x.mpq"};
        rows.push_back(row);
    }
    {
        Scenario row = Named("ArchiveNameMatchedIgnoringCase");
        row.archives = {{u"war3patch.MPQ", {"小写", "Orc", {}}}};
        row.texts = {{C::txtLanGameName, u"小写"}};
        row.checked = {{C::optMouseOrc, true}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("WritesGoToTheArchiveChosenLast");
        row.archives = {{kPatch, {"补丁", "Human", {}}}, {u"War3x.mpq", {"资料片", "Orc", {}}}};
        row.actions = {Choose(C::cboMpqFileName, u"War3x.mpq"), Type(C::txtLanGameName, u"新的"),
                       Press(C::btnDoModificationForLanGameName)};
        row.messages = {Done(kSucceeded)};
        row.archiveEntries = {{u"War3x.mpq", kGlobalStrings, GlobalStringsFdf("新的")}};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }

    // --- LAN game name ---
    for (const auto& [name, typed] : {std::pair{"LanNameIsWritten", std::string("局域网 主机")},
                                      std::pair{"EmptyLanNameEmptiesTheValue", std::string()}}) {
        Scenario row = Named(name);
        row.archives = {{kPatch, usual}};
        row.actions = {Type(C::txtLanGameName, Utf8ToText(typed)), Press(C::btnDoModificationForLanGameName)};
        row.messages = {Done(kSucceeded)};
        row.archiveEntries = {{kPatch, kGlobalStrings, GlobalStringsFdf(typed)}, {kPatch, kMenuModel, Model()}};
        row.texts = {{C::txtLanGameName, Utf8ToText(typed)}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("LanNameWithoutTheStringFileFails");
        row.archives = {{kPatch, {std::nullopt, "Human", {{kMenuModel, Model()}}}}};
        row.actions = {Type(C::txtLanGameName, u"新名"), Press(C::btnDoModificationForLanGameName)};
        row.messages = {Failed()};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }
    {
        Scenario row = Named("LanNameWithAQuoteIsRefused");
        row.archives = {{kPatch, usual}};
        row.actions = {Type(C::txtLanGameName, u"a\"b"), Press(C::btnDoModificationForLanGameName)};
        row.messages = {Failed()};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }

    // --- Cursor race ---
    struct RaceRow {
        const char* name;
        const char* archiveRace;
        std::optional<ControlId> chosen;
        bool succeeds;
        const char* stored;
    };
    for (const RaceRow& race : {RaceRow{"HumanBecomesOrc", "Human", C::optMouseOrc, true, "Orc"},
                                RaceRow{"OrcBecomesNightElf", "Orc", C::optMouseNightElf, true, "NightElf"},
                                RaceRow{"UndeadBecomesHuman", "Undead", C::optMouseHuman, true, "Human"},
                                RaceRow{"TheShownRaceIsWrittenAgain", "NightElf", std::nullopt, true, "NightElf"},
                                RaceRow{"UnknownWordIsReplacedWhole", "Goblin", C::optMouseUndead, true, "Undead"},
                                RaceRow{"NoRaceSelectedFails", "Goblin", std::nullopt, false, ""}}) {
        Scenario row = Named(race.name);
        row.archives = {{kPatch, {"x", race.archiveRace, {}}}};
        if (race.chosen)
            row.actions.push_back(Tick(*race.chosen));
        row.actions.push_back(Press(C::btnDoModificationForMouse));
        if (race.succeeds) {
            row.messages = {Done(kCompleted)};
            row.archiveEntries = {{kPatch, kSkins, War3SkinsTxt(race.stored)}};
        } else {
            row.messages = {Failed()};
            row.unchangedArchives = {kPatch};
        }
        rows.push_back(row);
    }

    // --- Resources ---
    const std::vector<std::uint8_t> mine = testkit::Bytes("my own menu model");
    {
        Scenario row = Named("ExtractToANewFile");
        row.archives = {{kPatch, usual}};
        row.actions = {Tick(C::chkExtract), Type(C::txtDestForGameModification, u"{root}/new.mdx"),
                       Press(C::btnDoModificationForGeneral)};
        row.messages = {Done(kSucceeded)};
        row.diskAfter = {{u"{root}/new.mdx", Model()}};
        row.archiveEntries = {{kPatch, kMenuModel, Model()}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("ExtractWinsOverDelete");
        row.archives = {{kPatch, usual}};
        row.diskFiles = {{u"{root}/我的 模型.mdx", mine}};
        row.actions = {Tick(C::chkExtract), Tick(C::chkDelete),
                       Type(C::txtDestForGameModification, u"{root}/我的 模型.mdx"),
                       Press(C::btnDoModificationForGeneral)};
        row.messages = {Done(kSucceeded)};
        row.diskAfter = {{u"{root}/我的 模型.mdx", Model()}};
        row.archiveEntries = {{kPatch, kMenuModel, Model()}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("ExtractingWhatTheArchiveLacksFails");
        row.archives = {{kPatch, {"x", "Human", {}}}};
        row.actions = {Tick(C::chkExtract), Type(C::txtDestForGameModification, u"{root}/new.mdx"),
                       Press(C::btnDoModificationForGeneral)};
        row.messages = {Failed()};
        row.diskAfter = {{u"{root}/new.mdx", std::nullopt}};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }
    {
        Scenario row = Named("DeleteRemovesOnlyTheItem");
        row.archives = {{kPatch, {"x", "Human", {{kMenuModel, Model()}, {kEnglishFont, testkit::Bytes("font")}}}}};
        row.actions = {Tick(C::chkDelete), Press(C::btnDoModificationForGeneral)};
        row.messages = {Done(kSucceeded)};
        row.archiveEntries = {{kPatch, kMenuModel, std::nullopt}, {kPatch, kEnglishFont, testkit::Bytes("font")}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("ReplaceStoresTheDiskFile");
        row.archives = {{kPatch, usual}};
        row.diskFiles = {{u"{root}/我的 模型.mdx", mine}};
        row.actions = {Type(C::txtDestForGameModification, u"{root}/我的 模型.mdx"),
                       Press(C::btnDoModificationForGeneral)};
        row.messages = {Done(kSucceeded)};
        row.archiveEntries = {{kPatch, kMenuModel, mine}, {kPatch, kGlobalStrings, GlobalStringsFdf("旧名字")}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("ReplaceFromAnEmptyBoxFails");
        row.archives = {{kPatch, usual}};
        row.actions = {Press(C::btnDoModificationForGeneral)};
        row.messages = {Failed()};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }
    {
        Scenario row = Named("TheChosenItemIsTheOneActedOn");
        row.archives = {
            {kPatch, {"x", "Human", {{kEnglishFont, testkit::Bytes("english font")}, {kMenuModel, Model()}}}}};
        row.actions = {Choose(C::cboItemToModify, u"游戏字体 (英文)"), Tick(C::chkExtract),
                       Type(C::txtDestForGameModification, u"{root}/out.bin"), Press(C::btnDoModificationForGeneral)};
        row.messages = {Done(kSucceeded)};
        row.diskAfter = {{u"{root}/out.bin", testkit::Bytes("english font")}};
        rows.push_back(row);
    }

    // --- Browsing for the disk file ---
    struct BrowseRow {
        const char* name;
        bool extract;
        const char16_t* item;
        bool confirmed;
        std::vector<std::u16string> filters;
    };
    for (const BrowseRow& browse :
         {BrowseRow{"BrowseOpensAModel", false, u"界面背景 (冰封王座)", true, {u"模型文件 (*.mdx)", u"所有文件 (*.*)"}},
          BrowseRow{"BrowseSavesAFont", true, u"游戏字体 (英文)", true, {u"字体文件 (*.ttf)", u"所有文件 (*.*)"}},
          BrowseRow{
              "BrowseSavesMusic", true, u"背景音乐 (混乱之治)", true, {u"背景音乐文件 (*.mp3)", u"所有文件 (*.*)"}},
          BrowseRow{"CancelledBrowseEmptiesTheBox",
                    false,
                    u"游戏字体 (简体中文)",
                    false,
                    {u"字体文件 (*.ttf)", u"所有文件 (*.*)"}}}) {
        Scenario row = Named(browse.name);
        row.actions = {Choose(C::cboItemToModify, browse.item), Type(C::txtDestForGameModification, u"typed before")};
        if (browse.extract)
            row.actions.push_back(Tick(C::chkExtract));
        row.actions.push_back(browse.confirmed ? FileChosen(u"{root}/选择.bin") : FileCancelled());
        row.actions.push_back(Press(C::btnBrowserForModificationDest));
        row.fileDialogs = {{browse.extract ? FileDialogKind::Save : FileDialogKind::Open, browse.filters}};
        row.texts = {{C::txtDestForGameModification, browse.confirmed ? u"{root}/选择.bin" : u""}};
        rows.push_back(row);
    }

    // --- Compaction ---
    {
        Scenario row = Named("CompactionDeclinedTouchesNothing");
        row.actions = {Answer(MessageAnswer::No), Press(C::btnCompressMpq)};
        row.messages = {CompactQuestion()};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }
    {
        Scenario row = Named("CompactionKeepsEveryFileAndTheArchiveStaysUsable");
        row.archives = {{kPatch, {"名字", "Orc", {{kMenuModel, Model()}}}}};
        row.diskFiles = {{u"{root}/m", testkit::Bytes("small model")}};
        row.actions = {Type(C::txtDestForGameModification, u"{root}/m"),
                       Press(C::btnDoModificationForGeneral),
                       Answer(MessageAnswer::Yes),
                       Press(C::btnCompressMpq),
                       Type(C::txtLanGameName, u"压缩之后"),
                       Press(C::btnDoModificationForLanGameName)};
        row.messages = {Done(kSucceeded), CompactQuestion(), Done(kSucceeded), Done(kSucceeded)};
        row.archiveEntries = {{kPatch, kMenuModel, testkit::Bytes("small model")},
                              {kPatch, kGlobalStrings, GlobalStringsFdf("压缩之后")}};
        rows.push_back(row);
    }
    {
        Scenario row = Named("CompactingAMissingArchiveFails");
        row.actions = {Answer(MessageAnswer::Yes), Press(C::btnCompressMpq)};
        row.messages = {CompactQuestion(), Failed()};
        row.unchangedArchives = {kPatch};
        rows.push_back(row);
    }
    return rows;
}

std::u16string Rooted(const std::u16string& text, const GameDirectory& game) {
    std::u16string root = TextFromPath(game.Root());
    return Replace(Replace(text, u"{root}/", root + static_cast<char16_t>(fs::path::preferred_separator)), u"{root}",
                   root);
}

std::string Show(const std::u16string& text) {
    return TextToUtf8(text);
}

} // namespace

std::vector<std::u16string> FilterNames(const std::u16string& filter) {
    std::vector<std::u16string> names;
    std::size_t start = 0;
    for (int field = 0;; ++field) {
        const std::size_t bar = filter.find(u'|', start);
        const std::u16string part = filter.substr(start, bar == std::u16string::npos ? bar : bar - start);
        if (field % 2 == 0 && !part.empty())
            names.push_back(part);
        if (bar == std::u16string::npos)
            break;
        start = bar + 1;
    }
    return names;
}

Action Choose(ControlId list, std::u16string entry) {
    return Act(Action::Kind::Choose, list, std::move(entry));
}
Action Type(ControlId box, std::u16string text) {
    return Act(Action::Kind::SetText, box, std::move(text));
}
Action Tick(ControlId button, bool checked) {
    Action action = Act(Action::Kind::SetChecked, button);
    action.checked = checked;
    return action;
}
Action Press(ControlId button) {
    return Act(Action::Kind::Press, button);
}
Action Answer(MessageAnswer answer) {
    Action action = Act(Action::Kind::Answer, ControlId::FrmMain);
    action.answer = answer;
    return action;
}
Action FileChosen(std::u16string path) {
    return Act(Action::Kind::FileResult, ControlId::FrmMain, std::move(path));
}
Action FileCancelled() {
    Action action = Act(Action::Kind::FileResult, ControlId::FrmMain);
    action.confirmed = false;
    return action;
}

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = MakeScenarios();
    return scenarios;
}

void RunScenario(const Scenario& scenario, ScenarioDriver& driver, const GameDirectory& game) {
    for (const ArchiveSetup& archive : scenario.archives)
        BuildGameArchive(game.Game() / PathFromText(archive.fileName), archive.content);
    for (const DiskFile& file : scenario.diskFiles)
        testkit::WriteFile(PathFromText(Rooted(file.path, game)), *file.bytes);
    std::vector<std::pair<std::u16string, std::optional<std::vector<std::uint8_t>>>> before;
    for (const std::u16string& name : scenario.unchangedArchives) {
        const fs::path path = game.Game() / PathFromText(name);
        before.emplace_back(name, fs::exists(path) ? std::optional(testkit::ReadFile(path)) : std::nullopt);
    }

    GamePathDecision decision{DirText(game.Game()), scenario.warning, GamePathSource::ProgramDirectory};
    if (scenario.warning != GamePathWarning::None)
        decision = {u"", scenario.warning, GamePathSource::None};
    const bool started = driver.Start(decision);
    ASSERT_EQ(started, scenario.warning == GamePathWarning::None);

    std::vector<Message> messages = driver.TakeMessages();
    std::vector<ScenarioDriver::FileDialogShown> dialogs;
    for (const Action& action : scenario.actions) {
        switch (action.kind) {
        case Action::Kind::Choose:
            driver.Choose(action.control, action.text);
            break;
        case Action::Kind::SetText:
            driver.SetText(action.control, Rooted(action.text, game));
            break;
        case Action::Kind::SetChecked:
            driver.SetChecked(action.control, action.checked);
            break;
        case Action::Kind::Press:
            driver.Press(action.control);
            break;
        case Action::Kind::Answer:
            driver.QueueAnswer(action.answer);
            break;
        case Action::Kind::FileResult:
            driver.QueueFileDialogResult(action.confirmed ? std::optional(Rooted(action.text, game)) : std::nullopt);
            break;
        }
        for (Message& message : driver.TakeMessages())
            messages.push_back(std::move(message));
        for (ScenarioDriver::FileDialogShown& dialog : driver.TakeFileDialogs())
            dialogs.push_back(std::move(dialog));
    }

    ASSERT_EQ(messages.size(), scenario.messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i) {
        EXPECT_EQ(Show(messages[i].caption), Show(scenario.messages[i].caption)) << "message " << i;
        EXPECT_EQ(Show(messages[i].text), Show(scenario.messages[i].text)) << "message " << i;
        EXPECT_EQ(messages[i].icon, scenario.messages[i].icon) << "message " << i;
        EXPECT_EQ(messages[i].buttons, scenario.messages[i].buttons) << "message " << i;
    }
    EXPECT_EQ(dialogs, scenario.fileDialogs);
    if (!started)
        return;
    for (const auto& [control, text] : scenario.texts)
        EXPECT_EQ(Show(driver.Text(control)), Show(Rooted(text, game))) << ControlName(control);
    for (const auto& [control, checked] : scenario.checked)
        EXPECT_EQ(driver.IsChecked(control), checked) << ControlName(control);
    for (const ArchiveEntry& entry : scenario.archiveEntries)
        EXPECT_EQ(ArchiveFile(game.Game() / PathFromText(entry.archive), entry.address), entry.bytes)
            << Show(entry.archive) << " " << Show(entry.address);
    for (const auto& [name, bytes] : before) {
        const fs::path path = game.Game() / PathFromText(name);
        EXPECT_EQ(fs::exists(path) ? std::optional(testkit::ReadFile(path)) : std::nullopt, bytes) << Show(name);
    }
    for (const DiskFile& file : scenario.diskAfter) {
        const fs::path path = PathFromText(Rooted(file.path, game));
        EXPECT_EQ(fs::exists(path) ? std::optional(testkit::ReadFile(path)) : std::nullopt, file.bytes)
            << Show(file.path);
    }
}

} // namespace window_test
