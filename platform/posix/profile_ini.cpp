// The private-profile (INI) service. The file is a list of lines: "[section]" headers and "key=value"
// entries; section and key names match without regard to case and with surrounding blanks ignored.
// Reading accepts LF or CR LF line ends; every write rewrites the whole file with CR LF line ends, as
// Windows does, keeping every other line (other sections, other keys, comments) in its place. The new
// content goes to a temporary file that is then renamed over the old one, so a reader never sees half
// a file and a failed write leaves the old file whole.
//
// A bare file name lies in the host's Windows directory: the host profile's windows_directory, else
// $DRAVIK_WINDOWS_DIR, else $HOME/.dravik/windows (created on first write). A name with a slash is used
// as given.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "host_profile.h"
#include "platform/win32.h"
#include "posix_io.h"

namespace w32sim {
namespace {

std::mutex& IniMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

std::string HomeDirectory() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  passwd* pw = getpwuid(getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "/tmp";
}

bool MakeDirectories(const std::string& path) {
  std::string partial;
  std::stringstream parts(path);
  std::string part;
  if (!path.empty() && path[0] == '/') partial = "/";
  while (std::getline(parts, part, '/')) {
    if (part.empty()) continue;
    partial += part;
    if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) return false;
    partial += "/";
  }
  return true;
}

// Where a profile file name lies. `for_write` creates the default Windows directory when it is missing.
std::string ResolveProfilePath(const std::string& name, bool for_write) {
  if (name.find('/') != std::string::npos) return name;
  std::string dir = CurrentHostProfile().windows_directory;
  if (dir.empty()) {
    const char* env = std::getenv("DRAVIK_WINDOWS_DIR");
    if (env && *env) dir = env;
  }
  if (dir.empty()) {
    dir = HomeDirectory() + "/.dravik/windows";
    if (for_write) MakeDirectories(dir);
  }
  return dir + "/" + name;
}

struct IniFile {
  std::vector<std::string> lines;
  bool exists = false;
};

IniFile ReadIni(const std::string& path) {
  IniFile ini;
  std::ifstream in(path, std::ios::binary);
  if (!in) return ini;
  ini.exists = true;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ini.lines.push_back(line);
  }
  return ini;
}

// A section header's name, or false when the line is not a header.
bool SectionName(const std::string& line, std::string* name) {
  std::string t = Trim(line);
  if (t.empty() || t[0] != '[') return false;
  size_t close = t.find(']');
  *name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
  return true;
}

// An entry's key and value (blanks trimmed, one pair of enclosing quotes removed from the value), or
// false for a blank line, a comment or a line without '='.
bool Entry(const std::string& line, std::string* key, std::string* value) {
  std::string t = Trim(line);
  if (t.empty() || t[0] == ';') return false;
  size_t eq = t.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(t.substr(0, eq));
  if (value) {
    std::string v = Trim(t.substr(eq + 1));
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v.back() == v[0]) v = v.substr(1, v.size() - 2);
    *value = v;
  }
  return true;
}

// Index of the header of the section, or npos; *end receives the index one past its last line.
size_t FindSection(const IniFile& ini, const std::string& section, size_t* end) {
  std::string want = Trim(section);
  for (size_t i = 0; i < ini.lines.size(); ++i) {
    std::string name;
    if (!SectionName(ini.lines[i], &name) || !SameName(name, want)) continue;
    size_t j = i + 1;
    std::string other;
    while (j < ini.lines.size() && !SectionName(ini.lines[j], &other)) ++j;
    *end = j;
    return i;
  }
  return std::string::npos;
}

size_t FindKey(const IniFile& ini, size_t begin, size_t end, const std::string& key) {
  std::string want = Trim(key);
  for (size_t i = begin; i < end; ++i) {
    std::string k;
    if (Entry(ini.lines[i], &k, nullptr) && SameName(k, want)) return i;
  }
  return std::string::npos;
}

bool WriteIni(const std::string& path, const IniFile& ini) {
  // A read-only file stays as it is. (The check is for this process's effective rights, as an open for
  // writing would be: access() asks for the real user's.)
  if (ini.exists && faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  std::string text;
  for (const std::string& line : ini.lines) text += line + "\r\n";
  std::string temp = path + ".tmp." + std::to_string(getpid());
  FILE* f = std::fopen(temp.c_str(), "wb");
  bool via_temp = f != nullptr;
  if (!f) f = std::fopen(path.c_str(), "wb");  // a directory we may not create files in, a file we may write
  if (!f) {
    int err = errno;
    SetLastError(err == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(err, false));
    return false;
  }
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  if (via_temp) {
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) std::remove(temp.c_str());
  }
  if (!ok) SetLastError(ERROR_ACCESS_DENIED);
  return ok;
}

// Copies a list of names as Windows does: each name and its terminator, a final terminator; when the
// buffer is too small the list is cut and the result is size - 2.
DWORD CopyNameList(const std::vector<std::string>& names, char* out, DWORD size) {
  std::string all;
  for (const std::string& n : names) {
    all += n;
    all.push_back('\0');
  }
  if (all.size() + 1 <= size) {
    std::memcpy(out, all.data(), all.size());
    out[all.size()] = '\0';
    return static_cast<DWORD>(all.size());
  }
  if (size == 1) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, all.data(), size - 2);
  out[size - 2] = '\0';
  out[size - 1] = '\0';
  return size - 2;
}

DWORD CopyValue(const std::string& value, char* out, DWORD size) {
  size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::memcpy(out, value.data(), n);
  out[n] = '\0';
  return static_cast<DWORD>(n);
}

}  // namespace
}  // namespace w32sim

using namespace w32sim;

extern "C" {

DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                      LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName) {
  if (!lpReturnedString || nSize == 0) return 0;
  IniFile ini;
  if (lpFileName && *lpFileName) {
    std::lock_guard<std::mutex> lock(IniMutex());
    ini = ReadIni(ResolveProfilePath(lpFileName, false));
  }
  if (!ini.exists) SetLastError(ERROR_FILE_NOT_FOUND);
  if (!lpAppName) {  // every section name
    std::vector<std::string> names;
    for (const std::string& line : ini.lines) {
      std::string name;
      if (SectionName(line, &name)) names.push_back(name);
    }
    return CopyNameList(names, lpReturnedString, nSize);
  }
  size_t end = 0;
  size_t header = FindSection(ini, lpAppName, &end);
  if (!lpKeyName) {  // every key name of the section
    std::vector<std::string> keys;
    if (header != std::string::npos) {
      for (size_t i = header + 1; i < end; ++i) {
        std::string k;
        if (Entry(ini.lines[i], &k, nullptr)) keys.push_back(k);
      }
    }
    return CopyNameList(keys, lpReturnedString, nSize);
  }
  if (header != std::string::npos) {
    size_t at = FindKey(ini, header + 1, end, lpKeyName);
    if (at != std::string::npos) {
      std::string k, v;
      Entry(ini.lines[at], &k, &v);
      return CopyValue(v, lpReturnedString, nSize);
    }
  }
  std::string def = lpDefault ? lpDefault : "";
  while (!def.empty() && def.back() == ' ') def.pop_back();  // Windows drops the default's trailing blanks
  return CopyValue(def, lpReturnedString, nSize);
}

// Sets key=value in the section (creating the file, the section or the key as needed). A null key
// removes the whole section, a null value removes the key.
BOOL WINAPI WritePrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpString,
                                       LPCSTR lpFileName) {
  if (!lpAppName || !lpFileName || !*lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(IniMutex());
  std::string path = ResolveProfilePath(lpFileName, true);
  IniFile ini = ReadIni(path);
  size_t end = 0;
  size_t header = FindSection(ini, lpAppName, &end);
  if (!lpKeyName) {
    if (header == std::string::npos) return TRUE;
    ini.lines.erase(ini.lines.begin() + static_cast<long>(header), ini.lines.begin() + static_cast<long>(end));
    return WriteIni(path, ini) ? TRUE : FALSE;
  }
  size_t at = header == std::string::npos ? std::string::npos : FindKey(ini, header + 1, end, lpKeyName);
  if (!lpString) {
    if (at == std::string::npos) return TRUE;
    ini.lines.erase(ini.lines.begin() + static_cast<long>(at));
    return WriteIni(path, ini) ? TRUE : FALSE;
  }
  std::string key = Trim(lpKeyName);
  if (at != std::string::npos) {
    std::string existing;
    Entry(ini.lines[at], &existing, nullptr);
    ini.lines[at] = existing + "=" + lpString;  // the key keeps its spelling in the file
  } else if (header != std::string::npos) {
    // After the section's last non-blank line, so that a blank line before the next section stays.
    size_t insert = end;
    while (insert > header + 1 && Trim(ini.lines[insert - 1]).empty()) --insert;
    ini.lines.insert(ini.lines.begin() + static_cast<long>(insert), key + "=" + lpString);
  } else {
    ini.lines.push_back("[" + Trim(lpAppName) + "]");
    ini.lines.push_back(key + "=" + lpString);
  }
  return WriteIni(path, ini) ? TRUE : FALSE;
}

}  // extern "C"
