#pragma once
/*
 * The environment a 32-bit Windows program started in a Wine prefix sees, built from the prefix's own
 * registry files rather than from this system's environment, and %NAME% expansion against it.
 *
 * Built as Wine builds a process's environment: first Wine's values for the names it sets itself
 * (SystemRoot and windir "C:\windows", USERPROFILE "C:\users\<user>", ProgramFiles "C:\Program Files";
 * in a win64 prefix the 32-bit game's ProgramFiles and ProgramFiles(x86) are "C:\Program Files (x86)"),
 * then the system variables (system.reg, [System\\CurrentControlSet\\Control\\Session Manager\\Environment]),
 * then the user's ([Environment] in user.reg). Within each key plain strings are set first, then the
 * expandable ones, expanded against what is set so far: TEMP=%USERPROFILE%\Temp gives
 * "C:\users\alice\Temp".
 */
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wine_registry {

struct Variable {
    std::u16string name;
    std::u16string value;
};
using Environment = std::vector<Variable>;

// Windows' own limit on one variable and on an expansion's result, in code units.
inline constexpr std::size_t kMaxVariableLength = 32767;

// `systemReg` and `userReg` are the files' texts (empty when absent); `userName` names the profile
// directory when the prefix's ProfileList does not.
Environment PrefixEnvironment(std::string_view systemReg, std::string_view userReg, std::u16string_view userName);

// The value of `name` (letter case ignored), or nothing.
std::optional<std::u16string> LookUp(const Environment& environment, std::u16string_view name);

// Every %NAME% of a set variable replaced by its value; other references, a lone '%' and an
// unfinished reference stay as written ("%UNSET%x" stays). std::nullopt when the result would exceed
// kMaxVariableLength.
std::optional<std::u16string> ExpandReferences(std::u16string_view text, const Environment& environment);

} // namespace wine_registry
