// The fixture of the device tests: a fresh virtual handheld per test, a quiet platform whose resets
// return to the test, and helpers for the SD card and the debug output.
#ifndef DRAVIK_TESTS_DEVICE_FIXTURE_H
#define DRAVIK_TESTS_DEVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "cesim.h"
#include "test_support.h"

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cesim::SetHandheldDirectory(dir_.path() + "/handheld");
    cesim::ResetSimulation();
    cesim::SetEcho(false);
    cesim::SetResetHook([] {});
    cesim::SetClockScale(1000);
  }
  void TearDown() override { cesim::ResetSimulation(); }

  handheld::Storage& Handheld() { return cesim::Handheld(); }
  handheld::flashdisk::Driver& Driver() { return cesim::FlashDisk(); }
  std::string Log() const { return cesim::DebugOutput(); }

  // How often the text occurs in the debug output.
  static size_t Count(const std::string& haystack, const std::string& needle) {
    size_t n = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
  }
  size_t LogCount(const std::string& text) const { return Count(Log(), text); }

  // A file on the SD card, by its CE name and on the host.
  static std::u16string Sd(const std::string& name) { return u"\\Storage Card\\" + cesim::ToUtf16(name); }
  std::string SdHost(const std::string& name) { return Handheld().SdCardDirectory() + "/" + name; }
  void PutOnSd(const std::string& name, const std::vector<uint8_t>& bytes) {
    testing_support::WriteFileBytes(SdHost(name), bytes);
  }
  bool OnSd(const std::string& name) { return std::filesystem::exists(SdHost(name)); }
  bool DeleteSd(const std::string& name) { return std::filesystem::remove(SdHost(name)); }
  std::vector<uint8_t> FromSd(const std::string& name) { return testing_support::ReadFileBytes(SdHost(name)); }

  // Controls the driver saw, of one code (and operation byte, when given).
  std::vector<handheld::flashdisk::ControlRecord> Controls(uint32_t code, int sub = -1) const {
    std::vector<handheld::flashdisk::ControlRecord> out;
    for (const auto& r : cesim::FlashDisk().Record()) {
      if (r.code == code && (sub < 0 || r.sub == sub)) out.push_back(r);
    }
    return out;
  }

  // Bytes of a partition as stored (erased flash beyond the written part reads 0xFF).
  std::vector<uint8_t> PartitionBytes(handheld::Area area, uint64_t offset, size_t size) {
    std::vector<uint8_t> bytes(size);
    Handheld().ReadAt(area, offset, bytes.data(), size);
    return bytes;
  }

  testing_support::TempDir dir_;
};

inline uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

#endif  // DRAVIK_TESTS_DEVICE_FIXTURE_H
