#include "testkit/io_tripwire.h"

#include "testkit/child_process.h"

#include <fstream>
#include <limits>

namespace fs = std::filesystem;

namespace testkit::tripwire {

namespace {

using Kind = io_seam::Kind;

constexpr std::size_t kNever = std::numeric_limits<std::size_t>::max();

// The absolute, normalised form the directory is compared in, without a trailing separator.
fs::path Normal(const fs::path& path) {
    return (fs::absolute(path).lexically_normal() / "").parent_path();
}

class Tripwire final : public io_seam::Observer {
public:
    fs::path directory;
    std::vector<Event> events;
    std::size_t killPoint = kNever;
    fs::path note;
    bool refuseLinks = false;

    io_seam::Verdict Before(const io_seam::Call& call) override {
        m_watched = Watched(call);
        if (!m_watched)
            return io_seam::Verdict::Proceed;
        // A file system without hard links refuses before anything happens: no event.
        if (refuseLinks && call.kind == Kind::Link) {
            m_watched = false;
            return io_seam::Verdict::Refuse;
        }
        Event event{call.kind, call.path.string(), call.target != nullptr ? call.target->string() : std::string(),
                    call.offset, call.bytes.size()};
        events.push_back(std::move(event));
        if (killPoint != 2 * (events.size() - 1))
            return io_seam::Verdict::Proceed;
        if (call.kind == Kind::Write && call.bytes.size() > 1)
            return io_seam::Verdict::TearWrite; // After ends the process
        Die();
    }

    // Ends the process after the chosen event, or inside a write it tore.
    void After(const io_seam::Call&, bool) override {
        if (m_watched && (killPoint == 2 * (events.size() - 1) || killPoint == 2 * (events.size() - 1) + 1))
            Die();
    }

private:
    [[noreturn]] void Die() const {
        if (!note.empty())
            std::ofstream(note) << killPoint;
        child::KillSelf();
    }

    bool Watched(const io_seam::Call& call) const {
        if (call.kind == Kind::SyncDirectory)
            return Normal(call.path) == directory;
        const auto inside = [&](const fs::path& path) {
            return fs::absolute(path).lexically_normal().parent_path() == directory;
        };
        return inside(call.path) || (call.target != nullptr && inside(*call.target));
    }

    bool m_watched = false;
};

Tripwire& GetTripwire() {
    static Tripwire tripwire;
    return tripwire;
}

} // namespace

void Watch(const fs::path& directory) {
    Tripwire& tripwire = GetTripwire();
    tripwire.directory = Normal(directory);
    tripwire.events.clear();
    tripwire.killPoint = kNever;
    tripwire.note.clear();
    io_seam::SetObserver(&tripwire);
}

void Stop() {
    io_seam::Observer* const previous = io_seam::SetObserver(nullptr);
    if (previous != &GetTripwire())
        io_seam::SetObserver(previous); // another observer's, not ours to drop
    GetTripwire().killPoint = kNever;
}

const std::vector<Event>& Events() {
    return GetTripwire().events;
}

void KillAt(std::size_t point, const fs::path& note) {
    GetTripwire().killPoint = point;
    GetTripwire().note = note;
}

void RefuseHardLinks(bool refuse) {
    GetTripwire().refuseLinks = refuse;
}

std::string Describe(const Event& event) {
    const std::string file = fs::path(event.path).filename().string();
    const std::string target = fs::path(event.target).filename().string();
    switch (event.kind) {
    case Kind::Create:
        return "create " + file;
    case Kind::Write:
        return "write " + file + " @" + std::to_string(event.offset) + "+" + std::to_string(event.size);
    case Kind::Truncate:
        return "truncate " + file + " to " + std::to_string(event.offset);
    case Kind::Sync:
        return "fsync " + file;
    case Kind::SyncDirectory:
        return "fsync the directory";
    case Kind::Rename:
        return "rename " + file + " -> " + target;
    case Kind::Link:
        return "link " + file + " -> " + target;
    case Kind::Remove:
        return "remove " + file;
    }
    return file;
}

} // namespace testkit::tripwire
