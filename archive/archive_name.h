#pragma once
// The byte string an archive path ("UI\\war3skins.txt") is stored and hashed under.
// Only ASCII is accepted: the game looks names up as code page 936 bytes, which this core cannot
// produce, and every path the program uses is ASCII. Empty names and NUL are refused too.
#include <optional>
#include <string>

std::optional<std::string> ArchiveNameFromText(std::u16string_view address);
