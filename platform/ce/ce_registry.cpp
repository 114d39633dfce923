// The registry, over the handheld's registry.ini: a key is a section "[HKLM\<subkey>]", a string value a
// line "<name>=<text>" (UTF-8 in the file, UTF-16LE to the caller).
#include <cstring>
#include <fstream>

#include "ce_state.h"

namespace cesim {
namespace {

using internal::Get;
using internal::HandleEntry;
using internal::HandleKind;

std::string LowerAscii(std::string text) {
  for (auto& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The section of registry.ini that names the key (keys compare without regard to case), or empty.
// With `value`, also whether the section holds that value.
std::string FindSection(const std::string& key, const std::string* value, bool* has_value) {
  std::ifstream in(HandheldDirectory() + "/registry.ini");
  std::string line, found;
  bool inside = false;
  if (has_value != nullptr) *has_value = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      std::string name = line.substr(1, line.find(']') == std::string::npos ? std::string::npos : line.find(']') - 1);
      inside = LowerAscii(name) == LowerAscii(key);
      if (inside && found.empty()) found = name;
      continue;
    }
    if (inside && value != nullptr && has_value != nullptr && line.compare(0, value->size() + 1, *value + "=") == 0) {
      *has_value = true;
    }
  }
  return found;
}

}  // namespace
}  // namespace cesim

extern "C" {

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  using namespace cesim;
  if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (hKey != HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
  std::string section = FindSection("HKLM\\" + ToUtf8(lpSubKey), nullptr, nullptr);
  if (section.empty()) return ERROR_FILE_NOT_FOUND;
  HandleEntry entry;
  entry.kind = HandleKind::Key;
  entry.key = section;
  *phkResult = reinterpret_cast<HKEY>(internal::AddHandle(entry));
  return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  using namespace cesim;
  HandleEntry* entry = internal::FindHandle(hKey);
  if (entry == nullptr || entry->kind != HandleKind::Key) return ERROR_INVALID_HANDLE;
  const std::string name = lpValueName == nullptr ? "" : ToUtf8(lpValueName);
  bool present = false;
  FindSection(entry->key, &name, &present);
  if (!present) return ERROR_FILE_NOT_FOUND;
  std::u16string text = ToUtf16(Handheld().RegistryValue(entry->key, name));
  const DWORD needed = static_cast<DWORD>((text.size() + 1) * 2);
  if (lpType != nullptr) *lpType = REG_SZ;
  if (lpData == nullptr) {
    if (lpcbData != nullptr) *lpcbData = needed;
    return ERROR_SUCCESS;
  }
  if (lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  // A value that does not fit: what the buffer holds afterwards is not defined. Here it gets the part that
  // fits, so that a caller relying on an untouched buffer shows.
  const DWORD room = *lpcbData;
  for (size_t i = 0; i <= text.size() && 2 * i + 1 < room; ++i) {
    char16_t c = i < text.size() ? text[i] : u'\0';
    lpData[2 * i] = static_cast<BYTE>(c);
    lpData[2 * i + 1] = static_cast<BYTE>(c >> 8);
  }
  *lpcbData = needed;
  return room < needed ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  using namespace cesim;
  HandleEntry* entry = internal::FindHandle(hKey);
  if (entry == nullptr || entry->kind != HandleKind::Key) return ERROR_INVALID_HANDLE;
  internal::RemoveHandle(hKey);
  return ERROR_SUCCESS;
}

}  // extern "C"
