#include "testkit/faulty_mpq_engine.h"

#include "support/text_path.h"
#include "testkit/child_process.h"

#include <optional>

namespace testkit {

const char* StepName(MpqStep step) {
    switch (step) {
    case MpqStep::OpenArchive:
        return "OpenArchive";
    case MpqStep::IsReadOnly:
        return "IsReadOnly";
    case MpqStep::FlushArchive:
        return "FlushArchive";
    case MpqStep::CloseArchive:
        return "CloseArchive";
    case MpqStep::OpenFile:
        return "OpenFile";
    case MpqStep::FileSize:
        return "FileSize";
    case MpqStep::FileLocale:
        return "FileLocale";
    case MpqStep::ReadFile:
        return "ReadFile";
    case MpqStep::CloseFile:
        return "CloseFile";
    case MpqStep::CreateFile:
        return "CreateFile";
    case MpqStep::WriteFile:
        return "WriteFile";
    case MpqStep::FinishFile:
        return "FinishFile";
    case MpqStep::RemoveFile:
        return "RemoveFile";
    case MpqStep::CompactArchive:
        return "CompactArchive";
    case MpqStep::PrepareFlush:
        return "PrepareFlush";
    }
    return "?";
}

FaultyMpqEngine::FaultyMpqEngine() : m_real(MakeOwnMpqEngine()) {}

void FaultyMpqEngine::FailAt(MpqStep step, int occurrence) {
    m_failStep = step;
    m_failOccurrence = occurrence;
}

int FaultyMpqEngine::Calls(MpqStep step) const {
    auto it = m_calls.find(step);
    return it == m_calls.end() ? 0 : it->second;
}

bool FaultyMpqEngine::Enter(MpqStep step) {
    const int occurrence = ++m_calls[step];
    if (m_hook)
        m_hook(step, occurrence);
    return m_failOccurrence != 0 && step == m_failStep && occurrence == m_failOccurrence;
}

MpqHandle FaultyMpqEngine::OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) {
    const bool fail = Enter(MpqStep::OpenArchive);
    MpqHandle archive = m_real->OpenArchive(path, readOnly, headerAtStart);
    if (fail && archive != nullptr) {
        m_real->CloseArchive(archive);
        return nullptr;
    }
    return archive;
}

// Failing here means reporting the archive as opened read-only.
bool FaultyMpqEngine::IsReadOnly(MpqHandle archive) {
    const bool fail = Enter(MpqStep::IsReadOnly);
    return m_real->IsReadOnly(archive) || fail;
}

bool FaultyMpqEngine::FlushArchive(MpqHandle archive) {
    const bool fail = Enter(MpqStep::FlushArchive);
    return m_real->FlushArchive(archive) && !fail;
}

bool FaultyMpqEngine::PrepareFlush(MpqHandle archive, std::vector<std::uint8_t>& header) {
    const bool fail = Enter(MpqStep::PrepareFlush);
    return m_real->PrepareFlush(archive, header) && !fail;
}

bool FaultyMpqEngine::CloseArchive(MpqHandle archive) {
    const bool fail = Enter(MpqStep::CloseArchive);
    return m_real->CloseArchive(archive) && !fail;
}

MpqHandle FaultyMpqEngine::OpenFile(MpqHandle archive, const std::string& name) {
    const bool fail = Enter(MpqStep::OpenFile);
    MpqHandle file = m_real->OpenFile(archive, name);
    if (fail && file != nullptr) {
        m_real->CloseFile(file);
        return nullptr;
    }
    return file;
}

std::optional<std::uint64_t> FaultyMpqEngine::FileSize(MpqHandle file) {
    const bool fail = Enter(MpqStep::FileSize);
    auto size = m_real->FileSize(file);
    return fail ? std::nullopt : size;
}

std::optional<std::uint32_t> FaultyMpqEngine::FileLocale(MpqHandle file) {
    const bool fail = Enter(MpqStep::FileLocale);
    auto locale = m_real->FileLocale(file);
    return fail ? std::nullopt : locale;
}

bool FaultyMpqEngine::ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) {
    const bool fail = Enter(MpqStep::ReadFile);
    return m_real->ReadFile(file, buffer, size) && !fail;
}

bool FaultyMpqEngine::CloseFile(MpqHandle file) {
    const bool fail = Enter(MpqStep::CloseFile);
    return m_real->CloseFile(file) && !fail;
}

MpqHandle FaultyMpqEngine::CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size,
                                      std::uint32_t locale) {
    const bool fail = Enter(MpqStep::CreateFile);
    MpqHandle file = m_real->CreateFile(archive, name, size, locale);
    if (fail && file != nullptr) {
        // The entry now exists half made; finishing an unwritten file fails and releases it.
        m_real->FinishFile(file);
        return nullptr;
    }
    return file;
}

// Failing here writes only the first half of the bytes, as a full disk would.
bool FaultyMpqEngine::WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) {
    const bool fail = Enter(MpqStep::WriteFile);
    if (fail) {
        m_real->WriteFile(file, data, size / 2);
        return false;
    }
    return m_real->WriteFile(file, data, size);
}

bool FaultyMpqEngine::FinishFile(MpqHandle file) {
    const bool fail = Enter(MpqStep::FinishFile);
    return m_real->FinishFile(file) && !fail;
}

bool FaultyMpqEngine::RemoveFile(MpqHandle archive, const std::string& name) {
    const bool fail = Enter(MpqStep::RemoveFile);
    return m_real->RemoveFile(archive, name) && !fail;
}

bool FaultyMpqEngine::CompactArchive(MpqHandle archive, bool& rewritten) {
    const bool fail = Enter(MpqStep::CompactArchive);
    return m_real->CompactArchive(archive, rewritten) && !fail;
}

bool KilledAt(const std::filesystem::path& archive, MpqStep step, const std::string& role) {
    return child::Run(role, {child::PathArgument(archive), StepName(step)}).killed;
}

int RunUntilStep(const std::vector<std::string>& args, const std::function<void(clsMpqControl&)>& operation) {
    if (args.size() != 2)
        return 2;
    std::optional<MpqStep> step;
    for (int s = 0; s <= static_cast<int>(MpqStep::PrepareFlush); ++s) {
        if (args[1] == StepName(static_cast<MpqStep>(s)))
            step = static_cast<MpqStep>(s);
    }
    if (!step)
        return 2;
    auto engine = std::make_shared<FaultyMpqEngine>();
    engine->SetHook([step](MpqStep reached, int) {
        if (reached == *step)
            child::KillSelf();
    });
    clsMpqControl control(engine);
    control.SetMpqFileName(TextFromPath(child::ArgumentPath(args[0])));
    operation(control);
    return 0;
}

} // namespace testkit
