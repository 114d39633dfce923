// Paths as the library and the C runtime take them. Every path the tool holds is a narrow string: on
// Windows in the ANSI code page, as main() receives it and as fopen and the library's ...A calls read it.
// std::filesystem (MinGW's libstdc++) reads a narrow string there as Latin-1 and gives UTF-8 back from
// path::string(), so a path with a character beyond ASCII goes between the two only through these.
#ifndef DRAVIK_TOOLS_NATIVE_PATH_H
#define DRAVIK_TOOLS_NATIVE_PATH_H

#include <filesystem>
#include <string>

namespace dravik_update {

// The path a narrow string names (Windows: decoded by the ANSI code page).
std::filesystem::path PathOf(const std::string& narrow);
// The narrow string of a path (Windows: encoded in the ANSI code page).
std::string NarrowOf(const std::filesystem::path& path);

}  // namespace dravik_update

#endif  // DRAVIK_TOOLS_NATIVE_PATH_H
