#pragma once
// Turning a Windows path from the game's registry or settings into a path of this system.
// Under Wine, "D:\\Games\\Warcraft III" becomes "<prefix>/dosdevices/d:/Games/Warcraft III", each
// component matched ignoring case where the exact name does not exist, as Wine does. On Windows the
// path stays as it is.
#include <string>

namespace native_path {

// The directory of the Wine prefix ($WINEPREFIX or ~/.wine); empty on Windows.
std::u16string WinePrefix();

// A drive path "X:\\..." translated; any other text returned unchanged.
std::u16string FromWindowsPath(const std::u16string& windowsPath);

} // namespace native_path
