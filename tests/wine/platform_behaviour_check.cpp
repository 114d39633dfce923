// The Windows behaviour the library relies on from the private-profile service, text-mode files and
// the file services' error codes, checked through the Win32 names alone. The same source runs on Linux over platform/posix and,
// built with x86_64-w64-mingw32, under wine against the real services, so the two can be compared.
// Usage: platform_behaviour_check DIRECTORY (an existing writable directory; the files it uses there
// are removed first). Exit status 0
// when every check holds; each failed check prints what was expected and what was found.
#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/win32.h"

namespace {

int g_failures = 0;

std::string Escaped(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 32 || c > 126) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

void Check(const char* what, const std::string& expected, const std::string& actual) {
  if (expected == actual) {
    printf("ok   %s\n", what);
    return;
  }
  ++g_failures;
  printf("FAIL %s\n     expected \"%s\"\n     found    \"%s\"\n", what, Escaped(expected).c_str(),
         Escaped(actual).c_str());
}

std::string ReadAll(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "<missing>";
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

void WriteAll(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

std::string Get(const char* section, const char* key, const char* def, const std::string& file, DWORD size = 256) {
  char buf[256];
  memset(buf, 0x7f, sizeof buf);
  DWORD n = GetPrivateProfileStringA(section, key, def, buf, size, file.c_str());
  return std::string(buf, n) + (buf[n] == '\0' ? "" : "<unterminated>");
}

void ProfileChecks(const std::string& dir, const char* sep) {
  std::string fresh = dir + sep + "fresh.ini";
  Check("missing file gives the default", "0", Get("Config", "Driver", "0", fresh));
  WritePrivateProfileStringA("Config", "Driver", "0", fresh.c_str());
  WritePrivateProfileStringA("Config", "RTimeout", "1500", fresh.c_str());
  Check("first write creates a CR LF file", "[Config]\r\nDriver=0\r\nRTimeout=1500\r\n", ReadAll(fresh));

  std::string edit = dir + sep + "edit.ini";
  WriteAll(edit, "[Other]\r\nDriver=7\r\n[CONFIG]\r\nrtimeout=12abc\r\nDebugON=yes\r\n[Last]\r\nx=1\r\n");
  Check("section and key without regard to case", "12abc", Get("config", "RTIMEOUT", "0", edit));
  Check("a key of another section is not found", "0", Get("Config", "Driver", "0", edit));
  Check("value cut to size - 1", "12ab", Get("Config", "RTimeout", "0", edit, 5));
  WritePrivateProfileStringA("Config", "RTimeout", "12", edit.c_str());
  WritePrivateProfileStringA("config", "WTimeout", "-20", edit.c_str());
  Check("edits keep the other sections and keys in order",
        "[Other]\r\nDriver=7\r\n[CONFIG]\r\nrtimeout=12\r\nDebugON=yes\r\nWTimeout=-20\r\n[Last]\r\nx=1\r\n",
        ReadAll(edit));
}

void TextModeChecks(const std::string& dir, const char* sep) {
  std::string log = dir + sep + "logfile.txt";
  for (int i = 0; i < 2; ++i) {
    FILE* f = _fsopen(log.c_str(), "a", _SH_DENYNO);
    if (!f) break;
    fprintf(f, "Dravik.dll Attach\r\n");
    fprintf(f, "\n");
    fclose(f);
  }
  Check("text-mode append stores each line feed as CR LF", "Dravik.dll Attach\r\r\n\r\nDravik.dll Attach\r\r\n\r\n",
        ReadAll(log));
  FILE* f = _fsopen(log.c_str(), "ab", _SH_DENYNO);
  if (f) {
    fprintf(f, "raw\n");
    fclose(f);
  }
  Check("binary append stores bytes as written", "Dravik.dll Attach\r\r\n\r\nDravik.dll Attach\r\r\n\r\nraw\n",
        ReadAll(log));
}

std::string Code(DWORD error) { return std::to_string(static_cast<unsigned long>(error)); }

void FileChecks(const std::string& dir, const char* sep) {
  std::string path = dir + sep + "img.bin";
  SetLastError(0);
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  Check("opening a missing file", Code(ERROR_FILE_NOT_FOUND), h == INVALID_HANDLE_VALUE ? Code(GetLastError()) : "opened");
  std::string deep = dir + sep + "no" + sep + "such.bin";
  h = CreateFileA(deep.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  Check("opening in a missing directory", Code(ERROR_PATH_NOT_FOUND), h == INVALID_HANDLE_VALUE ? Code(GetLastError()) : "opened");
  h = CreateFileA(dir.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  Check("opening a directory", Code(ERROR_ACCESS_DENIED), h == INVALID_HANDLE_VALUE ? Code(GetLastError()) : "opened");

  h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    Check("creating a new file", "created", Code(GetLastError()));
    return;
  }
  DWORD n = 0;
  WriteFile(h, "0123456789", 10, &n, nullptr);
  char c;
  BOOL ok = ReadFile(h, &c, 1, &n, nullptr);
  Check("reading a handle opened for writing only", Code(ERROR_ACCESS_DENIED), ok ? "read" : Code(GetLastError()));
  CloseHandle(h);
  h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  Check("CREATE_NEW on an existing file", Code(ERROR_FILE_EXISTS), h == INVALID_HANDLE_VALUE ? Code(GetLastError()) : "opened");
  h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  char buf[16];
  ok = ReadFile(h, buf, 16, &n, nullptr);
  Check("a read that reaches the end of the file succeeds short", "1 10", Code(ok ? 1 : 0) + " " + Code(n));
  DWORD high = 7;
  DWORD low = GetFileSize(h, &high);
  Check("file size", "10 0", Code(low) + " " + Code(high));
  CloseHandle(h);
  Check("closing a closed handle", Code(ERROR_INVALID_HANDLE), CloseHandle(h) ? "closed" : Code(GetLastError()));
  h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = GetLastError();
  DWORD size = GetFileSize(h, nullptr);
  Check("CREATE_ALWAYS over a file truncates and says so", Code(ERROR_ALREADY_EXISTS) + " 0",
        Code(error) + " " + Code(size));
  CloseHandle(h);

  OSVERSIONINFOA info;
  memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info - 1;
  ok = GetVersionExA(&info);
  Check("GetVersionExA with a wrong record size", Code(ERROR_INSUFFICIENT_BUFFER), ok ? "filled" : Code(GetLastError()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
#ifdef _WIN32
  const char* sep = "\\";
#else
  const char* sep = "/";
#endif
  for (const char* name : {"fresh.ini", "edit.ini", "logfile.txt", "img.bin"}) remove((std::string(argv[1]) + sep + name).c_str());
  ProfileChecks(argv[1], sep);
  TextModeChecks(argv[1], sep);
  FileChecks(argv[1], sep);
  printf("%s: %d failed\n", g_failures ? "FAILED" : "passed", g_failures);
  return g_failures ? 1 : 0;
}
