#include "mods/archive_probe.h"

#include "archive/mpq_layout.h"
#include "support/text_path.h"

namespace mods {

bool ArchiveOpens(const std::u16string& mpqFileName) {
    if (mpqFileName.empty())
        return false;
    return ReadMpqLayout(PathFromText(mpqFileName)).has_value();
}

} // namespace mods
