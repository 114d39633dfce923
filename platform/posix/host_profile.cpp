#include "host_profile.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "host_sim.h"

namespace w32sim {
namespace {

HostProfile LoadInitialProfile() {
  HostProfile profile;
  const char* path = std::getenv("DRAVIK_HOST_PROFILE");
  if (path && *path) {
    std::string error;
    if (!LoadHostProfileFile(path, &profile, &error)) {
      std::fprintf(stderr, "dravik platform: host profile %s: %s\n", path, error.c_str());
    }
  }
  return profile;
}

}  // namespace

std::vector<Endpoint> DefaultWinUsbEndpoints() {
  std::vector<Endpoint> endpoints(2);
  endpoints[0].address = 0x01;
  endpoints[1].address = 0x81;
  return endpoints;
}

HostProfile& CurrentHostProfile() {
  static HostProfile profile = LoadInitialProfile();
  return profile;
}

HostRecord& CurrentHostRecord() {
  static HostRecord record;
  return record;
}

void OnHostProfileReplaced();  // host_profile_state.cpp: resets poll counters and the presence clock

void SetHostProfile(const HostProfile& profile) {
  // The same lock the simulated services hold while they read the profile.
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  CurrentHostProfile() = profile;
  CurrentHostRecord() = HostRecord{};
  OnHostProfileReplaced();
}

}  // namespace w32sim
