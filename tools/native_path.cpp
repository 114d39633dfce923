#include "native_path.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace dravik_update {

namespace fs = std::filesystem;

fs::path PathOf(const std::string& narrow) {
#ifdef _WIN32
  if (narrow.empty()) return fs::path();
  const int length = static_cast<int>(narrow.size());
  const int n = MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, nullptr, 0);
  if (n <= 0) return fs::path(narrow);
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, narrow.data(), length, &wide[0], n);
  return fs::path(wide);
#else
  return fs::path(narrow);
#endif
}

std::string NarrowOf(const fs::path& path) {
#ifdef _WIN32
  const std::wstring& wide = path.native();
  if (wide.empty()) return std::string();
  const int length = static_cast<int>(wide.size());
  const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return path.string();
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.data(), length, &narrow[0], n, nullptr, nullptr);
  return narrow;
#else
  return path.string();
#endif
}

}  // namespace dravik_update
