#pragma once
// Whether the file named as the archive is one that clsMpqControl will open, so that a caller can
// tell "the archive does not open" from "the archive opens but lacks the file" when the door answers
// false for both. It applies the door's own check of the header and tables: a missing path, a
// directory, an empty or unreadable file, or one that is no well-formed archive gives false.
#include <string>

namespace mods {

bool ArchiveOpens(const std::u16string& mpqFileName);

} // namespace mods
