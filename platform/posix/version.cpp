// The Windows version, from the host profile: the host class the library sees (Windows 2000 or older,
// XP plus, Vista or later) is whatever the profile says.
#include <cstring>

#include "host_profile.h"
#include "platform/win32.h"

extern "C" {

// Low byte: major version; next byte: minor version; high word: build number, with the top bit set on
// a host that is not of the NT family.
DWORD WINAPI GetVersion(void) {
  const w32sim::HostProfile& p = w32sim::CurrentHostProfile();
  DWORD high = p.build_number & 0x7FFFu;
  if (p.platform_id != VER_PLATFORM_WIN32_NT) high |= 0x8000u;
  return (p.major_version & 0xFFu) | ((p.minor_version & 0xFFu) << 8) | (high << 16);
}

BOOL WINAPI GetVersionExA(LPOSVERSIONINFOA lpVersionInformation) {
  if (!lpVersionInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  const w32sim::HostProfile& p = w32sim::CurrentHostProfile();
  if (p.version_query_fails) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  lpVersionInformation->dwMajorVersion = p.major_version;
  lpVersionInformation->dwMinorVersion = p.minor_version;
  lpVersionInformation->dwBuildNumber = p.build_number;
  lpVersionInformation->dwPlatformId = p.platform_id;
  std::memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
  return TRUE;
}

}  // extern "C"
