#pragma once
// Conversion between the program's UTF-16 text and native file-system paths.
#include <filesystem>
#include <string>

std::filesystem::path PathFromText(std::u16string_view text);
std::u16string TextFromPath(const std::filesystem::path& path);
