#pragma once
// The real engine with one chosen step made to fail, for clsMpqControl's failure paths.
// The failing step still runs for real where it can (StormLib writes, then the call reports
// failure), so a test sees what the door does after the engine has already touched the file.
// A hook can run before every step, e.g. to kill the process there.
#include "archive/mpq_engine.h"

#include "archive/door/mpq_control.h"

#include <filesystem>
#include <functional>
#include <map>

namespace testkit {

enum class MpqStep {
    OpenArchive,
    IsReadOnly,
    FlushArchive,
    CloseArchive,
    OpenFile,
    FileSize,
    FileLocale,
    ReadFile,
    CloseFile,
    CreateFile,
    WriteFile,
    FinishFile,
    RemoveFile,
    CompactArchive,
    PrepareFlush,
};

const char* StepName(MpqStep step);

// Starts the child role (TESTKIT_CHILD_ROLE) with the arguments {archive, step name}; the role runs
// an operation through RunUntilStep, on a door over this engine that kills the child when the
// engine reaches the step, as a crash there would. True when the child died so.
bool KilledAt(const std::filesystem::path& archive, MpqStep step, const std::string& role);

// The body of such a role: runs the operation and kills this process at the step. Returns 0 only
// when the step was never reached, 2 for arguments it cannot read.
int RunUntilStep(const std::vector<std::string>& args, const std::function<void(clsMpqControl&)>& operation);

class FaultyMpqEngine final : public MpqEngine {
public:
    FaultyMpqEngine();

    // The occurrence-th call (1-based) of the step fails; 0 disarms.
    void FailAt(MpqStep step, int occurrence = 1);
    void SetHook(std::function<void(MpqStep, int occurrence)> hook) { m_hook = std::move(hook); }
    int Calls(MpqStep step) const;

    MpqHandle OpenArchive(const std::filesystem::path& path, bool readOnly, bool headerAtStart) override;
    bool IsReadOnly(MpqHandle archive) override;
    bool FlushArchive(MpqHandle archive) override;
    bool PrepareFlush(MpqHandle archive, std::vector<std::uint8_t>& header) override;
    bool CloseArchive(MpqHandle archive) override;
    MpqHandle OpenFile(MpqHandle archive, const std::string& name) override;
    std::optional<std::uint64_t> FileSize(MpqHandle file) override;
    std::optional<std::uint32_t> FileLocale(MpqHandle file) override;
    bool ReadFile(MpqHandle file, std::uint8_t* buffer, std::uint32_t size) override;
    bool CloseFile(MpqHandle file) override;
    MpqHandle CreateFile(MpqHandle archive, const std::string& name, std::uint32_t size, std::uint32_t locale) override;
    bool WriteFile(MpqHandle file, const std::uint8_t* data, std::uint32_t size) override;
    bool FinishFile(MpqHandle file) override;
    bool RemoveFile(MpqHandle archive, const std::string& name) override;
    bool CompactArchive(MpqHandle archive, bool& rewritten) override;

private:
    // Counts the call, runs the hook and tells whether this call must fail.
    bool Enter(MpqStep step);

    std::shared_ptr<MpqEngine> m_real;
    std::map<MpqStep, int> m_calls;
    MpqStep m_failStep = MpqStep::OpenArchive;
    int m_failOccurrence = 0;
    std::function<void(MpqStep, int)> m_hook;
};

} // namespace testkit
