// What the tool's end-to-end tests share: a virtual handheld, a simulated XP-plus host that finds it
// through the sync driver's interface, the image files a run takes, and the tool's environment.
#ifndef DRAVIK_TESTS_END_TO_END_TOOL_FIXTURE_H
#define DRAVIK_TESTS_END_TO_END_TOOL_FIXTURE_H

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "handheld/virtual_handheld.h"
#include "platform/posix/host_profile.h"
#include "test_support.h"

namespace tool_test {

constexpr const char* kInterfacePath =
    "\\\\?\\usb#vid_0e1f&pid_4505#7&2a&0&1#{25dbce51-6c8f-4a72-8a6d-b54c2b4fc835}";

inline bool Contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// A frame from the host that carries the command code.
inline bool IsCommand(const handheld::WireEvent& e, const char* code) {
  return e.kind == handheld::WireEvent::Kind::Frame && e.direction == handheld::WireEvent::Direction::HostToDevice &&
         e.bytes.size() >= 8 && std::string(e.bytes.begin(), e.bytes.begin() + 8) == code;
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { handheld_ = std::make_unique<handheld::VirtualHandheld>(device_dir_.path()); }
  void TearDown() override {
    handheld_->SetEventHook(nullptr);
    handheld_->Stop();
  }

  // A host whose sync-driver interface opens `opens` (the handheld's pty unless a test says otherwise);
  // none with an empty `opens` (the library then searches for the handheld without end).
  void WriteHost(const std::string& opens, uint32_t major = 5, uint32_t minor = 1) {
    w32sim::HostProfile profile;
    profile.major_version = major;
    profile.minor_version = minor;
    profile.windows_directory = dir_.File("windows");
    if (!opens.empty()) {
      w32sim::DeviceInterface itf;
      itf.path = kInterfacePath;
      itf.opens = opens;
      itf.winusb = false;
      profile.interfaces = {itf};
    }
    std::string error;
    ASSERT_TRUE(w32sim::SaveHostProfileFile(dir_.File("host.profile"), profile, &error)) << error;
  }
  void ServeHandheld() { WriteHost(handheld_->StartPty()); }

  std::string Image(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::string path = dir_.File(name);
    testing_support::WriteFileBytes(path, bytes);
    return path;
  }

  // The tool's environment: this test's host, Windows directory and handheld, the platform clock
  // `clock_scale` times faster.
  std::map<std::string, std::string> ToolEnv(bool with_handheld_dir = true,
                                             const std::string& clock_scale = "100") const {
    return {
        {"DRAVIK_HOST_PROFILE", dir_.File("host.profile")},
        {"DRAVIK_CLOCK_SCALE", clock_scale},
        {"DRAVIK_WINDOWS_DIR", dir_.File("windows")},
        {"DRAVIK_HANDHELD_DIR", with_handheld_dir ? device_dir_.path() : ""},
        {"DRAVIK_LIBRARY", ""},
    };
  }

  // The handheld served with 7,000,000 bytes in its OS area, and an earlier backup in os-backup.bin
  // (returned), for the runs that must leave it alone.
  std::vector<uint8_t> ServeOsAndAnEarlierBackup() {
    ServeHandheld();
    const std::vector<uint8_t> os = testing_support::PatternBytes(7000000, 10);
    handheld_->GetStorage().Write(handheld::Area::OS, os.data(), os.size());
    const std::vector<uint8_t> earlier = testing_support::PatternBytes(4000, 12);
    testing_support::WriteFileBytes(dir_.File("os-backup.bin"), earlier);
    return earlier;
  }

  // The names in the test directory that begin with `prefix`, sorted: what a run left beside a file.
  std::vector<std::string> FilesStartingWith(const std::string& prefix) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing_support::TempDir dir_;
  testing_support::TempDir device_dir_;
  std::unique_ptr<handheld::VirtualHandheld> handheld_;
};

}  // namespace tool_test

#endif  // DRAVIK_TESTS_END_TO_END_TOOL_FIXTURE_H
